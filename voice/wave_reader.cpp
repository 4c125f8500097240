// The forward walk through a RIFF "WAVE" file: form, format chunk, data chunk, data.
#include "voice/wave_reader.h"

#include <algorithm>
#include <utility>

namespace telvane {

namespace {

// The format block's own size field is 16 bits wide, so no real format block is larger
// than this; a bigger chunk is a damaged file, not a block worth allocating.
constexpr DWORD kMaxFormatSize = sizeof(WAVEFORMATEX) + 0xFFFF;

FOURCC Code(const char* text) { return mmioStringToFOURCC(text, 0); }

}  // namespace

WaveReader::WaveReader(WaveReader&& other) noexcept { *this = std::move(other); }

WaveReader& WaveReader::operator=(WaveReader&& other) noexcept {
  if (this == &other) return *this;
  Close();
  file_ = std::move(other.file_);
  riff_chunk_ = std::exchange(other.riff_chunk_, MMCKINFO{});
  chunk_ = std::exchange(other.chunk_, MMCKINFO{});
  format_ = std::move(other.format_);
  format_size_ = std::exchange(other.format_size_, 0);
  return *this;
}

void WaveReader::Open(const std::string& file_name) {
  Close();
  // The platform takes a writable string; it gets a copy of its own.
  std::string name = file_name;
  file_.reset(mmioOpen(name.data(), nullptr, MMIO_READ | MMIO_ALLOCBUF));
}

void WaveReader::Close() {
  file_.reset();
  riff_chunk_ = MMCKINFO{};
  chunk_ = MMCKINFO{};
  ReleaseFormat();
}

MMRESULT WaveReader::FindForm() {
  if (!file_) return MMIOERR_CHUNKNOTFOUND;
  riff_chunk_ = MMCKINFO{};
  riff_chunk_.fccType = Code("WAVE");
  return mmioDescend(file_.get(), &riff_chunk_, nullptr, MMIO_FINDRIFF);
}

MMRESULT WaveReader::FindFormat() {
  if (!file_) return MMIOERR_CHUNKNOTFOUND;
  chunk_ = MMCKINFO{};
  chunk_.ckid = Code("fmt ");
  return mmioDescend(file_.get(), &chunk_, &riff_chunk_, MMIO_FINDCHUNK);
}

bool WaveReader::ReadFormat() {
  ReleaseFormat();
  if (!file_ || chunk_.cksize > kMaxFormatSize) return false;
  const DWORD size = chunk_.cksize;
  // The wave output is handed only a pointer and reads at least the fixed fields, so a
  // block shorter than them is padded with zeros; zeroed also means a chunk that ends early
  // leaves zeros rather than whatever the heap held.
  format_ = std::make_unique<uint8_t[]>(std::max<DWORD>(size, sizeof(WAVEFORMATEX)));
  const LONG got =
      mmioRead(file_.get(), reinterpret_cast<HPSTR>(format_.get()), static_cast<LONG>(size));
  if (got == -1) {
    ReleaseFormat();
    return false;
  }
  format_size_ = static_cast<DWORD>(got);
  return true;
}

bool WaveReader::FormatIsWhole() const {
  if (!format_) return false;
  const WAVEFORMATEX* format = Format();
  if (format->wFormatTag == WAVE_FORMAT_PCM) return true;  // read as its 16 bytes alone
  // Below the fixed fields the block is padded with zeros, an extra size of 0 included.
  const DWORD held = std::max<DWORD>(format_size_, sizeof(WAVEFORMATEX));
  return sizeof(WAVEFORMATEX) + format->cbSize <= held;
}

void WaveReader::ReleaseFormat() {
  format_.reset();
  format_size_ = 0;
}

MMRESULT WaveReader::FindData() {
  if (!file_) return MMIOERR_CHUNKNOTFOUND;
  const MMRESULT left = mmioAscend(file_.get(), &chunk_, 0);
  if (left != 0) return left;
  chunk_ = MMCKINFO{};
  chunk_.ckid = Code("data");
  return mmioDescend(file_.get(), &chunk_, &riff_chunk_, MMIO_FINDCHUNK);
}

LONG WaveReader::Read(char* buffer, LONG count) {
  if (!file_) return -1;
  return mmioRead(file_.get(), buffer, count);
}

}  // namespace telvane
