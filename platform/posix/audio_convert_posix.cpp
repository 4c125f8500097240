// Decoding, mix-down and resampling to the line format. G.711 decoding comes from spandsp
// and resampling from libsamplerate; this file only reads sample frames and joins the two.
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "platform/posix/audio_convert.h"
#include "platform/wave_devices.h"

// Last, because spandsp's base header turns lrint and lrintf into truncating macros for
// C++, which would break any standard header included after it; the macros go again at once.
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#undef lrint
#undef lrintf
// clang-format on

namespace telvane::platform {

namespace {

// Formats are read field by field from the block: it may be shorter than WAVEFORMATEX.
constexpr size_t kBaseFormatSize = 16;
constexpr size_t kExtensibleFormatSize = 40;
constexpr WORD kExtensibleExtraSize = 22;

// Rates outside this range are refused: nobody records speech there, and the resampler
// handles at most a ratio of 256 either way.
constexpr uint32_t kMinSampleRate = 1000;
constexpr uint32_t kMaxSampleRate = 768000;

// How the samples of one channel are stored.
enum class Encoding {
  kUnsigned8,
  kSigned16,
  kSigned24,
  kSigned32,
  kFloat32,
  kFloat64,
  kMuLaw,
  kALaw
};

struct SourceFormat {
  Encoding encoding = Encoding::kSigned16;
  uint32_t channels = 1;
  uint32_t sample_rate = kLineSampleRate;
  size_t frame_bytes = 2;  // one sample of every channel: the block alignment
};

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The tail every WAVE_FORMAT_EXTENSIBLE subformat GUID shares; its first four bytes are
// the plain format tag.
constexpr uint8_t kSubFormatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The encoding of a format tag with its container width, if it is one we decode.
std::optional<Encoding> EncodingOf(uint32_t tag, uint32_t bits) {
  switch (tag) {
    case WAVE_FORMAT_PCM:
      if (bits == 8) return Encoding::kUnsigned8;
      if (bits == 16) return Encoding::kSigned16;
      if (bits == 24) return Encoding::kSigned24;
      if (bits == 32) return Encoding::kSigned32;
      return std::nullopt;
    case WAVE_FORMAT_IEEE_FLOAT:
      if (bits == 32) return Encoding::kFloat32;
      if (bits == 64) return Encoding::kFloat64;
      return std::nullopt;
    case WAVE_FORMAT_MULAW:
      return bits == 8 ? std::optional(Encoding::kMuLaw) : std::nullopt;
    case WAVE_FORMAT_ALAW:
      return bits == 8 ? std::optional(Encoding::kALaw) : std::nullopt;
    default:
      return std::nullopt;
  }
}

// The tag an extensible format really carries, from its SubFormat GUID; 0 when the GUID
// is not one of the plain tags.
uint32_t ExtensibleTag(const uint8_t* block) {
  const uint8_t* guid = block + 24;
  if (std::memcmp(guid + 4, kSubFormatTail, sizeof kSubFormatTail) != 0) return 0;
  const uint32_t tag = Read32(guid);
  return tag <= 0xFFFF ? tag : 0;
}

std::optional<SourceFormat> ParseFormat(const WAVEFORMATEX* format, size_t format_size) {
  if (format == nullptr || format_size < kBaseFormatSize) return std::nullopt;
  const auto* block = reinterpret_cast<const uint8_t*>(format);
  uint32_t tag = Read16(block);
  const uint32_t channels = Read16(block + 2);
  const uint32_t rate = Read32(block + 4);
  const uint32_t block_align = Read16(block + 12);
  const uint32_t bits = Read16(block + 14);
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    if (format_size < kExtensibleFormatSize || Read16(block + 16) < kExtensibleExtraSize) {
      return std::nullopt;
    }
    // The valid bits sit at the top of each container, so the container is decoded whole.
    const uint32_t valid_bits = Read16(block + 18);
    if (valid_bits > bits) return std::nullopt;
    tag = ExtensibleTag(block);
  }
  const std::optional<Encoding> encoding = EncodingOf(tag, bits);
  if (!encoding || channels == 0 || rate < kMinSampleRate || rate > kMaxSampleRate) {
    return std::nullopt;
  }
  // A block alignment that disagrees with the sample size would have us read frames out of
  // step with the data: refuse it rather than play noise.
  if (block_align != channels * (bits / 8)) return std::nullopt;
  return SourceFormat{*encoding, channels, rate, block_align};
}

float DecodeSample(Encoding encoding, const uint8_t* p) {
  switch (encoding) {
    case Encoding::kUnsigned8:
      return (static_cast<float>(p[0]) - 128.0f) / 128.0f;
    case Encoding::kSigned16:
      return static_cast<float>(static_cast<int16_t>(Read16(p))) / 32768.0f;
    case Encoding::kSigned24: {
      const uint32_t raw = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16);
      const int32_t value = static_cast<int32_t>(raw << 8) >> 8;
      return static_cast<float>(value) / 8388608.0f;
    }
    case Encoding::kSigned32:
      return static_cast<float>(static_cast<int32_t>(Read32(p))) / 2147483648.0f;
    case Encoding::kFloat32: {
      float value;
      std::memcpy(&value, p, sizeof value);
      // Not-a-number or infinity would poison the resampler's history for good.
      return std::isfinite(value) ? std::clamp(value, -1.0f, 1.0f) : 0.0f;
    }
    case Encoding::kFloat64: {
      double value;
      std::memcpy(&value, p, sizeof value);
      return std::isfinite(value) ? static_cast<float>(std::clamp(value, -1.0, 1.0)) : 0.0f;
    }
    case Encoding::kMuLaw:
      return static_cast<float>(ulaw_to_linear(p[0])) / 32768.0f;
    case Encoding::kALaw:
      return static_cast<float>(alaw_to_linear(p[0])) / 32768.0f;
  }
  return 0.0f;
}

