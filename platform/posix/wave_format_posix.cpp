// A mapped open of our wave output takes every format the conversion to the line reads.
#include "platform/posix/audio_convert.h"
#include "platform/wave_format.h"

namespace telvane::platform {

MMRESULT QueryMappedFormat(const WAVEFORMATEX* format) {
  if (format == nullptr) return WAVERR_BADFORMAT;
  return CanConvert(format, WaveFormatSize(format)) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

}  // namespace telvane::platform
