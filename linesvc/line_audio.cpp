// The line-audio timeline: writes queued, handed to the driver's output at their pace, and
// reported played when their last sample has been heard.
#include "linesvc/line_audio.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "platform/text.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

constexpr uint64_t kRate = platform::kLineSampleRate;

uint64_t NextPlayId() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

}  // namespace

// The timeline of one open of a line's wave device. Its one scheduled step holds it, so sound
// already handed over plays out when the sink is let go meanwhile; destroying the loop drops
// the step and the timeline with it. That is why the step is the loop's own delayed task and
// not a timer member: a member would cancel its task from inside the loop's destruction.
// While the line does not carry sound nothing is scheduled: the timeline stands still, held
// by its sink alone.
class LineTimeline : public std::enable_shared_from_this<LineTimeline> {
 public:
  // A timeline for one open, known to the output so that it can go on when the line carries
  // sound.
  static std::shared_ptr<LineTimeline> Create(const std::weak_ptr<LineAudioOutput>& output,
                                              LinePacing pacing, platform::MessageLoop& loop) {
    auto timeline = std::make_shared<LineTimeline>(output, pacing, loop);
    if (auto owner = output.lock()) {
      std::erase_if(owner->timelines_, [](const auto& entry) { return entry.expired(); });
      owner->timelines_.push_back(timeline);
    }
    return timeline;
  }

  LineTimeline(std::weak_ptr<LineAudioOutput> output, LinePacing pacing,
               platform::MessageLoop& loop)
      : output_(std::move(output)), pacing_(pacing), loop_(loop) {}

  void Write(std::vector<int16_t> samples, std::function<void()> played) {
    // Sound ahead is placed as it comes: silence since the last sound starts a new timeline.
    if (!standing_ && !Whole() && queue_.empty()) RestartAfterSilence();
    LinePlay play;
    play.id = NextPlayId();
    play.samples = std::make_shared<const std::vector<int16_t>>(std::move(samples));
    queue_.push_back({std::move(play), 0, std::move(played)});
    if (standing_) return;  // nothing more goes to a line that does not carry it yet
    if (Whole()) {
      if (handed_.empty()) HandOverWhole();
    } else if (queue_.size() == 1) {
      const int64_t now = loop_.NowMs();
      Tick();
      StandStillOrSchedule(now);
    }
  }

  void Reset() {
    CancelWake();
    standing_ = false;
    std::optional<LinePlay> cut;
    if (!handed_.empty()) {
      cut = handed_.front().play;
    } else if (!queue_.empty() && queue_.front().sent > 0) {
      cut = queue_.front().play;
    }
    std::vector<std::function<void()>> dropped;
    for (Queued& write : handed_) dropped.push_back(std::move(write.played));
    for (Queued& write : queue_) dropped.push_back(std::move(write.played));
    handed_.clear();
    queue_.clear();
    // Whatever comes next starts where the sound was cut, and counts from nothing heard.
    Restart(loop_.NowMs());
    heard_before_ = 0;
    if (cut) {
      if (auto output = output_.lock()) output->Cut(*cut);
    }
    // The owner of a callback waits for it whatever becomes of the sink, so these are not
    // tied to the timeline's life.
    for (std::function<void()>& played : dropped) {
      if (played) loop_.PostTask(std::move(played));
    }
  }

  // How many samples written since the last reset have been heard by now; nothing counts
  // while the timeline stands still.
  uint64_t SamplesHeard() const {
    const int64_t now = standing_ ? stood_at_ms_ : loop_.NowMs();
    const uint64_t elapsed =
        now > base_ms_ ? static_cast<uint64_t>(now - base_ms_) * kRate / 1000 : 0;
    return heard_before_ + std::min(elapsed, position_);
  }

  // The line carries sound from now on: a timeline standing still goes on from here, as if
  // it had been started now, and everything placed on it moves by the time it stood.
  void GoOn() {
    if (!standing_) return;
    standing_ = false;
    const int64_t stood_ms = loop_.NowMs() - stood_at_ms_;
    base_ms_ += stood_ms;
    next_tick_ms_ += stood_ms;
    for (Queued& write : handed_) write.play.base_ms += stood_ms;
    for (Queued& write : queue_) {
      if (write.sent > 0) write.play.base_ms += stood_ms;
    }
    Schedule();
  }

 private:
  struct Queued {
    LinePlay play;
    size_t sent = 0;  // samples handed to the output
    std::function<void()> played;
  };

  bool Whole() const { return pacing_.handover == LinePacing::Handover::kWholeWrite; }

