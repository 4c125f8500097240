#include "app/call_controller.h"

#include "app/console.h"
#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/os.h"
#include "platform/text.h"

namespace telvane {

namespace {

constexpr uint16_t kRetryWaitSeconds = 2;
constexpr uint16_t kAttemptsPerDial = 1;
constexpr int64_t kConnectPassMs = 10;
constexpr int64_t kGreetingGapMs = 1000;
constexpr int64_t kAfterFailureMs = 1000;
constexpr int64_t kBeforeRedialMs = 1000;
constexpr const char* kNoKeyPressed = "No key pressed";

platform::MessageLoop& Loop() { return *platform::MessageLoop::Current(); }

bool InMessagePhase(int32_t state) {
  return state == psPlayingMessage || state == psMessageDone || state == psRepeatMessage;
}

}  // namespace

CallController::CallController(LineDevice& device, const CallPlan& plan, DebugWriter debug)
    : device_(device), plan_(plan), debug_(std::move(debug)) {
  device_.on_connect = [this] { HandleConnect(); };
  device_.on_key = [this](char key) { HandleKey(key); };
  device_.on_wave_report = [this](WaveReport) { HandleWaveReport(); };
  device_.on_fail = [this](const std::string& reason) { HandleFail(reason); };
  device_.on_status = [this](const LineStatus& status) { HandleStatus(status); };
}

CallController::~CallController() {
  device_.on_connect = nullptr;
  device_.on_key = nullptr;
  device_.on_wave_report = nullptr;
  device_.on_fail = nullptr;
  device_.on_status = nullptr;
}

void CallController::WriteDebug(const std::string& message) {
  if (debug_) debug_(message);
}

bool CallController::PumpMessage() { return Loop().PumpOne(); }

void CallController::Call(const std::string& number) {
  ResultCode = kResultFailed;
  message_started_ = false;
  message_heard_ = false;
  key_pressed_ = false;
  try {
    if (connected_ && !device_.CallCancelled()) {
      device_.HangUp();
      connected_ = false;
      Loop().Sleep(kBeforeRedialMs);
    }
    // A connect left over from a call that was given up belongs to that call: this call
    // is connected only by its own answer.
    connected_ = false;
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
    connected_ = false;
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
  // The answer is awaited in passes of 10 ms, at least one, each handling at most one
  // message. Rather than sleeping through each pass, the thread blocks on its queue until a
  // message arrives or the last pass ends, so a long wait costs no CPU.
  const int64_t timeout = plan_.connect_timeout_ms;
  const int64_t passes = timeout <= 0 ? 1 : (timeout + kConnectPassMs - 1) / kConnectPassMs;
  const int64_t deadline = Loop().DeadlineAfter(passes * kConnectPassMs);
  Loop().RunUntil([this] { return connected_; }, deadline);
  // An answer handled only once the time had run out (inside a message that took that
  // long) comes too late as well.
  if (Loop().NowMs() >= deadline) throw Exception("Tapi device is not ready");
}

void CallController::PlaySequence() {
  state_ = plan_.skip_intro ? psRepeatMessage : psStartGreeting;
  ResultText.clear();
  greeting_count_ = 0;
  // The message time limit runs on the monotonic clock, so a change of the wall clock
  // (daylight saving, a time sync) cannot cut a call short or stretch it.
  const int64_t start_ms = Loop().NowMs();

  while (state_ != psCompleted && state_ != psFailed) {
    if (device_.CallCancelled()) {
      state_ = psFailed;
      ResultText = "Call interrupted by remote";
    }
    RunStateAction(start_ms);
  }

  device_.HangUp();
  if (state_ == psCompleted && Unacknowledged()) {
    state_ = psFailed;
    ResultText = kNoKeyPressed;
  }
  if (state_ == psCompleted) {
    ResultCode = kResultCompleted;
  } else {
    ResultCode = kResultFailed;
    Loop().Sleep(kAfterFailureMs);
  }
  connected_ = false;
}

void CallController::RunStateAction(int64_t start_ms) {
  switch (state_) {
    case psStartGreeting:
      state_ = psPlayingGreeting;
      Loop().Sleep(kGreetingGapMs);
      device_.Play(plan_.greeting_file,
                   [this](const PlayResult& result) { HandlePlayEnd(result); });
      PumpMessage();
      break;
    case psPlayingGreeting:
    case psPlayingMessage:
      // Only an event can move these states on: block until one is queued, then handle it.
      Loop().WaitForMessage(platform::kInfinite);
      PumpMessage();
      break;
    case psGreetingDone:
      ++greeting_count_;
      state_ = plan_.max_greetings > greeting_count_ ? psStartGreeting : psStartMessage;
      PumpMessage();
      Loop().Sleep(kGreetingGapMs);
      break;
    case psStartMessage:
    case psRepeatMessage:
      // What happened before the first play is handled first, a message a pass: a listener
      // who has hung up already (in the pause after the answer, say) hears nothing.
      if (!message_started_ && PumpMessage()) break;
      // The device knows only its last play: what the plays before this one carried is kept.
      message_heard_ = MessageHeard();
      device_.Play(plan_.message_file, [this](const PlayResult& result) { HandlePlayEnd(result); });
      message_started_ = true;
      state_ = psPlayingMessage;
      break;
    case psMessageDone:
      if (!plan_.skip_intro || (plan_.require_key && key_pressed_)) {
        state_ = psCompleted;
      } else if (Loop().NowMs() - start_ms > int64_t{plan_.message_duration_s} * 1000) {
        state_ = psFailed;
        ResultText = "Play message duration exceeded";
      } else {
        state_ = psRepeatMessage;
      }
      break;
    default:
      break;
  }
}

void CallController::HandleConnect() { connected_ = true; }

void CallController::HandleKey(char /*key*/) {
  WriteDebug("Hit");
  if (state_ == psStartGreeting || state_ == psPlayingGreeting) {
    // The key has stopped the greeting: the message is next.
    state_ = psStartMessage;
    key_pressed_ = true;
  } else if (plan_.skip_intro && InMessagePhase(state_)) {
    key_pressed_ = true;
  }
}

void CallController::HandleWaveReport() {
  WriteDebug("Status: " + std::to_string(state_));
  if (!connected_) {
    state_ = psFailed;
    ResultText = "Call disconnected";
  }
}

void CallController::HandlePlayEnd(const PlayResult& /*result*/) {
  if (state_ == psPlayingGreeting) {
    state_ = psGreetingDone;
    WriteDebug("Playing Greeting Done");
  } else if (state_ == psPlayingMessage) {
    state_ = psMessageDone;
    WriteDebug("Playing Message Done");
  }
}

void CallController::HandleFail(const std::string& reason) {
  ResultText = "Tapi failed: " + reason;
  WriteDebug(ResultText);
  state_ = psFailed;
}

void CallController::HandleStatus(const LineStatus& status) {
  switch (status.kind) {
    case LineStatus::Kind::kBusy:
      state_ = psFailed;
      ResultText = status.text;
      PrintPlainLine("busy");
      break;
    case LineStatus::Kind::kDisconnected:
      // Once the line has carried some of the message somebody heard it, and the hang-up
      // changes nothing; before that (the greeting, with the greeting skipped the wait to
      // start the message, or a message the line held unheard) the call ends as failed.
      if (!MessageHeard() && state_ != psCompleted && state_ != psFailed) {
        state_ = psFailed;
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
