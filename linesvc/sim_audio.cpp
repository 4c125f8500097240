// The simulated line's sound: the line that tells its call what was heard, and the recorder
// of what the callee heard.
#include "linesvc/sim_audio.h"

#include <cctype>

#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

constexpr uint64_t kRate = platform::kLineSampleRate;

void PutLe(std::ofstream& file, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) file.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

void SimLineAudio::RemoveListener(const SimListener* listener) {
  if (listener_ == listener) listener_ = nullptr;
}

void SimLineAudio::Send(const LinePlay& play, size_t, size_t) {
  if (listener_ != nullptr && listener_->OnPlayStart(play)) return;
  if (log_) {
    log_("audio: buffer of " + std::to_string(play.Size()) +
         " samples not heard (no call connected)");
  }
}

void SimLineAudio::Ended(const LinePlay& play) {
  if (listener_ != nullptr) listener_->OnPlayEnd(play.id);
}

void SimLineAudio::Cut(const LinePlay& play) {
  if (listener_ != nullptr) listener_->OnPlayCut(play.id);
}

bool WavRecorder::Open(const std::string& path) {
  file_.open(path, std::ios::binary | std::ios::trunc);
  if (!file_) return false;
  data_bytes_ = 0;
  file_.write("RIFF", 4);
  PutLe(file_, 36, 4);
  file_.write("WAVEfmt ", 8);
  PutLe(file_, 16, 4);
  PutLe(file_, 1, 2);  // PCM
  PutLe(file_, 1, 2);  // mono
  PutLe(file_, static_cast<uint32_t>(kRate), 4);
  PutLe(file_, static_cast<uint32_t>(kRate * 2), 4);
  PutLe(file_, 2, 2);
  PutLe(file_, 16, 2);
  file_.write("data", 4);
  PutLe(file_, 0, 4);
  file_.flush();
  return static_cast<bool>(file_);
}

void WavRecorder::Append(const int16_t* samples, size_t count) {
  if (!file_.is_open() || count == 0) return;
  file_.seekp(0, std::ios::end);
  for (size_t i = 0; i < count; ++i) PutLe(file_, static_cast<uint16_t>(samples[i]), 2);
  data_bytes_ += static_cast<uint32_t>(count * 2);
  WriteSizes();
}

void WavRecorder::WriteSizes() {
  file_.seekp(4);
  PutLe(file_, 36 + data_bytes_, 4);
  file_.seekp(40);
  PutLe(file_, data_bytes_, 4);
  file_.flush();
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
