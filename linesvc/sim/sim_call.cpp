// The scripted call: progress, outcome, keys, hang-up and line events on the loop, and the
// sound the callee hears.
#include "linesvc/sim/sim_call.h"

#include <utility>

#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

// Modes that go with the progress states (LINEDIALTONEMODE_NORMAL, LINEBUSYMODE_STATION).
constexpr DWORD kDialToneNormal = 0x1;

uint64_t MsToSamples(int64_t ms) {
  return static_cast<uint64_t>(ms) * platform::kLineSampleRate / 1000;
}

}  // namespace

std::string SoundNotHeard(const LinePlay& play) {
  return "audio: buffer of " + std::to_string(play.Size()) +
         " samples not heard (no call connected)";
}

bool IsSimWaveClass(std::string_view device_class) {
  return device_class == "wave/out" || device_class == "wave/in";
}

SimCall::SimCall(const Scenario& scenario, std::string number, const SimCallLine& line,
                 platform::MessageLoop& loop, CallSink& sink, std::string record_path)
    : scenario_(scenario),
      number_(std::move(number)),
      line_(line),
      loop_(loop),
      sink_(sink),
      record_path_(std::move(record_path)),
      steps_(loop) {
  if (line_.audio != nullptr) line_.audio->Connect(*this);
}

SimCall::~SimCall() {
  if (line_.audio != nullptr) line_.audio->Disconnect(*this);
  StopHearing();
}

void SimCall::Start() {
  if (scenario_.outcome == Scenario::Outcome::kFail) {
    sink_.OnEvent("dialling " + number_ + " fails");
    sink_.OnDialResult(scenario_.error);
    return;
  }
  sink_.OnDialResult(0);
  ScheduleProgress();
  ScheduleLineEvents(SimTime::Anchor::kDial);
  ScheduleCallEvents(SimTime::Anchor::kDial);
}

void SimCall::Drop() {
  steps_.CancelAll();
  StopHearing();
  connected_ = false;
  ended_ = true;
  sink_.OnDropResult(0);
  sink_.OnCallState(LINECALLSTATE_IDLE, 0);
}

LONG SimCall::MonitorDigits(DWORD digit_modes) {
  if (digit_modes != 0 && scenario_.refuse_digits) return *scenario_.refuse_digits;
  return 0;
}

LONG SimCall::GetDeviceId(std::string_view device_class, DWORD* id) {
  if (!IsSimWaveClass(device_class)) return LINEERR_INVALDEVICECLASS;
  // The application asks once for each play, so the count says which play is refused.
  if (scenario_.refuse_wave && ++wave_requests_ >= scenario_.refuse_wave_from) {
    return *scenario_.refuse_wave;
  }
  *id = line_.wave_id;
  return 0;
}

void SimCall::State(DWORD state, DWORD mode) {
  if (ended_) return;
  sink_.OnCallState(state, mode);
}

void SimCall::End(DWORD state, DWORD mode) {
  StopHearing();
  connected_ = false;
  State(state, mode);
  ended_ = true;
}

void SimCall::ScheduleProgress() {
  using Outcome = Scenario::Outcome;
  const int64_t wait = scenario_.outcome_ms;
  if (scenario_.outcome == Outcome::kNoDialTone) {
    steps_.PostDelayed(wait,
                       [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE); });
    return;
  }
  steps_.PostDelayed(0, [this] { State(LINECALLSTATE_DIALTONE, kDialToneNormal); });
  steps_.PostDelayed(kSimDialingMs, [this] { State(LINECALLSTATE_DIALING, 0); });
  steps_.PostDelayed(kSimProceedingMs, [this] { State(LINECALLSTATE_PROCEEDING, 0); });
  switch (scenario_.outcome) {
    case Outcome::kBusy:
      steps_.PostDelayed(kSimProceedingMs + wait,
                         [this] { End(LINECALLSTATE_BUSY, kBusyStation); });
      return;
    case Outcome::kUnreachable:
      steps_.PostDelayed(kSimProceedingMs + wait, [this] {
        End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNREACHABLE);
      });
      return;
    default:
      break;
  }
  steps_.PostDelayed(kSimRingbackMs, [this] { State(LINECALLSTATE_RINGBACK, 0); });
  const int64_t end_ms = kSimRingbackMs + wait;
  if (scenario_.outcome == Outcome::kAnswer) {
    steps_.PostDelayed(end_ms, [this] { Answer(); });
  } else if (scenario_.outcome == Outcome::kNoAnswer) {
    steps_.PostDelayed(end_ms,
                       [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER); });
  } else if (scenario_.outcome == Outcome::kReject) {
    steps_.PostDelayed(end_ms,
                       [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_REJECT); });
  }
}

void SimCall::Answer() {
  if (ended_) return;
  connected_ = true;
  StartRecording();
  State(LINECALLSTATE_CONNECTED, 0);
  ScheduleLineEvents(SimTime::Anchor::kAnswer);
  ScheduleCallEvents(SimTime::Anchor::kAnswer);
  ArmHeardEvents();
}

