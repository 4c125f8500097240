// A format the line wave devices take (the system's audio compression manager converts it) is
// playable. Otherwise the system's wave mapper judges it, asked for its default device, the
// only one known before a call has its own.
#include "platform/audio_convert.h"
#include "platform/wave_format.h"

namespace telvane::platform {

MMRESULT QueryMappedFormat(const WAVEFORMATEX* format) {
  if (format == nullptr) return WAVERR_BADFORMAT;
  if (CanConvert(format, WaveFormatSize(format))) return MMSYSERR_NOERROR;
  const MMRESULT result = ::waveOutOpen(nullptr, WAVE_MAPPER, format, 0, 0, WAVE_FORMAT_QUERY);
  return result == WAVERR_BADFORMAT ? result : MMSYSERR_NOERROR;
}

}  // namespace telvane::platform