int16_t ToLineSample(float value) {
  const float scaled = std::nearbyint(value * 32768.0f);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

struct SrcDeleter {
  void operator()(SRC_STATE* state) const { src_delete(state); }
};

// Output room per call of the resampler; it is called again while it has more to give.
constexpr size_t kResampleChunk = 4096;

// A mono stream of floats at one rate turned into line samples at another, through
// libsamplerate. The resampler keeps its history from piece to piece, so the last few
// milliseconds of what it was given stay inside it until more sound or Flush follows.
class Resampler {
 public:
  // ok() tells whether it could be made.
  Resampler(uint32_t from_rate, uint32_t to_rate)
      : ratio_(static_cast<double>(to_rate) / from_rate), recent_limit_(from_rate / 50) {
    int error = 0;
    state_.reset(src_new(SRC_SINC_MEDIUM_QUALITY, 1, &error));
  }

  bool ok() const { return state_ != nullptr; }

  void Process(std::span<const float> input, std::vector<int16_t>& out) {
    Run(state_.get(), input, /*end_of_input=*/false, out);
    const size_t kept = std::min(input.size(), recent_limit_);
    recent_.insert(recent_.end(), input.end() - static_cast<ptrdiff_t>(kept), input.end());
    if (recent_.size() > recent_limit_) {
      recent_.erase(recent_.begin(), recent_.end() - static_cast<ptrdiff_t>(recent_limit_));
    }
  }

  // Whatever is still held, then a fresh start.
  void Flush(std::vector<int16_t>& out) {
    Run(state_.get(), {}, /*end_of_input=*/true, out);
    Reset();
  }

  // What is still held, given as the sound would go on, while the history is kept: a copy
  // of the resampler is flushed to learn how much it holds, and another is fed the last
  // milliseconds continued point-symmetrically about the last sample (the slope carries on)
  // for that many samples. Should more sound follow, its first samples cover the same stretch
  // of time again and are not given; they differ from the drained ones by a trace only, where
  // flushing into silence would leave a click at every join.
  void Drain(std::vector<int16_t>& out) {
    std::vector<int16_t> held;
    if (!RunCopy({}, /*end_of_input=*/true, held)) return;
    std::vector<int16_t> continued;
    if (RunCopy(Continuation(), /*end_of_input=*/false, continued) &&
        continued.size() >= held.size()) {
      std::copy_n(continued.begin(), held.size(), held.begin());
    }
    // Drained twice without sound between: the first drain gave the start already.
    const size_t given = std::min(skip_, held.size());
    out.insert(out.end(), held.begin() + static_cast<ptrdiff_t>(given), held.end());
    skip_ = held.size();
  }

  void Reset() {
    src_reset(state_.get());
    skip_ = 0;
    recent_.clear();
  }

 private:
  // Runs a copy of the resampler, which is left as it was; false if no copy could be made.
  bool RunCopy(std::span<const float> input, bool end_of_input, std::vector<int16_t>& out) {
    int error = 0;
    const std::unique_ptr<SRC_STATE, SrcDeleter> copy(src_clone(state_.get(), &error));
    if (!copy) return false;
    Run(copy.get(), input, end_of_input, out);
    return true;
  }

  // Twice the kept milliseconds, reflected through the last sample; where they run out, the
  // last reflected value held.
  std::vector<float> Continuation() const {
    const size_t n = recent_.size();
    std::vector<float> more(2 * recent_limit_);
    if (n == 0) return more;
    const float last = recent_.back();
    for (size_t k = 0; k < more.size(); ++k) {
      if (k + 2 <= n) {
        more[k] = 2 * last - recent_[n - 2 - k];
      } else {
        more[k] = k == 0 ? last : more[k - 1];
      }
    }
    return more;
  }

  void Run(SRC_STATE* state, std::span<const float> input, bool end_of_input,
           std::vector<int16_t>& out) {
    std::vector<float> output(kResampleChunk);
    // The library wants an input pointer even when there is no input.
    const float no_input = 0.0f;
    SRC_DATA data{};
    data.src_ratio = ratio_;
    data.end_of_input = end_of_input ? 1 : 0;
    for (;;) {
      data.data_in = input.empty() ? &no_input : input.data();
      data.input_frames = static_cast<long>(input.size());
      data.data_out = output.data();
      data.output_frames = static_cast<long>(output.size());
      if (src_process(state, &data) != 0) return;
      input = input.subspan(static_cast<size_t>(data.input_frames_used));
      long i = 0;
      if (state == state_.get()) {
        const auto skipped = static_cast<long>(std::min<size_t>(skip_, data.output_frames_gen));
        skip_ -= static_cast<size_t>(skipped);
        i = skipped;
      }
      for (; i < data.output_frames_gen; ++i) out.push_back(ToLineSample(output[i]));
      if (input.empty() && data.output_frames_gen == 0) return;
    }
  }

  const double ratio_;
  std::unique_ptr<SRC_STATE, SrcDeleter> state_;
  // Samples the resampler will give next that a drain gave already.
  size_t skip_ = 0;
  // The last input (20 ms at most), which a drain continues.
  const size_t recent_limit_;
  std::vector<float> recent_;
};

}  // namespace

