// Conversion to the line format on Windows: sound already in the line format passes unchanged;
// any other format goes through a stream of the system's audio compression manager, which is
// what the system's wave mapper converts with, so a line takes what a modem's wave device
// opened through the mapper would.
#include <windows.h>
// clang-format off
#include <mmreg.h>
#include <msacm.h>
// clang-format on

#include <algorithm>
#include <cstring>

#include "platform/audio_convert.h"
#include "platform/wave_devices.h"

namespace telvane::platform {

namespace {

constexpr size_t kBaseFormatSize = 16;

// The format block as the manager reads it: a whole WAVEFORMATEX, whose extra-size field a
// plain 16-byte block lacks (and then has none).
std::vector<uint8_t> FormatBlock(const WAVEFORMATEX* format, size_t format_size) {
  std::vector<uint8_t> block(std::max(format_size, sizeof(WAVEFORMATEX)));
  std::memcpy(block.data(), format, format_size);
  if (format_size < sizeof(WAVEFORMATEX)) reinterpret_cast<WAVEFORMATEX*>(block.data())->cbSize = 0;
  return block;
}

WAVEFORMATEX LineFormat() {
  WAVEFORMATEX line{};
  line.wFormatTag = WAVE_FORMAT_PCM;
  line.nChannels = 1;
  line.nSamplesPerSec = kLineSampleRate;
  line.wBitsPerSample = 16;
  line.nBlockAlign = 2;
  line.nAvgBytesPerSec = kLineSampleRate * 2;
  return line;
}

// Opens a stream from the format to the line format, or only asks whether one would open
// (stream null).
MMRESULT OpenStream(const WAVEFORMATEX* format, size_t format_size, HACMSTREAM* stream) {
  std::vector<uint8_t> source = FormatBlock(format, format_size);
  WAVEFORMATEX line = LineFormat();
  const DWORD flags = ACM_STREAMOPENF_NONREALTIME | (stream == nullptr ? ACM_STREAMOPENF_QUERY : 0);
  return acmStreamOpen(stream, nullptr, reinterpret_cast<WAVEFORMATEX*>(source.data()), &line,
                       nullptr, 0, 0, flags);
}

std::vector<int16_t> Samples(const uint8_t* bytes, size_t count) {
  std::vector<int16_t> samples(count / 2);
  std::memcpy(samples.data(), bytes, samples.size() * 2);
  return samples;
}

}  // namespace

// Bytes wait in `pending_` until they make whole blocks of the source format (a sample frame,
// or a codec's block); the manager keeps what it needs of the sound before them.
class LineAudioConverter::Impl {
 public:
  // stream is null for sound in the line format, which needs none.
  Impl(HACMSTREAM stream, size_t block_bytes) : stream_(stream), block_bytes_(block_bytes) {}
  ~Impl() {
    if (stream_ != nullptr) acmStreamClose(stream_, 0);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  std::vector<int16_t> Convert(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return Run(/*end=*/false);
  }

  std::vector<int16_t> Flush() {
    std::vector<int16_t> out = Run(/*end=*/true);
    pending_.clear();
    return out;
  }

  void Reset() {
    pending_.clear();
    started_ = false;
  }

 private:
  // Converts the whole blocks pending, or at the end everything, which ends the stream; the
  // next conversion starts a new one.
  std::vector<int16_t> Run(bool end) {
    const size_t whole = pending_.size() - pending_.size() % block_bytes_;
    if (stream_ == nullptr) {
      std::vector<int16_t> out = Samples(pending_.data(), whole);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(whole));
      return out;
    }
    const size_t length = end ? pending_.size() : whole;
    if (length == 0 && !end) return {};
    DWORD room = 0;
    if (acmStreamSize(stream_, static_cast<DWORD>(std::max<size_t>(length, block_bytes_)), &room,
                      ACM_STREAMSIZEF_SOURCE) != 0) {
      room = static_cast<DWORD>(length * 8 + 4096);
    }
    std::vector<uint8_t> output(room + 2);
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = pending_.data();
    header.cbSrcLength = static_cast<DWORD>(length);
    header.pbDst = output.data();
    header.cbDstLength = room;
    DWORD flags = end ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN;
    if (!started_) flags |= ACM_STREAMCONVERTF_START;
    std::vector<int16_t> out;
    if (acmStreamPrepareHeader(stream_, &header, 0) == 0) {
      if (acmStreamConvert(stream_, &header, flags) == 0) {
        out = Samples(output.data(), header.cbDstLengthUsed);
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<ptrdiff_t>(header.cbSrcLengthUsed));
      }
      header.cbSrcLength = static_cast<DWORD>(length);
      header.cbDstLength = room;
      acmStreamUnprepareHeader(stream_, &header, 0);
    }
    started_ = !end;
    return out;
  }

  const HACMSTREAM stream_;
  const size_t block_bytes_;
  std::vector<uint8_t> pending_;
  bool started_ = false;
};

bool CanConvert(const WAVEFORMATEX* format, size_t format_size) {
  if (format == nullptr || format_size < kBaseFormatSize) return false;
  if (IsLineFormat(format, format_size)) return true;
  return format->nBlockAlign != 0 && OpenStream(format, format_size, nullptr) == 0;
}

std::unique_ptr<LineAudioConverter> LineAudioConverter::Create(const WAVEFORMATEX* format,
                                                               size_t format_size) {
  if (!CanConvert(format, format_size)) return nullptr;
  HACMSTREAM stream = nullptr;
  if (!IsLineFormat(format, format_size) && OpenStream(format, format_size, &stream) != 0) {
    return nullptr;
  }
  return std::unique_ptr<LineAudioConverter>(
      new LineAudioConverter(std::make_unique<Impl>(stream, format->nBlockAlign)));
}

LineAudioConverter::LineAudioConverter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LineAudioConverter::~LineAudioConverter() = default;

std::vector<int16_t> LineAudioConverter::Convert(std::span<const uint8_t> bytes) {
  return impl_->Convert(bytes);
}

std::vector<int16_t> LineAudioConverter::Flush() { return impl_->Flush(); }

// The manager gives out at once all it can of the sound it was given: nothing waits to be
// drained.
std::vector<int16_t> LineAudioConverter::Drain() { return {}; }

void LineAudioConverter::Reset() { impl_->Reset(); }

}  // namespace telvane::platform
