// The recorder of what the callee of a simulated line heard.
#include "linesvc/sim/sim_audio.h"

#include <cctype>

#include "platform/pcm_wave.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

constexpr uint64_t kRate = platform::kLineSampleRate;

}  // namespace

bool WavRecorder::Open(const std::string& path) {
  file_.open(path, std::ios::binary | std::ios::trunc);
  if (!file_) return false;
  data_bytes_ = 0;
  file_ << platform::PcmWaveHeader(static_cast<uint32_t>(kRate), 0) << std::flush;
  return static_cast<bool>(file_);
}

void WavRecorder::Append(const int16_t* samples, size_t count) {
  if (!file_.is_open() || count == 0) return;
  file_.seekp(0, std::ios::end);
  file_ << platform::PcmWaveData(samples, count);
  data_bytes_ += static_cast<uint32_t>(count * 2);
  // The sizes in the header are kept right after every append, so the file is whole even
  // when the run is killed mid-call.
  file_.seekp(0);
  file_ << platform::PcmWaveHeader(static_cast<uint32_t>(kRate), data_bytes_) << std::flush;
}

std::string RecordPath(const std::string& pattern, const std::string& number, uint64_t call) {
  std::string path;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 == pattern.size()) {
      path += c;
      continue;
    }
    const char code = pattern[++i];
    if (code == 'n') {
      for (char d : number) {
        const bool keep =
            std::isalnum(static_cast<unsigned char>(d)) || d == '*' || d == '#' || d == '+';
        path += keep ? d : '_';
      }
    } else if (code == 'c') {
      path += std::to_string(call);
    } else if (code == '%') {
      path += '%';
    } else {
      path += '%';
      path += code;
    }
  }
  return path;
}

}  // namespace telvane::linesvc
