// Our own wave output, for the devices whose sound goes to a WaveSink (platform/wave_devices.h):
// a line's wave device on both systems, and on POSIX the machine's default audio output. The
// program reaches it through the published requests of platform/wave_out.h, which hand it the
// devices and handles that are its own.
//
// Each open device converts what it is given to the line format (platform/audio_convert.h)
// and hands it to its sink; the sink says when a write has been heard, and the device then
// marks the header done and posts MM_WOM_DONE to the window given at open, on the loop of the
// thread that opened it. One converter serves every write of an open device, so the sound of
// one buffer runs on into the next without a seam; when the line is about to fall silent (no
// buffer queued behind the one just heard) the converter's last milliseconds are played before
// that buffer is done.
//
// The position (waveOutGetPosition) is what the line has heard since the open or the last
// reset, as its sink counts it, in sample frames of the opened format: a line that has not
// carried the sound yet stands at 0, however much it was given.
//
// Handles are numbers in a table, never pointers handed out: a handle used after
// waveOutClose, or one that never existed, gets MMSYSERR_INVALHANDLE. The numbers carry a mark
// in their top bits that no address of a 64-bit process has, so a handle of the system's own
// wave output is never taken for one of these. A device belongs to the loop of the thread
// that opened it; calls from another thread are refused the same way, since its
// notifications and its sink live on that loop.
#pragma once

#include <functional>
#include <memory>

#include "platform/mmsystem.h"
#include "platform/wave_devices.h"

namespace telvane::platform {

// A device whose sound goes to a sink.
struct SinkWaveDevice {
  // False for a number no device has (MMSYSERR_BADDEVICEID).
  bool exists = true;
  // Makes the sink of one open; null, with the result of the refused open in *refused, when
  // none can be had now.
  std::function<std::unique_ptr<WaveSink>(MMRESULT* refused)> open;
  // Whether an open would get a sink now, for a format query; empty: it would.
  std::function<bool()> available;
  // Converts every format it reads, mapped or not, as the wave mapper does.
  bool always_mapped = false;
};

// The wave device a line service registered under `device_id`, as lineGetID names it.
SinkWaveDevice LineWaveDevice(UINT device_id);

// waveOutOpen of a sink device, with the published checks and results: an unmapped open takes
// only the line's own format, a mapped one (WAVE_MAPPED) every format the converter reads;
// WAVE_FORMAT_QUERY opens nothing. Notifications go to the window of CALLBACK_WINDOW.
MMRESULT OpenSinkWaveOut(LPHWAVEOUT handle, const SinkWaveDevice& device, LPCWAVEFORMATEX format,
                         DWORD_PTR callback, DWORD open_flags);

// Whether the handle is one of this output's (open or not); a handle of the system's own
// wave output never is.
bool IsSinkWaveOut(HWAVEOUT handle);

// The other requests for a handle of this output, with the published results.
MMRESULT PrepareSinkWaveOutHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size);
MMRESULT UnprepareSinkWaveOutHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size);
MMRESULT WriteSinkWaveOut(HWAVEOUT handle, LPWAVEHDR header, UINT header_size);
MMRESULT ResetSinkWaveOut(HWAVEOUT handle);
MMRESULT GetSinkWaveOutPosition(HWAVEOUT handle, LPMMTIME position, UINT position_size);
MMRESULT CloseSinkWaveOut(HWAVEOUT handle);

}  // namespace telvane::platform
