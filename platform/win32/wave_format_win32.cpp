// The system's wave mapper judges the formats it can convert; it is asked for its default
// device, the only one known before a call has its own.
#include "platform/wave_format.h"

namespace telvane::platform {

MMRESULT QueryMappedFormat(const WAVEFORMATEX* format) {
  const MMRESULT result = waveOutOpen(nullptr, WAVE_MAPPER, format, 0, 0, WAVE_FORMAT_QUERY);
  return result == WAVERR_BADFORMAT ? result : MMSYSERR_NOERROR;
}

}  // namespace telvane::platform
