// The parts of the format rules that need no converter: the line's own format and the size of
// a format block. Fields are read byte by byte: a block may be shorter than WAVEFORMATEX.
#include "platform/wave_format.h"

#include <cstdint>

#include "platform/wave_devices.h"

namespace telvane::platform {

namespace {

// The fields every format block has, up to wBitsPerSample.
constexpr size_t kBaseFormatSize = 16;
constexpr uint16_t kExtensibleTag = 0xFFFE;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool IsLineFormat(const WAVEFORMATEX* format, size_t format_size) {
  if (format == nullptr || format_size < kBaseFormatSize) return false;
  const auto* block = reinterpret_cast<const uint8_t*>(format);
  return Read16(block) == WAVE_FORMAT_PCM && Read16(block + 2) == 1 &&
         Read32(block + 4) == kLineSampleRate && Read16(block + 12) == 2 &&
         Read16(block + 14) == 16;
}

size_t WaveFormatSize(const WAVEFORMATEX* format) {
  const auto* block = reinterpret_cast<const uint8_t*>(format);
  if (Read16(block) != kExtensibleTag) return kBaseFormatSize;
  return sizeof(WAVEFORMATEX) + Read16(block + 16);
}

}  // namespace telvane::platform
