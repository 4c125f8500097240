#include "app/call_controller.h"

#include "app/console.h"
#include "platform/errors.h"
#include "platform/message_loop.h"

namespace telvane {

namespace {

constexpr uint16_t kRetryWaitSeconds = 2;
constexpr uint16_t kAttemptsPerDial = 1;
constexpr int64_t kConnectStepMs = 10;
constexpr int64_t kGreetingGapMs = 1000;
constexpr int64_t kAfterFailureMs = 1000;
constexpr const char* kNoKeyPressed = "No key pressed";

platform::MessageLoop& Loop() { return *platform::MessageLoop::Current(); }

bool InMessagePhase(PlayState state) {
  return state == PlayState::kPlayingMessage || state == PlayState::kMessageDone ||
         state == PlayState::kRepeatMessage;
}

}  // namespace

CallController::CallController(LineDevice& device, const CallPlan& plan, DebugWriter debug)
    : device_(device), plan_(plan), debug_(std::move(debug)) {
  // Which key it was changes nothing here; a blank (the line cannot report keys) counts too.
  device_.on_key = [this](char) { HandleKey(); };
  device_.on_wave_report = [this](WaveReport) { WriteDebug("Status: " + StateNumber()); };
  device_.on_fail = [this](const std::string& reason) { HandleFail(reason); };
  device_.on_status = [this](const LineStatus& status) { HandleStatus(status); };
}

CallController::~CallController() {
  device_.on_key = nullptr;
  device_.on_wave_report = nullptr;
  device_.on_fail = nullptr;
  device_.on_status = nullptr;
}

void CallController::WriteDebug(const std::string& message) {
  if (debug_) debug_(message);
}

std::string CallController::StateNumber() const {
  return std::to_string(static_cast<int32_t>(state_));
}

void CallController::Call(const std::string& number) {
  ResultCode = kResultFailed;
  message_started_ = false;
  message_heard_ = false;
  key_pressed_ = false;
  try {
    device_.SetSelectedDevice(plan_.line);
    device_.CheckVoiceSupport();
    device_.SetRetryWait(kRetryWaitSeconds);
    device_.SetMaxAttempts(kAttemptsPerDial);
    device_.Dial(number);
    WaitForConnect();
    if (plan_.after_connect_pause_ms > 0) Loop().Sleep(plan_.after_connect_pause_ms);
    PlaySequence();
  } catch (const Exception& error) {
    try {
      device_.HangUp();
    } catch (const Exception&) {
      // The call is being given up already; the first error is the one to report.
    }
    // Once somebody has heard the message, a failure afterwards (typically the next play
    // of a repeated message after the listener hung up) still counts as completed; an error
    // before the line carried any of the message does not.
    if (!MessageHeard()) {
      ResultCode = kResultFailed;
      ResultText = "Error : " + error.Message();
    } else if (Unacknowledged()) {
      ResultCode = kResultFailed;
      ResultText = kNoKeyPressed;
    } else {
      ResultCode = kResultCompleted;
    }
  }
}

bool CallController::MessageHeard() const {
  if (!InMessagePhase(state_) || !message_started_) return false;
  return message_heard_ || device_.PlayCarriedSound();
}

void CallController::WaitForConnect() {
  // The answer is awaited for the connect time-out, rounded up to whole 10 ms and at least
  // 10 ms.
  const int64_t timeout = plan_.connect_timeout_ms;
  const int64_t steps = timeout <= 0 ? 1 : (timeout + kConnectStepMs - 1) / kConnectStepMs;
  const int64_t deadline = Loop().DeadlineAfter(steps * kConnectStepMs);
  Loop().RunUntil([this] { return device_.CallConnected(); }, deadline);
  // An answer handled only once the time had run out (inside a message that took that
  // long) comes too late as well.
  if (Loop().NowMs() >= deadline) throw Exception("Tapi device is not ready");
}

void CallController::PlaySequence() {
  ResultText.clear();
  greeting_count_ = 0;
  // The message time limit runs on the monotonic clock, so a change of the wall clock
  // (daylight saving, a time sync) cannot cut a call short or stretch it.
  const int64_t start_ms = Loop().NowMs();
  if (plan_.skip_intro) {
    state_ = PlayState::kRepeatMessage;
  } else {
    GreetUntilKey();
  }
  if (!Ended()) PlayMessage(start_ms);

  device_.HangUp();
  if (state_ == PlayState::kCompleted && Unacknowledged()) {
    state_ = PlayState::kFailed;
    ResultText = kNoKeyPressed;
  }
  if (state_ == PlayState::kCompleted) {
    ResultCode = kResultCompleted;
  } else {
    ResultCode = kResultFailed;
    Loop().Sleep(kAfterFailureMs);
  }
}

PlayState CallController::WaitWhile(PlayState state) {
  Loop().RunUntil([this, state] { return state_ != state; }, platform::kNoDeadline);
  return state_;
}

void CallController::GreetUntilKey() {
  state_ = PlayState::kStartGreeting;
  while (state_ == PlayState::kStartGreeting) {
    state_ = PlayState::kPlayingGreeting;
    Loop().Sleep(kGreetingGapMs);
    device_.Play(plan_.greeting_file, [this](const PlayResult&) {
      if (state_ != PlayState::kPlayingGreeting) return;  // a key or the call ended it first
      state_ = PlayState::kGreetingDone;
      WriteDebug("Playing Greeting Done");
    });
    // Until it has played, a key has stopped it, or the call has failed.
    if (WaitWhile(PlayState::kPlayingGreeting) != PlayState::kGreetingDone) return;
    ++greeting_count_;
    state_ = plan_.max_greetings > greeting_count_ ? PlayState::kStartGreeting
                                                   : PlayState::kStartMessage;
    // The played greeting's output reports its close before the gap.
    Loop().RunUntilIdle();
    Loop().Sleep(kGreetingGapMs);
  }
}

void CallController::PlayMessage(int64_t start_ms) {
  // What happened before the first play is handled first: a listener who has hung up
  // already (in the pause after the answer, say) hears nothing.
  Loop().RunUntilIdle();
  if (Ended()) return;
  for (;;) {
    device_.Play(plan_.message_file, [this](const PlayResult& result) {
      // What each play carried is kept: the device knows only its last play.
      if (result.carried_sound) message_heard_ = true;
      if (state_ != PlayState::kPlayingMessage) return;
      state_ = PlayState::kMessageDone;
      WriteDebug("Playing Message Done");
    });
    message_started_ = true;
    state_ = PlayState::kPlayingMessage;
    if (WaitWhile(PlayState::kPlayingMessage) != PlayState::kMessageDone) return;
    if (!plan_.skip_intro || (plan_.require_key && key_pressed_)) {
      state_ = PlayState::kCompleted;
      return;
    }
    if (Loop().NowMs() - start_ms > int64_t{plan_.message_duration_s} * 1000) {
      state_ = PlayState::kFailed;
      ResultText = "Play message duration exceeded";
      return;
    }
    state_ = PlayState::kRepeatMessage;
  }
}

void CallController::HandleKey() {
  WriteDebug("Hit");
  if (state_ == PlayState::kStartGreeting || state_ == PlayState::kPlayingGreeting) {
    // The key has stopped the greeting: the message is next.
    state_ = PlayState::kStartMessage;
    key_pressed_ = true;
  } else if (plan_.skip_intro && InMessagePhase(state_)) {
    key_pressed_ = true;
  }
}

void CallController::HandleFail(const std::string& reason) {
  ResultText = "Tapi failed: " + reason;
  WriteDebug(ResultText);
  state_ = PlayState::kFailed;
}

void CallController::HandleStatus(const LineStatus& status) {
  switch (status.kind) {
    case LineStatus::Kind::kBusy:
      state_ = PlayState::kFailed;
      ResultText = status.text;
      PrintPlainLine("busy");
      break;
    case LineStatus::Kind::kDisconnected:
      // Once the line has carried some of the message somebody heard it, and the hang-up
      // changes nothing; before that (the greeting, with the greeting skipped the wait to
      // start the message, or a message the line held unheard) the call ends as failed.
      if (!MessageHeard() && !Ended()) {
        state_ = PlayState::kFailed;
        if (ResultText.empty()) ResultText = "Disconnected by remote";
      }
      break;
    case LineStatus::Kind::kLineState:
      PrintPlainLine("DevState");
      break;
    case LineStatus::Kind::kOther:
      break;
  }
  WriteDebug("Status : " + status.text);
}

}  // namespace telvane
