// Whether the wave output can play a sound format, asked before any wave device is chosen:
// the files of a run are checked before the first dial, when no call has a device yet.
//
//   if (platform::QueryMappedFormat(reader.Format()) == WAVERR_BADFORMAT) ... refuse the file
//
// It answers as an open of a line's device with WAVE_MAPPED would about the format alone, and
// opens and loads nothing. Any thread.
#pragma once

#include "platform/mmsystem.h"

namespace telvane::platform {

// 0 when a mapped wave output would take the format, WAVERR_BADFORMAT when it would refuse
// it. Where the system's mapper has to be asked and cannot tell (no sound card), 0: only a
// format it finds bad is refused.
MMRESULT QueryMappedFormat(const WAVEFORMATEX* format);

}  // namespace telvane::platform
