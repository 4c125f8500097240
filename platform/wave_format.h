// Whether the wave output can play a sound format, asked before any wave device is chosen:
// the files of a run are checked before the first dial, when no call has a device yet.
//
//   if (platform::QueryMappedFormat(reader.Format()) == WAVERR_BADFORMAT) ... refuse the file
//
// It answers as an open of a line's device with WAVE_MAPPED would about the format alone, and
// opens and loads nothing. Any thread.
#pragma once

#include <cstddef>

#include "platform/mmsystem.h"

namespace telvane::platform {

// 0 when a mapped wave output would take the format, WAVERR_BADFORMAT when it would refuse
// it. Where the system's mapper has to be asked and cannot tell (no sound card), 0: only a
// format it finds bad is refused.
MMRESULT QueryMappedFormat(const WAVEFORMATEX* format);

// Whether the format block is the line's own format: plain PCM, 8000 Hz, 16-bit, mono.
bool IsLineFormat(const WAVEFORMATEX* format, size_t format_size);

// The number of bytes of a format block that a caller without its size may read: 18 plus
// the extra size for WAVE_FORMAT_EXTENSIBLE, 16 for every other tag. Plain PCM blocks are
// often 16 bytes long, without the extra-size field, and the converter needs nothing past
// the first 16 bytes of the other tags, so only the extensible format's field is trusted.
size_t WaveFormatSize(const WAVEFORMATEX* format);

}  // namespace telvane::platform
