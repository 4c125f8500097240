// Conversion to the line format through the system's audio compression manager, for the
// formats the end-to-end calls (which play line-format files) never convert.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <span>
#include <vector>

#include "platform/audio_convert.h"

namespace telvane::platform {
namespace {

WAVEFORMATEX PcmFormat(WORD channels, DWORD rate) {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = static_cast<WORD>(channels * 2);
  format.nAvgBytesPerSec = rate * format.nBlockAlign;
  return format;
}

std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// Feeds the bytes in pieces of `piece` bytes, then flushes.
std::vector<int16_t> ConvertInPieces(LineAudioConverter& converter,
                                     const std::vector<uint8_t>& bytes, size_t piece) {
  std::vector<int16_t> out;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const size_t length = std::min(piece, bytes.size() - at);
    const std::vector<int16_t> part = converter.Convert(std::span(bytes).subspan(at, length));
    out.insert(out.end(), part.begin(), part.end());
  }
  const std::vector<int16_t> tail = converter.Flush();
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

int SignChanges(const std::vector<int16_t>& samples) {
  int changes = 0;
  for (size_t i = 1; i < samples.size(); ++i) changes += (samples[i - 1] < 0) != (samples[i] < 0);
  return changes;
}

// Line-format sound comes out as it went in, whatever odd pieces it arrives in.
TEST(Win32AudioConvertTest, LineFormatPassesUnchangedAcrossSplitSamples) {
  const WAVEFORMATEX line = PcmFormat(1, 8000);
  auto converter = LineAudioConverter::Create(&line, 16);
  ASSERT_NE(converter, nullptr);
  std::vector<int16_t> samples(1001);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 37 - 9000);
  EXPECT_EQ(ConvertInPieces(*converter, Bytes(samples), 333), samples);
}

// A second of a 440 Hz tone at 44.1 kHz in stereo, in pieces that split its frames, becomes
// a second of the same tone at the line's rate.
TEST(Win32AudioConvertTest, StereoAt44kBecomesTheSameToneAtTheLineRate) {
  const WAVEFORMATEX cd = PcmFormat(2, 44100);
  ASSERT_TRUE(CanConvert(&cd, 16));
  auto converter = LineAudioConverter::Create(&cd, 16);
  ASSERT_NE(converter, nullptr);
  std::vector<int16_t> frames(2 * 44100);
  for (size_t i = 0; i < 44100; ++i) {
    const auto value = static_cast<int16_t>(
        10000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 44100));
    frames[2 * i] = value;
    frames[2 * i + 1] = value;
  }
  const std::vector<int16_t> line = ConvertInPieces(*converter, Bytes(frames), 4099);
  EXPECT_NEAR(static_cast<double>(line.size()), 8000, 80);
  EXPECT_NEAR(SignChanges(line), 880, 10);
}

// A format no converter of the system knows is refused before anything is opened.
TEST(Win32AudioConvertTest, UnknownFormatIsRefused) {
  WAVEFORMATEX unknown = PcmFormat(1, 8000);
  unknown.wFormatTag = 0x1234;
  EXPECT_FALSE(CanConvert(&unknown, sizeof unknown));
  EXPECT_EQ(LineAudioConverter::Create(&unknown, sizeof unknown), nullptr);
}

}  // namespace
}  // namespace telvane::platform
