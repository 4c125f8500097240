// The program's wave output on Windows (platform/wave_out.h): a wave device that a line
// service registered for its calls is our own output into the line's sink
// (platform/sink_wave_out.h); every other device, the wave mapper and the sound cards, is the
// system's (winmm), as are the texts of the results.
#include "platform/sink_wave_out.h"
#include "platform/wave_devices.h"
#include "platform/wave_out.h"

namespace telvane::wave {

using namespace telvane::platform;

MMRESULT waveOutOpen(LPHWAVEOUT handle, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD open_flags) {
  if (device_id != WAVE_MAPPER && HasWaveOutDevice(device_id)) {
    return OpenSinkWaveOut(handle, LineWaveDevice(device_id), format, callback, open_flags);
  }
  return ::waveOutOpen(handle, device_id, format, callback, instance, open_flags);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  if (IsSinkWaveOut(handle)) return PrepareSinkWaveOutHeader(handle, header, header_size);
  return ::waveOutPrepareHeader(handle, header, header_size);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  if (IsSinkWaveOut(handle)) return UnprepareSinkWaveOutHeader(handle, header, header_size);
  return ::waveOutUnprepareHeader(handle, header, header_size);
}

MMRESULT waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  if (IsSinkWaveOut(handle)) return WriteSinkWaveOut(handle, header, header_size);
  return ::waveOutWrite(handle, header, header_size);
}

MMRESULT waveOutReset(HWAVEOUT handle) {
  if (IsSinkWaveOut(handle)) return ResetSinkWaveOut(handle);
  return ::waveOutReset(handle);
}

MMRESULT waveOutGetPosition(HWAVEOUT handle, LPMMTIME position, UINT position_size) {
  if (IsSinkWaveOut(handle)) return GetSinkWaveOutPosition(handle, position, position_size);
  return ::waveOutGetPosition(handle, position, position_size);
}

MMRESULT waveOutClose(HWAVEOUT handle) {
  if (IsSinkWaveOut(handle)) return CloseSinkWaveOut(handle);
  return ::waveOutClose(handle);
}

MMRESULT waveOutGetErrorText(MMRESULT result, LPSTR text, UINT text_size) {
  return ::waveOutGetErrorTextA(result, text, text_size);
}

}  // namespace telvane::wave
