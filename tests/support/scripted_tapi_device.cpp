#include "tests/support/scripted_tapi_device.h"

#include <algorithm>

#include "platform/errors.h"

namespace telvane::testing {

namespace {
constexpr int64_t kDefaultWaveLength = 2000;
constexpr int32_t kCallStateDialing = 0x10;
constexpr int32_t kCallStateIdle = 0x1;
constexpr int32_t kDisconnectNormal = 0x1;
}  // namespace

ScriptedTapiDevice::ScriptedTapiDevice(std::vector<ScriptedLine> lines)
    : TApdTapiDevice(nullptr, Registration::kStandIn), lines_(std::move(lines)) {
  for (const ScriptedLine& line : lines_) device_list_.push_back(line.name);
}

ScriptedTapiDevice::~ScriptedTapiDevice() {
  if (journal_) journal_->push_back("destroyed");
  CancelScheduled();
  if (play_end_) Loop().CancelDelayedTask(*play_end_);
}

void ScriptedTapiDevice::CheckVoiceSupport() {
  ++voice_checks_;
  const auto line = std::find_if(lines_.begin(), lines_.end(), [this](const ScriptedLine& l) {
    return l.name == SelectedDevice();
  });
  enable_voice_ = line != lines_.end() && line->voice;
  if (!enable_voice_) throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
}

std::function<void()> ScriptedTapiDevice::WhileAlive(std::function<void()> event) {
  return [alive = std::weak_ptr<int>(alive_), event = std::move(event)] {
    if (!alive.expired()) event();
  };
}

void ScriptedTapiDevice::Post(std::function<void()> event) {
  Loop().PostTask(WhileAlive(std::move(event)));
}

void ScriptedTapiDevice::Schedule(int64_t delay_ms, std::function<void()> event) {
  scheduled_.push_back(Loop().PostDelayedTask(delay_ms, WhileAlive(std::move(event))));
}

void ScriptedTapiDevice::CancelScheduled() {
  // Events already queued stay queued, as telephony messages do after a hang-up.
  for (platform::TaskId id : scheduled_) Loop().CancelDelayedTask(id);
  scheduled_.clear();
}

void ScriptedTapiDevice::Status(int32_t state, int32_t param2) {
  if (OnTapiStatus) OnTapiStatus(*this, false, false, 0, kLineCallStateMessage, state, param2, 0);
}

void ScriptedTapiDevice::Dial(const std::string& number) {
  if (ComPort() == nullptr) throw EPortNotAssigned(ecPortNotAssigned);
  if (SelectedDevice().empty()) throw ETapiNoSelect(ecTapiNoSelect);
  if (!scripts_.empty()) {
    current_ = scripts_.front();
    if (scripts_.size() > 1) scripts_.pop_front();
  }
  dialled_.push_back(number);
  call_cancelled_ = false;
  call_placed_ = true;
  call_connected_ = false;
  plays_in_call_ = 0;
  if (current_.refuse_dial) throw ETapiCallUnavail(-13805);
  Schedule(0, [this] { Status(kCallStateDialing, 0); });
  if (current_.connect_after) Schedule(*current_.connect_after, [this] { Connect(); });
  if (current_.busy_after) {
    Schedule(*current_.busy_after, [this] { Status(kCallStateBusy, 0); });
  }
  if (current_.fail_after) {
    Schedule(*current_.fail_after, [this] {
      failure_code_ = current_.fail_code;
      if (current_.fail_with_status) Status(kCallStateDisconnected, current_.fail_code);
      // The failure notice is deferred behind the status that caused it.
      Post([this] {
        if (OnTapiFail) OnTapiFail(*this);
      });
    });
  }
}

void ScriptedTapiDevice::Connect() {
  call_connected_ = true;
  Status(kCallStateConnected, 0);
  Post([this] {
    if (OnTapiConnect) OnTapiConnect(*this);
  });
  if (current_.hangup_after) {
    Schedule(*current_.hangup_after, [this] {
      call_connected_ = false;
      failure_code_ = kDisconnectNormal;
      Status(kCallStateDisconnected, kDisconnectNormal);
    });
  }
  for (const auto& [after, digit] : current_.keys) {
    const char key = digit;
    Schedule(after, [this, key] { RemoteDigit(key); });
  }
}

void ScriptedTapiDevice::RemoteDigit(char digit) {
  if (!call_connected_) return;
  if (playing_) {
    // A key stops a running playback first, or is not reported at all.
    if (!InterruptPlayback()) return;
    StopWaveFile();
  }
  if (OnTapiDTMF) OnTapiDTMF(*this, digit, 0);
}

bool ScriptedTapiDevice::CancelCall() {
  ++cancel_count_;
  if (journal_) journal_->push_back("cancel");
  StopWaveFile();
  call_cancelled_ = true;
  CancelScheduled();
  if (!dialled_.empty()) Schedule(0, [this] { Status(kCallStateIdle, 0); });
  call_connected_ = false;
  return true;
}

void ScriptedTapiDevice::WaveNotify(TWaveMessage msg) {
  Post([this, msg] {
    if (msg == TWaveMessage::waPlayClose) wave_open_ = false;
    if (OnTapiWaveNotify) OnTapiWaveNotify(*this, msg);
  });
}

void ScriptedTapiDevice::PlayWaveFile(const std::string& file_name) {
  if (SelectedDevice().empty()) throw ETapiNoSelect(ecTapiNoSelect);
  const int play = plays_in_call_++;
  if (std::count(current_.failing_plays.begin(), current_.failing_plays.end(), play) > 0 ||
      !call_connected_) {
    throw ETapiWaveFail(ecTapiWaveFail);
  }
  if (wave_open_) {
    // As the real device: a new play waits for the old output to close, and the old
    // play's end is reported inside that wait.
    if (!InterruptPlayback()) return;
    StopWaveFile();
    Loop().RunUntil([this] { return !wave_open_; }, platform::kNoDeadline);
  }
  const auto length = wave_lengths_.find(file_name);
  const int64_t ms = length == wave_lengths_.end() ? kDefaultWaveLength : length->second;
  plays_.push_back(PlayRecord{file_name, Loop().NowMs(), std::nullopt, false});
  playing_ = true;
  wave_open_ = true;
  WaveNotify(TWaveMessage::waPlayOpen);
  play_end_ = Loop().PostDelayedTask(ms, WhileAlive([this] {
                                       play_end_.reset();
                                       FinishPlay(/*stopped=*/false);
                                     }));
}

void ScriptedTapiDevice::FinishPlay(bool stopped) {
  playing_ = false;
  plays_.back().ended_ms = Loop().NowMs();
  plays_.back().stopped = stopped;
  WaveNotify(TWaveMessage::waPlayDone);
  WaveNotify(TWaveMessage::waPlayClose);
}

void ScriptedTapiDevice::StopWaveFile() {
  if (!playing_) return;
  if (play_end_) Loop().CancelDelayedTask(*play_end_);
  play_end_.reset();
  FinishPlay(/*stopped=*/true);
}

}  // namespace telvane::testing
