// The program's wave output: the published waveOut* requests, with their names, arguments and
// results, in a namespace of their own (as the telephony binding's telvane::tapi wrappers).
//
//   HWAVEOUT out = nullptr;
//   wave::waveOutOpen(&out, line_wave_id, format, window.Handle(), 0,
//                     CALLBACK_WINDOW | WAVE_MAPPED);
//   ... MM_WOM_OPEN, MM_WOM_DONE and MM_WOM_CLOSE reach the window ...
//
// One output for two kinds of device:
// - a wave device that a line service registered for its calls (platform/wave_devices.h),
//   the one lineGetID("wave/out") names: on both systems our own output plays into the
//   line's sink (platform/sink_wave_out.h), which tells when each buffer has been heard;
// - every other device: on Windows the system's (winmm: the wave mapper and the sound
//   cards); on POSIX WAVE_MAPPER is the machine's default audio output, played by our own
//   output too (platform/posix/alsa_output.h), and there is no other device.
//
// Threads: loop thread only; notifications go to a window of the thread that opened the
// device.
#pragma once

#include "platform/mmsystem.h"

namespace telvane::wave {

MMRESULT waveOutOpen(LPHWAVEOUT handle, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD open_flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size);
MMRESULT waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT header_size);
MMRESULT waveOutReset(HWAVEOUT handle);
// How much of what was written since the open or the last reset has been played: the
// position in the unit position->wType asks for (TIME_SAMPLES or TIME_BYTES; any other is
// answered in bytes, with wType changed to say so).
MMRESULT waveOutGetPosition(HWAVEOUT handle, LPMMTIME position, UINT position_size);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutGetErrorText(MMRESULT result, LPSTR text, UINT text_size);

}  // namespace telvane::wave