  // An output that is gone takes nothing anywhere, so there is nothing to hold sound for.
  bool LineCarriesSound() const {
    const std::shared_ptr<LineAudioOutput> output = output_.lock();
    return !output || output->CarriesSound();
  }

  // When the last sample handed over is heard.
  int64_t EndMs() const {
    return base_ms_ + static_cast<int64_t>((position_ * 1000 + kRate - 1) / kRate);
  }

  void Restart(int64_t now) {
    base_ms_ = now;
    position_ = 0;
  }

  void RestartAfterSilence() {
    const int64_t now = loop_.NowMs();
    if (now <= EndMs()) return;
    heard_before_ += position_;  // all heard by now
    Restart(now);
  }

  // Places the write's first samples at the end of the timeline.
  void Place(Queued& write) {
    write.play.base_ms = base_ms_;
    write.play.first_sample = position_;
  }

  // Whole writes: the next one starts being heard now.
  void HandOverWhole() {
    const int64_t now = loop_.NowMs();
    RestartAfterSilence();
    Queued& write = queue_.front();
    Place(write);
    position_ += write.play.Size();
    write.sent = write.play.Size();
    handed_.push_back(std::move(write));
    queue_.pop_front();
    const LinePlay& play = handed_.back().play;
    if (auto output = output_.lock()) {
      output->Send(play, 0, play.Size());
      if (queue_.empty()) output->RunsDry();
    }
    StandStillOrSchedule(now);
  }

  // Sound ahead: hands over what is to be heard within the lead.
  void Tick() {
    const int64_t now = loop_.NowMs();
    next_tick_ms_ = now + pacing_.step_ms;
    const uint64_t due = static_cast<uint64_t>(now - base_ms_ + pacing_.lead_ms) * kRate / 1000;
    while (!queue_.empty()) {
      Queued& write = queue_.front();
      if (write.sent == 0) Place(write);
      const size_t left = write.play.Size() - write.sent;
      const size_t room = due > position_ ? static_cast<size_t>(due - position_) : 0;
      const size_t count = std::min(left, room);
      if (count > 0) {
        if (auto output = output_.lock()) output->Send(write.play, write.sent, count);
      }
      write.sent += count;
      position_ += count;
      if (write.sent < write.play.Size()) break;
      handed_.push_back(std::move(write));
      queue_.pop_front();
      if (queue_.empty()) {
        if (auto output = output_.lock()) output->RunsDry();
      }
    }
  }

  // The write being heard has been heard to its end.
  void Finish() {
    Queued write = std::move(handed_.front());
    handed_.pop_front();
    if (auto output = output_.lock()) output->Ended(write.play);
    if (Whole() && !queue_.empty()) HandOverWhole();
    if (write.played) write.played();
  }

  void Wake() {
    wake_ = 0;
    const int64_t now = loop_.NowMs();
    if (!LineCarriesSound()) {
      // The line has stopped taking sound: what is due now may be what makes it start again.
      if (!Whole() && !queue_.empty() && next_tick_ms_ <= now) Tick();
      StandStill(now);
      return;
    }
    if (!handed_.empty() && EndOf(handed_.front()) <= now) Finish();
    // A write made from inside the played callback may have found the line not carrying.
    if (standing_) return;
    if (!Whole() && !queue_.empty() && next_tick_ms_ <= now) Tick();
    Schedule();
  }

  static int64_t EndOf(const Queued& write) { return write.play.TimeOf(write.play.Size()); }

  // After a hand-over begun at `began_ms`: the line that does not carry sound gets nothing
  // more until it does.
  void StandStillOrSchedule(int64_t began_ms) {
    if (LineCarriesSound()) {
      Schedule();
    } else {
      StandStill(began_ms);
    }
  }

  // The clock stands at `at_ms`, when the step that found the line not carrying began: the
  // time the hand-over itself took (a modem's command written to its port) is not heard.
  void StandStill(int64_t at_ms) {
    CancelWake();
    if (standing_) return;
    standing_ = true;
    stood_at_ms_ = at_ms;
  }

  // Keeps one step scheduled, for the next end of a write or the next hand-over.
  void Schedule() {
    if (standing_) return;
    std::optional<int64_t> due;
    if (!handed_.empty()) due = EndOf(handed_.front());
    if (!Whole() && !queue_.empty()) due = std::min(due.value_or(next_tick_ms_), next_tick_ms_);
    if (wake_ != 0 && due == wake_due_) return;
    CancelWake();
    if (!due) return;
    wake_due_ = *due;
    wake_ = loop_.PostDelayedTask(std::max<int64_t>(0, *due - loop_.NowMs()),
                                  [self = shared_from_this()] { self->Wake(); });
  }

