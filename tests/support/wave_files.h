// Small RIFF files built chunk by chunk, for the tests and the benchmark, and the reading back
// of the 16-bit 8 kHz mono files the simulated line records.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace telvane::testing_wave {

inline std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

// A chunk with its header and, for an odd size, its pad byte. `claimed` overrides the size
// written in the header (for damaged files).
inline std::string Chunk(const std::string& id, const std::string& data, int64_t claimed = -1) {
  std::string out = id + Le(static_cast<uint32_t>(claimed < 0 ? data.size() : claimed), 4) + data;
  if (data.size() % 2 == 1) out += '\0';
  return out;
}

inline std::string Riff(const std::string& form, const std::string& chunks) {
  return "RIFF" + Le(static_cast<uint32_t>(4 + chunks.size()), 4) + form + chunks;
}

// The 16 bytes of a PCM format block.
inline std::string PcmFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return Le(1, 2) + Le(channels, 2) + Le(rate, 4) + Le(rate * align, 4) + Le(align, 2) +
         Le(bits, 2);
}

inline std::string Samples16(const std::vector<int16_t>& samples) {
  std::string out;
  for (int16_t s : samples) out += Le(static_cast<uint16_t>(s), 2);
  return out;
}

// A recognisable signal: no two neighbouring samples alike, nothing silent.
inline std::vector<int16_t> Ramp(size_t count, int16_t seed = 1) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(((i * 37 + static_cast<size_t>(seed) * 101) % 20000) + 500);
  }
  return samples;
}

inline std::vector<int16_t> Sine(size_t count, double hz, double rate, double amplitude) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate)));
  }
  return samples;
}

// A canonical 16-bit 8 kHz mono file of the samples.
inline std::string LineWave(const std::vector<int16_t>& samples) {
  return Riff("WAVE", Chunk("fmt ", PcmFormat(1, 8000, 16)) + Chunk("data", Samples16(samples)));
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline uint32_t U32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

inline std::vector<int16_t> Samples(const std::string& bytes, size_t at, size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[at + 2 * i]) |
                                      static_cast<uint8_t>(bytes[at + 2 * i + 1]) << 8);
  }
  return samples;
}

// The samples of a recording. Throws (which fails the test) unless it is a 16-bit 8 kHz mono
// PCM file with the canonical 44-byte header whose sizes agree with its length.
inline std::vector<int16_t> ReadRecording(const std::filesystem::path& path) {
  const std::string bytes = ReadFile(path);
  const bool canonical = bytes.size() >= 44 && bytes.compare(0, 4, "RIFF") == 0 &&
                         bytes.compare(8, 8, "WAVEfmt ") == 0 &&
                         bytes.compare(20, 16, PcmFormat(1, 8000, 16)) == 0 &&
                         bytes.compare(36, 4, "data") == 0 && U32(bytes, 4) == bytes.size() - 8 &&
                         U32(bytes, 40) == bytes.size() - 44;
  if (!canonical) throw std::runtime_error(path.string() + " is not a complete line recording");
  return Samples(bytes, 44, (bytes.size() - 44) / 2);
}

// The 16-bit samples of a WAV file's data chunk, found by walking its chunks; throws when it
// has none.
inline std::vector<int16_t> DataChunkSamples(const std::filesystem::path& path) {
  const std::string bytes = ReadFile(path);
  for (size_t at = 12; at + 8 <= bytes.size();
       at += 8 + U32(bytes, at + 4) + (U32(bytes, at + 4) & 1)) {
    if (bytes.compare(at, 4, "data") != 0) continue;
    return Samples(bytes, at + 8, std::min<size_t>(U32(bytes, at + 4), bytes.size() - at - 8) / 2);
  }
  throw std::runtime_error("no data chunk in " + path.string());
}

}  // namespace telvane::testing_wave