class LineAudioConverter::Impl {
 public:
  explicit Impl(const SourceFormat& format) : format_(format) {
    if (format_.sample_rate != kLineSampleRate) {
      resampler_.emplace(format_.sample_rate, kLineSampleRate);
    }
  }

  bool ok() const { return !resampler_ || resampler_->ok(); }

  std::vector<int16_t> Convert(std::span<const uint8_t> bytes) {
    std::vector<float> mono = DecodeFrames(bytes);
    std::vector<int16_t> out;
    if (!resampler_) {
      out.reserve(mono.size());
      for (float value : mono) out.push_back(ToLineSample(value));
      return out;
    }
    resampler_->Process(mono, out);
    return out;
  }

  std::vector<int16_t> Flush() {
    std::vector<int16_t> out;
    if (resampler_) resampler_->Flush(out);
    partial_.clear();
    return out;
  }

  std::vector<int16_t> Drain() {
    std::vector<int16_t> out;
    if (resampler_) resampler_->Drain(out);
    return out;
  }

  void Reset() {
    if (resampler_) resampler_->Reset();
    partial_.clear();
  }

 private:
  // Completes the frame left over from the last piece, then decodes whole frames; the bytes
  // of a frame that this piece leaves incomplete are kept for the next.
  std::vector<float> DecodeFrames(std::span<const uint8_t> bytes) {
    std::vector<float> mono;
    mono.reserve((partial_.size() + bytes.size()) / format_.frame_bytes + 1);
    if (!partial_.empty()) {
      const size_t missing = format_.frame_bytes - partial_.size();
      const size_t take = std::min(missing, bytes.size());
      partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + take);
      bytes = bytes.subspan(take);
      if (partial_.size() < format_.frame_bytes) return mono;
      mono.push_back(MixFrame(partial_.data()));
      partial_.clear();
    }
    while (bytes.size() >= format_.frame_bytes) {
      mono.push_back(MixFrame(bytes.data()));
      bytes = bytes.subspan(format_.frame_bytes);
    }
    partial_.assign(bytes.begin(), bytes.end());
    return mono;
  }

  // One frame of every channel, averaged into one sample.
  float MixFrame(const uint8_t* frame) const {
    const size_t sample_bytes = format_.frame_bytes / format_.channels;
    float sum = 0.0f;
    for (uint32_t channel = 0; channel < format_.channels; ++channel) {
      sum += DecodeSample(format_.encoding, frame + channel * sample_bytes);
    }
    return sum / static_cast<float>(format_.channels);
  }

  SourceFormat format_;
  std::vector<uint8_t> partial_;
  std::optional<Resampler> resampler_;
};