  void CancelWake() {
    if (wake_ != 0) loop_.CancelDelayedTask(wake_);
    wake_ = 0;
  }

  const std::weak_ptr<LineAudioOutput> output_;
  const LinePacing pacing_;
  platform::MessageLoop& loop_;
  std::deque<Queued> queue_;   // not yet handed over whole; the first perhaps in part
  std::deque<Queued> handed_;  // handed over, not yet heard to the end
  int64_t base_ms_ = 0;
  uint64_t position_ = 0;      // samples handed over since base_ms_
  uint64_t heard_before_ = 0;  // samples heard before base_ms_, since the last reset
  int64_t next_tick_ms_ = 0;
  platform::TaskId wake_ = 0;
  int64_t wake_due_ = 0;
  bool standing_ = false;    // the line does not carry sound yet: the clock stands still
  int64_t stood_at_ms_ = 0;  // since when
};

namespace {

class LineAudioSink final : public platform::WaveSink {
 public:
  explicit LineAudioSink(std::shared_ptr<LineTimeline> timeline) : timeline_(std::move(timeline)) {}
  void Write(std::vector<int16_t> samples, std::function<void()> played) override {
    timeline_->Write(std::move(samples), std::move(played));
  }
  void Reset() override { timeline_->Reset(); }
  uint64_t SamplesHeard() const override { return timeline_->SamplesHeard(); }

 private:
  std::shared_ptr<LineTimeline> timeline_;
};

}  // namespace

void LineAudioOutput::NowCarriesSound() {
  for (const std::weak_ptr<LineTimeline>& entry : timelines_) {
    if (auto timeline = entry.lock()) timeline->GoOn();
  }
}

void LineAudioPath::Send(const LinePlay& play, size_t from, size_t count) {
  if (call_ != nullptr) {
    call_->Send(play, from, count);
  } else if (unheard_) {
    unheard_(play);
  }
}

void LineAudioPath::Ended(const LinePlay& play) {
  if (call_ != nullptr) call_->Ended(play);
}

void LineAudioPath::RunsDry() {
  if (call_ != nullptr) call_->RunsDry();
}

void LineAudioPath::Cut(const LinePlay& play) {
  if (call_ != nullptr) call_->Cut(play);
}

bool LineAudioPath::CarriesSound() const { return call_ == nullptr || call_->CarriesSound(); }

int64_t LinePlay::TimeOf(uint64_t k) const {
  const uint64_t position = first_sample + k;
  return base_ms + static_cast<int64_t>((position * 1000 + kRate - 1) / kRate);
}

uint64_t LinePlay::HeardBy(int64_t t) const {
  if (t <= base_ms) return 0;
  const uint64_t position = static_cast<uint64_t>(t - base_ms) * kRate / 1000;
  if (position <= first_sample) return 0;
  return std::min<uint64_t>(position - first_sample, Size());
}

bool ParseWaveId(std::string_view text, DWORD* id, std::string* error) {
  constexpr int64_t kDefaultOutput = WAVE_MAPPER;
  int64_t value = 0;
  if (platform::ParseInteger(text, 0, kDefaultOutput - 1, &value)) {
    *id = static_cast<DWORD>(value);
    return true;
  }
  if (platform::ParseInteger(text, kDefaultOutput, kDefaultOutput, &value)) {
    *error = "wave " + std::string(text) +
             " is the number of the default sound output, not of a line's wave device";
  } else {
    *error = "wave takes a device number from 0 to " + std::to_string(kDefaultOutput - 1) +
             ", not '" + std::string(text) + "'";
  }
  return false;
}

std::unique_ptr<LineAudioDevice> LineAudioDevice::Register(DWORD wave_id, const std::string& name,
                                                           LinePacing pacing,
                                                           std::weak_ptr<LineAudioOutput> output,
                                                           std::string* error) {
  const bool registered = platform::RegisterWaveOutDevice(
      wave_id, name, [output, pacing]() -> std::unique_ptr<platform::WaveSink> {
        platform::MessageLoop* loop = platform::MessageLoop::Current();
        if (loop == nullptr) return nullptr;
        return std::make_unique<LineAudioSink>(LineTimeline::Create(output, pacing, *loop));
      });
  if (!registered) {
    *error = "wave device " + std::to_string(wave_id) + " is taken by another line";
    return nullptr;
  }
  return std::unique_ptr<LineAudioDevice>(new LineAudioDevice(wave_id));
}

LineAudioDevice::~LineAudioDevice() { platform::UnregisterWaveOutDevice(wave_id_); }

}  // namespace telvane::linesvc
