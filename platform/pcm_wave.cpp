#include "platform/pcm_wave.h"

#include <fstream>

namespace telvane::platform {

namespace {

constexpr uint16_t kPcm = 1;
constexpr uint16_t kMono = 1;
constexpr uint16_t kBytesPerSample = 2;
// What the RIFF size counts besides the data: "WAVE", the format chunk and the data header.
constexpr uint32_t kHeaderAfterRiffSize = 36;

void PutLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string PcmWaveHeader(uint32_t rate, uint32_t data_bytes) {
  std::string header = "RIFF";
  PutLe(header, kHeaderAfterRiffSize + data_bytes, 4);
  header += "WAVEfmt ";
  PutLe(header, 16, 4);
  PutLe(header, kPcm, 2);
  PutLe(header, kMono, 2);
  PutLe(header, rate, 4);
  PutLe(header, rate * kBytesPerSample, 4);
  PutLe(header, kBytesPerSample, 2);
  PutLe(header, 8 * kBytesPerSample, 2);
  header += "data";
  PutLe(header, data_bytes, 4);
  return header;
}

std::string PcmWaveData(const int16_t* samples, size_t count) {
  std::string data;
  data.reserve(count * kBytesPerSample);
  for (size_t i = 0; i < count; ++i) PutLe(data, static_cast<uint16_t>(samples[i]), 2);
  return data;
}

bool WritePcmWave(const std::filesystem::path& path, uint32_t rate,
                  const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << PcmWaveHeader(rate, static_cast<uint32_t>(samples.size() * kBytesPerSample))
      << PcmWaveData(samples.data(), samples.size());
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace telvane::platform
