#include "platform/posix/audio_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace telvane::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// A format block of the given layout; extensible ones carry the subformat in their GUID.
struct Format {
  WORD tag = WAVE_FORMAT_PCM;
  WORD channels = 1;
  DWORD rate = 8000;
  WORD bits = 16;
  WORD block_align = 0;  // 0: channels * bits / 8
  WORD sub_tag = 0;      // for WAVE_FORMAT_EXTENSIBLE
  WORD valid_bits = 0;

  Bytes Block() const {
    Bytes out(tag == WAVE_FORMAT_EXTENSIBLE ? 40 : 18);
    auto put16 = [&out](size_t at, uint16_t v) {
      out[at] = static_cast<uint8_t>(v);
      out[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
      put16(at, static_cast<uint16_t>(v));
      put16(at + 2, static_cast<uint16_t>(v >> 16));
    };
    const WORD align = block_align ? block_align : static_cast<WORD>(channels * bits / 8);
    put16(0, tag);
    put16(2, channels);
    put32(4, rate);
    put32(8, rate * align);
    put16(12, align);
    put16(14, bits);
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
      put16(16, 22);
      put16(18, valid_bits ? valid_bits : bits);
      put32(20, 0x3);
      const uint8_t guid_tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                     0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      put32(24, sub_tag);
      std::memcpy(out.data() + 28, guid_tail, sizeof guid_tail);
    }
    return out;
  }
};

const WAVEFORMATEX* AsFormat(const Bytes& block) {
  return reinterpret_cast<const WAVEFORMATEX*>(block.data());
}

std::unique_ptr<LineAudioConverter> Make(const Format& format) {
  const Bytes block = format.Block();
  return LineAudioConverter::Create(AsFormat(block), block.size());
}

