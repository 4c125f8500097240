// The simulated line's wave-output device: sinks paced on the loop's clock, the line that
// tells its call what was heard, and the recorder of what the callee heard.
#include "linesvc/sim_audio.h"

#include <atomic>
#include <cctype>
#include <deque>
#include <optional>
#include <utility>

#include "platform/message_loop.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

constexpr uint64_t kRate = platform::kLineSampleRate;

uint64_t NextPlayId() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

// The timeline of one open of the line's wave-output device. Its scheduled step holds it,
// so sound already handed over plays out even when the sink is let go meanwhile, as a line
// plays what was sent to it; destroying the loop drops the step and the timeline with it.
class SinkTimeline : public std::enable_shared_from_this<SinkTimeline> {
 public:
  SinkTimeline(std::weak_ptr<SimLineAudio> line, platform::MessageLoop& loop)
      : line_(std::move(line)), loop_(loop) {}

  void Write(std::vector<int16_t> samples, std::function<void()> played) {
    queue_.push_back(
        {std::make_shared<const std::vector<int16_t>>(std::move(samples)), std::move(played)});
    if (!current_) StartNext();
  }

  void Reset() {
    std::vector<std::function<void()>> dropped;
    if (current_) {
      loop_.CancelDelayedTask(task_);
      dropped.push_back(std::move(current_->played));
      current_.reset();
      const int64_t now = loop_.NowMs();
      // Whatever comes next starts where the sound was cut.
      base_ms_ = now;
      position_ = 0;
      last_end_ms_ = now;
      if (auto line = line_.lock()) line->PlayCut(play_.id);
    }
    for (Pending& pending : queue_) dropped.push_back(std::move(pending.played));
    queue_.clear();
    // The owner of a callback waits for it whatever becomes of the sink, so these are not
    // tied to the sink's life.
    for (std::function<void()>& played : dropped) {
      if (played) loop_.PostTask(std::move(played));
    }
  }

 private:
  struct Pending {
    std::shared_ptr<const std::vector<int16_t>> samples;
    std::function<void()> played;
  };

  void StartNext() {
    current_ = std::move(queue_.front());
    queue_.pop_front();
    const int64_t now = loop_.NowMs();
    if (last_end_ms_ < 0 || now > last_end_ms_) {
      // Silence since the last write: a new timeline starts now.
      base_ms_ = now;
      position_ = 0;
    }
    play_ = SimPlay{NextPlayId(), current_->samples, base_ms_, position_};
    position_ += play_.Size();
    const int64_t end = play_.TimeOf(play_.Size());
    if (auto line = line_.lock()) line->PlayStarted(play_);
    task_ = loop_.PostDelayedTask(end - now, [self = shared_from_this()] { self->Finish(); });
  }

  void Finish() {
    last_end_ms_ = play_.TimeOf(play_.Size());
    std::function<void()> played = std::move(current_->played);
    current_.reset();
    task_ = 0;
    if (auto line = line_.lock()) line->PlayEnded(play_.id);
    if (!queue_.empty()) StartNext();
    if (played) played();
  }

  std::weak_ptr<SimLineAudio> line_;
  platform::MessageLoop& loop_;
  std::deque<Pending> queue_;
  std::optional<Pending> current_;
  SimPlay play_;
  platform::TaskId task_ = 0;
  int64_t base_ms_ = 0;
  uint64_t position_ = 0;
  int64_t last_end_ms_ = -1;  // when the last write ended; -1 before the first
};

class SimWaveSink final : public platform::WaveSink {
 public:
  SimWaveSink(std::weak_ptr<SimLineAudio> line, platform::MessageLoop& loop)
      : timeline_(std::make_shared<SinkTimeline>(std::move(line), loop)) {}

  void Write(std::vector<int16_t> samples, std::function<void()> played) override {
    timeline_->Write(std::move(samples), std::move(played));
  }
  void Reset() override { timeline_->Reset(); }

 private:
  std::shared_ptr<SinkTimeline> timeline_;
};

void PutLe(std::ofstream& file, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) file.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

int64_t SimPlay::TimeOf(uint64_t k) const {
  const uint64_t position = first_sample + k;
  return base_ms + static_cast<int64_t>((position * 1000 + kRate - 1) / kRate);
}

uint64_t SimPlay::HeardBy(int64_t t) const {
  if (t <= base_ms) return 0;
  const uint64_t position = static_cast<uint64_t>(t - base_ms) * kRate / 1000;
  if (position <= first_sample) return 0;
  return std::min<uint64_t>(position - first_sample, Size());
}

std::shared_ptr<SimLineAudio> SimLineAudio::Create(DWORD wave_id, std::string* error) {
  std::shared_ptr<SimLineAudio> audio(new SimLineAudio(wave_id));
  std::weak_ptr<SimLineAudio> weak = audio;
  const bool registered = platform::RegisterWaveOutDevice(
      wave_id, "sim line wave " + std::to_string(wave_id),
      [weak]() -> std::unique_ptr<platform::WaveSink> {
        platform::MessageLoop* loop = platform::MessageLoop::Current();
        if (loop == nullptr) return nullptr;
        return std::make_unique<SimWaveSink>(weak, *loop);
      });
  if (!registered) {
    *error = "wave device " + std::to_string(wave_id) + " is taken by another line";
    // Nothing was registered, so the destructor must not take the other line's device.
    audio->registered_ = false;
    return nullptr;
  }
  return audio;
}

SimLineAudio::~SimLineAudio() {
  if (registered_) platform::UnregisterWaveOutDevice(wave_id_);
}

void SimLineAudio::RemoveListener(const SimListener* listener) {
  if (listener_ == listener) listener_ = nullptr;
}

void SimLineAudio::PlayStarted(const SimPlay& play) {
  if (listener_ != nullptr && listener_->OnPlayStart(play)) return;
  if (log_) {
    log_("audio: buffer of " + std::to_string(play.Size()) +
         " samples not heard (no call connected)");
  }
}

void SimLineAudio::PlayEnded(uint64_t id) {
  if (listener_ != nullptr) listener_->OnPlayEnd(id);
}

void SimLineAudio::PlayCut(uint64_t id) {
  if (listener_ != nullptr) listener_->OnPlayCut(id);
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