class RateConverter::Impl {
 public:
  Impl(uint32_t from_rate, uint32_t to_rate) : resampler_(from_rate, to_rate) {}
  Resampler resampler_;
};

std::unique_ptr<RateConverter> RateConverter::Create(uint32_t from_rate, uint32_t to_rate) {
  if (from_rate < kMinSampleRate || from_rate > kMaxSampleRate || to_rate < kMinSampleRate ||
      to_rate > kMaxSampleRate) {
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(from_rate, to_rate);
  if (!impl->resampler_.ok()) return nullptr;
  return std::unique_ptr<RateConverter>(new RateConverter(std::move(impl)));
}

RateConverter::RateConverter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RateConverter::~RateConverter() = default;

std::vector<int16_t> RateConverter::Convert(std::span<const int16_t> samples) {
  std::vector<float> input;
  input.reserve(samples.size());
  for (int16_t sample : samples) input.push_back(static_cast<float>(sample) / 32768.0f);
  std::vector<int16_t> out;
  impl_->resampler_.Process(input, out);
  return out;
}

std::vector<int16_t> RateConverter::Flush() {
  std::vector<int16_t> out;
  impl_->resampler_.Flush(out);
  return out;
}

std::vector<int16_t> RateConverter::Drain() {
  std::vector<int16_t> out;
  impl_->resampler_.Drain(out);
  return out;
}

void RateConverter::Reset() { impl_->resampler_.Reset(); }

bool CanConvert(const WAVEFORMATEX* format, size_t format_size) {
  return ParseFormat(format, format_size).has_value();
}

std::unique_ptr<LineAudioConverter> LineAudioConverter::Create(const WAVEFORMATEX* format,
                                                               size_t format_size) {
  const std::optional<SourceFormat> source = ParseFormat(format, format_size);
  if (!source) return nullptr;
  auto impl = std::make_unique<Impl>(*source);
  if (!impl->ok()) return nullptr;
  return std::unique_ptr<LineAudioConverter>(new LineAudioConverter(std::move(impl)));
}

LineAudioConverter::LineAudioConverter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LineAudioConverter::~LineAudioConverter() = default;

std::vector<int16_t> LineAudioConverter::Convert(std::span<const uint8_t> bytes) {
  return impl_->Convert(bytes);
}

std::vector<int16_t> LineAudioConverter::Flush() { return impl_->Flush(); }

std::vector<int16_t> LineAudioConverter::Drain() { return impl_->Drain(); }

void LineAudioConverter::Reset() { impl_->Reset(); }

}  // namespace telvane::platform
