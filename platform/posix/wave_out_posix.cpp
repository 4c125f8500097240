// The program's wave output on POSIX (platform/wave_out.h): every device is our own output
// into a sink (platform/sink_wave_out.h). WAVE_MAPPER is the machine's default audio output
// (platform/posix/alsa_output.h); like the mapper of the published API it converts every
// format it can read, mapped or not. Where no default output opens (no sound card, no sound
// server) it is refused with MMSYSERR_NODRIVER: a message played nowhere would look like
// success to the caller. Every other number is a line's wave device.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/posix/alsa_output.h"
#include "platform/sink_wave_out.h"
#include "platform/wave_out.h"

namespace telvane::platform {
namespace {

SinkWaveDevice DefaultAudioOutput() {
  SinkWaveDevice device;
  device.open = [](MMRESULT* refused) {
    std::unique_ptr<WaveSink> sink = OpenDefaultAudioOutput();
    if (!sink) *refused = MMSYSERR_NODRIVER;
    return sink;
  };
  device.available = DefaultAudioOutputAvailable;
  device.always_mapped = true;
  return device;
}

struct ErrorText {
  MMRESULT result;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "The operation completed successfully."},
    {MMSYSERR_ERROR, "An unspecified error occurred in the wave output device."},
    {MMSYSERR_BADDEVICEID, "The wave output device ID is out of range: no such device exists."},
    {MMSYSERR_NOTENABLED, "The wave output driver is not enabled."},
    {MMSYSERR_ALLOCATED, "The wave output device is already in use or cannot be opened now."},
    {MMSYSERR_INVALHANDLE, "The wave output device handle is invalid or already closed."},
    {MMSYSERR_NODRIVER, "No default audio output is available; play into a call instead."},
    {MMSYSERR_NOMEM, "There is not enough memory available for this task."},
    {MMSYSERR_NOTSUPPORTED, "This function is not supported by the wave output device."},
    {MMSYSERR_BADERRNUM, "The error number is not defined in the system."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed to a wave output function."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed to a wave output function."},
    {WAVERR_BADFORMAT, "The wave format is not supported by the device."},
    {WAVERR_STILLPLAYING, "The wave output device is still playing buffers; reset it first."},
    {WAVERR_UNPREPARED, "The wave header was not prepared; prepare it before writing it."},
};

}  // namespace
}  // namespace telvane::platform

namespace telvane::wave {

using namespace telvane::platform;

MMRESULT waveOutOpen(LPHWAVEOUT handle, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR /*instance*/, DWORD open_flags) {
  const SinkWaveDevice device =
      device_id == WAVE_MAPPER ? DefaultAudioOutput() : LineWaveDevice(device_id);
  return OpenSinkWaveOut(handle, device, format, callback, open_flags);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  return PrepareSinkWaveOutHeader(handle, header, header_size);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  return UnprepareSinkWaveOutHeader(handle, header, header_size);
}

MMRESULT waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  return WriteSinkWaveOut(handle, header, header_size);
}

MMRESULT waveOutReset(HWAVEOUT handle) { return ResetSinkWaveOut(handle); }

MMRESULT waveOutGetPosition(HWAVEOUT handle, LPMMTIME position, UINT position_size) {
  return GetSinkWaveOutPosition(handle, position, position_size);
}

MMRESULT waveOutClose(HWAVEOUT handle) { return CloseSinkWaveOut(handle); }

MMRESULT waveOutGetErrorText(MMRESULT result, LPSTR text, UINT text_size) {
  if (text == nullptr || text_size == 0) return MMSYSERR_INVALPARAM;
  const auto* entry = std::find_if(std::begin(kErrorTexts), std::end(kErrorTexts),
                                   [result](const ErrorText& e) { return e.result == result; });
  char unknown[96];
  const char* message = unknown;
  if (entry != std::end(kErrorTexts)) {
    message = entry->text;
  } else {
    std::snprintf(unknown, sizeof unknown, "Unknown wave output error %u.",
                  static_cast<unsigned>(result));
  }
  const size_t length = std::min<size_t>(std::strlen(message), text_size - 1);
  std::memcpy(text, message, length);
  text[length] = '\0';
  return entry != std::end(kErrorTexts) ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM;
}

}  // namespace telvane::wave