// Converts the bytes in one piece and flushes: all the line sound they give.
Samples ConvertAll(const Format& format, const Bytes& data) {
  auto converter = Make(format);
  EXPECT_NE(converter, nullptr);
  if (!converter) return {};
  Samples out = converter->Convert(data);
  const Samples tail = converter->Flush();
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

template <typename T>
Bytes RawBytes(const std::vector<T>& values) {
  Bytes out(values.size() * sizeof(T));
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

// Little-endian samples of 24 bits.
Bytes Pcm24(const std::vector<int32_t>& values) {
  Bytes out;
  for (int32_t v : values) {
    for (int i = 0; i < 3; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

// A sine of the given frequency and peak, interleaved identically on every channel.
std::vector<float> Sine(double frequency, double rate, size_t frames, int channels, float peak) {
  std::vector<float> out;
  for (size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<float>(peak * std::sin(2 * std::numbers::pi * frequency * i / rate));
    for (int c = 0; c < channels; ++c) out.push_back(v);
  }
  return out;
}

double Rms(const Samples& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

// The line's own format passes through unchanged, sample for sample.
TEST(AudioConvertTest, LineFormatPassesThroughExactly) {
  const Samples input = {0, 1, -1, 32767, -32768, 1234, -4321};
  EXPECT_EQ(ConvertAll({}, RawBytes(input)), input);
  const Bytes block = Format{}.Block();
  EXPECT_TRUE(IsLineFormat(AsFormat(block), 16));
}

// Every PCM width decodes to the same line values: 8-bit is unsigned around 128, wider
// samples keep their top 16 bits.
TEST(AudioConvertTest, PcmWidthsDecodeToLineValues) {
  EXPECT_EQ(ConvertAll({.bits = 8}, Bytes{128, 255, 0, 129, 127}),
            (Samples{0, 127 * 256, -32768, 256, -256}));
  EXPECT_EQ(ConvertAll({.bits = 24}, Pcm24({0, 0x123456, -0x123456, 0x7FFFFF, -0x800000})),
            (Samples{0, 0x1234, -0x1234, 32767, -32768}));
  EXPECT_EQ(ConvertAll({.bits = 32}, RawBytes(std::vector<int32_t>{0, 0x40000000, INT32_MIN,
                                                                   INT32_MAX, -0x10000})),
            (Samples{0, 16384, -32768, 32767, -1}));
}

// Float samples scale by 32768, clip at full scale, and a NaN or infinity is silence
// instead of spoiling what follows.
TEST(AudioConvertTest, FloatSamplesScaleAndClip) {
  const float nan = std::nanf("");
  const float inf = INFINITY;
  EXPECT_EQ(ConvertAll({.tag = WAVE_FORMAT_IEEE_FLOAT, .bits = 32},
                       RawBytes(std::vector<float>{0.5f, -0.25f, 2.0f, -3.0f, nan, inf, 0.125f})),
            (Samples{16384, -8192, 32767, -32768, 0, 0, 4096}));
  EXPECT_EQ(ConvertAll({.tag = WAVE_FORMAT_IEEE_FLOAT, .bits = 64},
                       RawBytes(std::vector<double>{0.5, -1.0, 1.0, 1e300})),
            (Samples{16384, -32768, 32767, 32767}));
}

// G.711 codes decode to their published linear values.
TEST(AudioConvertTest, CompandedSamplesDecodeToKnownValues) {
  EXPECT_EQ(ConvertAll({.tag = WAVE_FORMAT_MULAW, .bits = 8}, Bytes{0xFF, 0x7F, 0x80, 0x00}),
            (Samples{0, 0, 32124, -32124}));
  EXPECT_EQ(ConvertAll({.tag = WAVE_FORMAT_ALAW, .bits = 8}, Bytes{0xD5, 0x55, 0xAA, 0x2A}),
            (Samples{8, -8, 32256, -32256}));
}

// Channels are mixed down by averaging each frame.
TEST(AudioConvertTest, ChannelsAreAveraged) {
  EXPECT_EQ(ConvertAll({.channels = 2}, RawBytes(Samples{1000, 3000, 500, -500, -32768, -32768})),
            (Samples{2000, 0, -32768}));
  EXPECT_EQ(ConvertAll({.channels = 3, .bits = 8}, Bytes{128 + 3, 128 + 6, 128 + 9}),
            (Samples{6 * 256}));
}

// The extensible format decodes by its SubFormat GUID, with any container the plain tag
// allows; a GUID of another kind is refused.
TEST(AudioConvertTest, ExtensibleFormatsFollowTheirSubFormat) {
  const Format pcm24{.tag = WAVE_FORMAT_EXTENSIBLE,
                     .channels = 2,
                     .bits = 24,
                     .sub_tag = WAVE_FORMAT_PCM,
                     .valid_bits = 20};
  EXPECT_EQ(ConvertAll(pcm24, Pcm24({0x100000, 0x300000, -0x400000, -0x400000})),
            (Samples{0x2000, -0x4000}));
  const Format float32{.tag = WAVE_FORMAT_EXTENSIBLE, .bits = 32, .sub_tag = 3};
  EXPECT_EQ(ConvertAll(float32, RawBytes(std::vector<float>{0.25f})), (Samples{8192}));
  const Format mulaw{.tag = WAVE_FORMAT_EXTENSIBLE, .bits = 8, .sub_tag = WAVE_FORMAT_MULAW};
  EXPECT_EQ(ConvertAll(mulaw, Bytes{0x80}), (Samples{32124}));

  Format other_guid = pcm24;
  Bytes block = other_guid.Block();
  block[30] = 0x11;  // same first field, different family of GUID
  EXPECT_FALSE(CanConvert(AsFormat(block), block.size()));
}

// Formats the converter cannot read honestly are refused rather than played as noise.
TEST(AudioConvertTest, UnsupportedFormatsAreRefused) {
  const Format refused[] = {
      {.tag = 2, .bits = 4},                                      // ADPCM
      {.tag = 0x55, .bits = 0},                                   // MPEG layer 3
      {.bits = 12},                                               // PCM width not byte-sized
      {.bits = 16, .block_align = 3},                             // frames out of step
      {.channels = 0},                                            // no channel
      {.rate = 0},                                                // no rate
      {.rate = 10000000},                                         // beyond the resampler
      {.tag = WAVE_FORMAT_IEEE_FLOAT, .bits = 16},                // no such float
      {.tag = WAVE_FORMAT_MULAW, .bits = 16},                     // G.711 is 8-bit
      {.tag = WAVE_FORMAT_EXTENSIBLE, .bits = 16, .sub_tag = 2},  // extensible ADPCM
      {.tag = WAVE_FORMAT_EXTENSIBLE, .bits = 16, .sub_tag = 1, .valid_bits = 20},
  };
  for (const Format& format : refused) {
    const Bytes block = format.Block();
    SCOPED_TRACE(testing::Message() << "tag " << format.tag << " bits " << format.bits);
    EXPECT_FALSE(CanConvert(AsFormat(block), block.size()));
    EXPECT_EQ(LineAudioConverter::Create(AsFormat(block), block.size()), nullptr);
  }
  // Blocks too short to hold what their tag needs.
  const Bytes pcm = Format{}.Block();
  EXPECT_FALSE(CanConvert(AsFormat(pcm), 14));
  EXPECT_FALSE(CanConvert(nullptr, 16));
  Bytes extensible = Format{.tag = WAVE_FORMAT_EXTENSIBLE, .sub_tag = 1}.Block();
  EXPECT_FALSE(CanConvert(AsFormat(extensible), 39));
  extensible[16] = 10;  // extra size too small for the extension
  EXPECT_FALSE(CanConvert(AsFormat(extensible), extensible.size()));
  // Only plain 8000 Hz 16-bit mono PCM is the line's own format.
  const Bytes stereo = Format{.channels = 2}.Block();
  EXPECT_FALSE(IsLineFormat(AsFormat(stereo), stereo.size()));
  const Bytes fast = Format{.rate = 16000}.Block();
  EXPECT_FALSE(IsLineFormat(AsFormat(fast), fast.size()));
}

// The size of a format block as the API reads it: plain tags stop at 16 bytes, the
// extensible one runs to the end of its extension.
TEST(AudioConvertTest, FormatSizeTrustsOnlyTheExtensibleExtraSize) {
  Bytes pcm = Format{}.Block();
  pcm[16] = 0xFF;  // garbage past a 16-byte PCM block
  EXPECT_EQ(WaveFormatSize(AsFormat(pcm)), 16u);
  const Bytes extensible = Format{.tag = WAVE_FORMAT_EXTENSIBLE, .sub_tag = 1}.Block();
  EXPECT_EQ(WaveFormatSize(AsFormat(extensible)), 40u);
}

// Frames split across pieces of any size, even a byte at a time, decode as if whole.
TEST(AudioConvertTest, PiecesMayStraddleFrames) {
  const Format format{.channels = 2, .bits = 24};
  const Bytes data = Pcm24({0x010000, 0x030000, -0x200000, 0x100000, 0x7FFF00, 0x7FFF00});
  auto converter = Make(format);
  ASSERT_NE(converter, nullptr);
  Samples out;
  for (uint8_t byte : data) {
    const Samples part = converter->Convert(Bytes{byte});
    out.insert(out.end(), part.begin(), part.end());
  }
  EXPECT_EQ(out, (Samples{0x200, -0x800, 0x7FFF}));
}

// A 1 kHz tone at 16 kHz stereo float becomes 8 kHz mono: half the frames, the same peak,
// still 1 kHz; fed in odd pieces it joins without a seam, as if fed in one.
TEST(AudioConvertTest, ResamplesToTheLineRateWithoutSeams) {
  const Format format{.tag = WAVE_FORMAT_IEEE_FLOAT, .channels = 2, .rate = 16000, .bits = 32};
  const Bytes data = RawBytes(Sine(1000, 16000, 16000, 2, 0.5f));
  const Samples whole = ConvertAll(format, data);
  ASSERT_NEAR(static_cast<double>(whole.size()), 8000.0, 1.0);
  // Away from the edges: the RMS of a sine of peak 0.5 full scale, and 1000 cycles.
  EXPECT_NEAR(Rms(whole, 400, 7600), 0.5 * 32768 / std::sqrt(2.0), 0.02 * 16384);
  int rises = 0;
  for (size_t i = 401; i < 7600; ++i) rises += whole[i - 1] < 0 && whole[i] >= 0;
  EXPECT_NEAR(rises, 900, 2);

  auto converter = Make(format);
  Samples pieces;
  for (size_t at = 0; at < data.size();) {
    const size_t size = std::min<size_t>(data.size() - at, 4093);  // cuts through frames
    const Samples part = converter->Convert({data.data() + at, size});
    pieces.insert(pieces.end(), part.begin(), part.end());
    at += size;
  }
  const Samples tail = converter->Flush();
  pieces.insert(pieces.end(), tail.begin(), tail.end());
  ASSERT_EQ(pieces.size(), whole.size());
  for (size_t i = 0; i < whole.size(); ++i) ASSERT_NEAR(pieces[i], whole[i], 1) << i;
}

// Common file rates give the length the line rate implies, and the resampler's last few
// milliseconds come out only with Flush.
TEST(AudioConvertTest, CommonRatesGiveTheExpectedLength) {
  for (const DWORD rate : {11025u, 22050u, 44100u, 48000u}) {
    SCOPED_TRACE(rate);
    const Format format{.rate = rate};
    const Bytes data = RawBytes(Samples(rate, 1000));  // one second
    auto converter = Make(format);
    ASSERT_NE(converter, nullptr);
    const Samples body = converter->Convert(data);
    const Samples tail = converter->Flush();
    EXPECT_GT(tail.size(), 0u);
    EXPECT_NEAR(static_cast<double>(body.size() + tail.size()), 8000.0, 1.0);
    EXPECT_NEAR(body[4000], 1000, 2);
  }
}

// A tone above the line's 4 kHz limit is filtered out, not folded back into speech.
TEST(AudioConvertTest, ToneAboveTheLineBandIsRemoved) {
  const Format format{.tag = WAVE_FORMAT_IEEE_FLOAT, .rate = 16000, .bits = 32};
  const Samples out = ConvertAll(format, RawBytes(Sine(6000, 16000, 16000, 1, 0.5f)));
  ASSERT_GT(out.size(), 7000u);
  EXPECT_LT(Rms(out, 400, 7600), 0.01 * 16384);
}

// Reset forgets a half-received frame and the resampler's history: what follows converts
// as on a new converter.
TEST(AudioConvertTest, ResetStartsAfresh) {
  const Format format{.channels = 2, .rate = 16000};
  const Bytes data = RawBytes(Samples(3200, 8000));
  auto fresh = Make(format);
  const Samples expected = fresh->Convert(data);

  auto used = Make(format);
  used->Convert(RawBytes(Samples(999, -20000)));
  used->Convert(Bytes{1});  // half a sample of a frame
  used->Reset();
  EXPECT_EQ(used->Convert(data), expected);
}

}  // namespace
}  // namespace telvane::platform