// Keys and the remote hang-up: they happen only while the call is connected.
void SimCall::ScheduleCallEvents(SimTime::Anchor anchor) {
  for (const SimKey& key : scenario_.keys) {
    if (key.at.anchor != anchor) continue;
    const char digit = key.digit;
    steps_.PostDelayed(key.at.ms, [this, digit] { PressKey(digit); });
  }
  if (scenario_.hangup && scenario_.hangup->anchor == anchor) {
    steps_.PostDelayed(scenario_.hangup->ms, [this] { HangUpRemotely(); });
  }
}

void SimCall::PressKey(char digit) {
  if (!connected_) return;
  sink_.OnDigit(digit, {});
}

void SimCall::HangUpRemotely() {
  if (!connected_) return;
  sink_.OnEvent("remote side hangs up");
  End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
}

// Line events happen while the call exists, whatever its state.
void SimCall::ScheduleLineEvents(SimTime::Anchor anchor) {
  if (line_.sink == nullptr) return;
  if (scenario_.out_of_service && scenario_.out_of_service->anchor == anchor) {
    steps_.PostDelayed(scenario_.out_of_service->ms,
                       [this] { line_.sink->OnLineDevState(LINEDEVSTATE_OUTOFSERVICE); });
  }
  if (scenario_.line_close && scenario_.line_close->anchor == anchor) {
    steps_.PostDelayed(scenario_.line_close->ms, [this] {
      StopHearing();
      ended_ = true;
      connected_ = false;
      line_.sink->OnLineClosed();
    });
  }
}

void SimCall::StartRecording() {
  if (record_path_.empty()) return;
  if (recorder_.Open(record_path_)) {
    sink_.OnEvent("audio: recording to " + record_path_);
  } else {
    sink_.OnEvent("audio: cannot record to " + record_path_);
  }
}

void SimCall::ArmHeardEvents() {
  for (const SimKey& key : scenario_.keys) {
    if (key.at.anchor != SimTime::Anchor::kHeard) continue;
    const char digit = key.digit;
    heard_events_.push_back({MsToSamples(key.at.ms), [this, digit] { PressKey(digit); }});
  }
  if (scenario_.hangup && scenario_.hangup->anchor == SimTime::Anchor::kHeard) {
    heard_events_.push_back({MsToSamples(scenario_.hangup->ms), [this] { HangUpRemotely(); }});
  }
}

void SimCall::Send(const LinePlay& play, size_t, size_t) {
  if (!connected_) {
    sink_.OnEvent(SoundNotHeard(play));
    return;
  }
  playing_ = play;
  // Each waiting event whose amount of sound this write reaches happens at the moment
  // that sample is heard, unless the write is cut short before.
  const int64_t now = loop_.NowMs();
  for (size_t i = 0; i < heard_events_.size(); ++i) {
    HeardEvent& event = heard_events_[i];
    if (event.done || event.task != 0 || event.at > heard_ + play.Size()) continue;
    const uint64_t k = event.at > heard_ ? event.at - heard_ : 0;
    event.task = steps_.PostDelayed(play.TimeOf(k) - now, [this, i] {
      HeardEvent& due = heard_events_[i];
      due.task = 0;
      due.done = true;
      due.action();
    });
  }
}

void SimCall::Ended(const LinePlay& play) {
  if (playing_ && playing_->id == play.id) Heard(playing_->Size());
}

void SimCall::Cut(const LinePlay& play) {
  if (playing_ && playing_->id == play.id) Heard(playing_->HeardBy(loop_.NowMs()));
}

// The call ends or the line goes: the rest of the write being played is not heard.
void SimCall::StopHearing() {
  if (playing_) Heard(playing_->HeardBy(loop_.NowMs()));
  recorder_.Close();
}

// The write being played has been heard up to `count` samples and no further.
void SimCall::Heard(uint64_t count) {
  const LinePlay play = *playing_;
  playing_.reset();
  recorder_.Append(play.samples->data(), static_cast<size_t>(count));
  heard_ += count;
  const int64_t from = play.TimeOf(0);
  const int64_t to = play.TimeOf(count);
  std::string text = "audio: buffer of " + std::to_string(play.Size()) + " samples ";
  if (count < play.Size()) text += "cut after " + std::to_string(count) + ", ";
  text += "heard from " + std::to_string(from) + " to " + std::to_string(to) + " ms, ";
  if (!last_heard_end_ms_) {
    text += "first of the call";
  } else if (from == *last_heard_end_ms_) {
    text += "no gap";
  } else {
    text += "after a gap of " + std::to_string(from - *last_heard_end_ms_) + " ms";
  }
  sink_.OnEvent(text);
  last_heard_end_ms_ = to;
  // Events scheduled for sound that was never heard wait for the next write.
  for (HeardEvent& event : heard_events_) {
    if (event.task != 0 && event.at > heard_) {
      steps_.Cancel(event.task);
      event.task = 0;
    }
  }
}

}  // namespace telvane::linesvc
