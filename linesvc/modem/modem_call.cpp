// The modem call: set-up, dialling, what the modem reports, and the hang-up.
#include "linesvc/modem/modem_call.h"

#include <algorithm>
#include <utility>

namespace telvane::linesvc {

ModemCall::ModemCall(ModemLine& line, std::string dial, platform::MessageLoop& loop, CallSink& sink)
    : line_(line),
      dial_(std::move(dial)),
      sink_(sink),
      dialogue_(loop, sink, [&line] { return line.Port(); }),
      sound_(
          *this, dialogue_, loop, sink, [&line] { return line.Port(); }, line.Caps(),
          line.Settings().command_timeout_ms) {
  line_.SetCall(this);
  line_.Audio().Connect(*this);
}

ModemCall::~ModemCall() {
  line_.Audio().Disconnect(*this);
  line_.SetCall(nullptr);
  if (phase_ == Phase::kIdle) return;
  // Hang up at once, without waiting for answers: leave the sound, then DTR down, then ATH0.
  if (SerialPort* port = Port()) {
    port->Write(std::string("\0", 1) + kDle + kCan + kDle + kEtx);
    port->PulseDtr();
    port->Write("ATH0\r");
  }
}

LONG ModemCall::GetDeviceId(std::string_view device_class, DWORD* id) {
  return line_.GetDeviceId(device_class, id);
}

bool ModemCall::Resume() {
  if (!drop_requested_) return true;
  HangUp();
  return false;
}

// Sound that cannot reach the callee makes the call worthless: it ends as the line failing,
// so the application does not count it as heard.
void ModemCall::CannotCarrySound(const std::string& why) {
  End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, why);
}

void ModemCall::OnLine(const std::string& line) {
  const ModemResult result = ClassifyLine(line);
  if (dialogue_.OnResult(line, result)) return;
  if (result == ModemResult::kRinging && phase_ == Phase::kDialing && !ringback_) {
    ringback_ = true;
    State(LINECALLSTATE_RINGBACK, 0);
  }
}

void ModemCall::OnModemEvent(char event) {
  switch (phase_) {
    case Phase::kDialing:
      if (event == 'r' && !ringback_) {
        ringback_ = true;
        State(LINECALLSTATE_RINGBACK, 0);
      } else if (event == 'b' || event == 'K') {
        sink_.OnEvent(std::string("modem: busy tone (DLE ") + event + ")");
        End(LINECALLSTATE_BUSY, kBusyStation, "busy");
      }
      return;
    case Phase::kConnected:
      if (const std::optional<char> digit = digits_.OnEvent(event)) {
        sink_.OnDigit(*digit, {});
      } else if (event == 'l' || event == 'b' || event == 'K') {
        // Loop current gone, or the exchange's busy tone after the answer: the other side
        // has hung up.
        End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL,
            std::string("remote side hangs up (DLE ") + event + ")");
      }
      return;
    default:
      return;
  }
}

void ModemCall::OnPortGone(const std::string& reason) {
  sound_.OnPortGone();
  if (phase_ == Phase::kSetup || phase_ == Phase::kDialing || phase_ == Phase::kConnected) {
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, "the modem is gone: " + reason);
  }
  dialogue_.OnPortGone();
}

void ModemCall::State(DWORD state, DWORD mode) { sink_.OnCallState(state, mode); }

void ModemCall::End(DWORD state, DWORD mode, const std::string& why) {
  if (phase_ != Phase::kSetup && phase_ != Phase::kDialing && phase_ != Phase::kConnected) return;
  sink_.OnEvent("call ends: " + why);
  phase_ = Phase::kEnded;
  State(state, mode);
}

void ModemCall::Start() {
  std::string reason;
  const LONG opened = line_.ReopenPort(&reason);
  sink_.OnDialResult(0);
  if (opened != 0) {
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, "no modem: " + reason);
    return;
  }
  setup_ = SetupSteps();
  RunSetup(0);
}

std::vector<ModemCall::Step> ModemCall::SetupSteps() const {
  const ModemSettings& settings = line_.Settings();
  const ModemCaps& caps = line_.Caps();
  const auto command = [](std::string text, bool required = true) {
    return Step{{{std::move(text)}}, required};
  };
  // X4 so BUSY and NO DIALTONE are told; &D2 so dropping DTR hangs up.
  std::vector<Step> steps = {command("ATZ"), command("ATE0V1Q0X4&D2")};
  if (!settings.init.empty()) steps.push_back(command(settings.init));
  // The line's 8000 Hz if the modem takes it, else the rate it does take (the sound is then
  // converted to it).
  Step rate;
  if (caps.set == CommandSet::kHash) {
    steps.push_back(command("AT#CLS=8"));
    steps.push_back(command("AT#VTD=3F,3F,3F", false));  // DLE reports on
    steps.push_back(command("AT#VBS=8"));
    for (int hz : RatesToTry(caps.codec))
      rate.tries.push_back({"AT#VSR=" + std::to_string(hz), hz});
    rate.required = false;  // a modem without #VSR plays at the rate it has
    steps.push_back(std::move(rate));
    if (settings.vrn) steps.push_back(command("AT#VRN=" + std::to_string(*settings.vrn), false));
    steps.push_back(command("AT#VLS=0", false));  // the telephone line on this set
    return steps;
  }
  const std::string cml = std::to_string(caps.codec.cml);
  steps.push_back(command("AT+FCLASS=8"));
  // Some modems forget every voice setting on entering voice mode, so all follow it.
  for (int hz : RatesToTry(caps.codec)) {
    const std::string vsm = "AT+VSM=" + cml + "," + std::to_string(hz);
    rate.tries.push_back({vsm, hz});
    rate.tries.push_back({vsm + ",0,0", hz});
  }
  steps.push_back(std::move(rate));
  steps.push_back(command("AT+VIT=0", false));
  if (settings.vra) steps.push_back(command("AT+VRA=" + std::to_string(*settings.vra), false));
  if (settings.vrn) steps.push_back(command("AT+VRN=" + std::to_string(*settings.vrn), false));
  steps.push_back(command("AT+IFC=2,2", false));
  steps.push_back(command("AT+VLS=0", false));
  return steps;
}

void ModemCall::RunSetup(size_t index) {
  if (drop_requested_) return HangUp();
  if (index == setup_.size()) return Dial();
  RunSetupTry(index, 0);
}

void ModemCall::RunSetupTry(size_t index, size_t attempt) {
  const Step::Try& tried = setup_[index].tries[attempt];
  const int timeout = index == 0 ? std::max(line_.Settings().command_timeout_ms, 5000)
                                 : line_.Settings().command_timeout_ms;
  dialogue_.Command(tried.command, timeout,
                    [this, index, attempt](std::optional<ModemResult> result) {
                      if (drop_requested_) return HangUp();
                      const Step& step = setup_[index];
                      const Step::Try& answered = step.tries[attempt];
                      if (result == ModemResult::kOk) {
                        if (answered.rate != 0) sound_.SetRate(answered.rate);
                        return RunSetup(index + 1);
                      }
                      if (result == ModemResult::kError && attempt + 1 < step.tries.size()) {
                        return RunSetupTry(index, attempt + 1);
                      }
                      if (!step.required) return RunSetup(index + 1);
                      End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL,
                          result ? "the modem refuses " + answered.command
                                 : "the modem does not answer " + answered.command);
                    });
}

void ModemCall::Dial() {
  const ModemSettings& settings = line_.Settings();
  phase_ = Phase::kDialing;
  const std::string command = std::string("ATD") + settings.dial_mode + dial_;
  State(LINECALLSTATE_DIALING, 0);
  dialogue_.Command(command, settings.dial_timeout_ms,
                    [this](std::optional<ModemResult> result) { OnDialAnswer(result); });
}

void ModemCall::OnDialAnswer(std::optional<ModemResult> result) {
  if (drop_requested_) return HangUp();
  if (phase_ != Phase::kDialing) return;  // ended meanwhile (busy tone, port gone)
  if (!result) {
    if (SerialPort* port = Port()) port->Write("\r");  // any character stops the dialling
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER, "no answer in time");
    return;
  }
  switch (*result) {
    case ModemResult::kOk:
    case ModemResult::kVcon:
      // The modem's guess from the ringback: the line may be answered (the greeting asks for
      // a key, which tells for sure).
      phase_ = Phase::kConnected;
      sink_.OnEvent("call connected");
      State(LINECALLSTATE_CONNECTED, 0);
      return;
    case ModemResult::kBusy:
      End(LINECALLSTATE_BUSY, kBusyStation, "busy");
      return;
    case ModemResult::kNoDialTone:
      End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE, "no dial tone");
      return;
    case ModemResult::kNoAnswer:
    case ModemResult::kNoCarrier:
      End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER, "no answer");
      return;
    default:
      End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, "the modem failed the dial");
      return;
  }
}

void ModemCall::Drop() {
  if (drop_requested_) return;
  drop_requested_ = true;
  sink_.OnEvent("hanging up");
  if (dialogue_.Busy()) {
    // A dial in progress stops at any character, and the modem answers at once; one that
    // does not is not waited for longer than any command. Other commands are answered soon.
    if (dialogue_.Waiting("ATD")) {
      if (SerialPort* port = Port()) port->Write("\r");
      dialogue_.Hasten(line_.Settings().command_timeout_ms);
    }
    return;  // the answer continues with HangUp
  }
  HangUp();
}

void ModemCall::HangUp() {
  if (phase_ == Phase::kHangingUp || phase_ == Phase::kIdle) return;
  phase_ = Phase::kHangingUp;
  if (Port() == nullptr) return FinishDrop();
  sound_.End([this] { HangUpSteps(0); });
}

void ModemCall::HangUpSteps(size_t index) {
  const bool hash = line_.Caps().set == CommandSet::kHash;
  const std::vector<std::string> steps = {"ATH0", hash ? "ATZ" : "AT+FCLASS=0"};
  if (index == steps.size() || Port() == nullptr) return FinishDrop();
  dialogue_.Command(steps[index], line_.Settings().command_timeout_ms,
                    [this, index](std::optional<ModemResult> result) {
                      if (!result && index == 0) {
                        // The modem does not answer: DTR makes it hang up all the same.
                        if (SerialPort* port = Port()) port->PulseDtr();
                        return FinishDrop();
                      }
                      HangUpSteps(index + 1);
                    });
}

void ModemCall::FinishDrop() {
  phase_ = Phase::kIdle;
  sink_.OnEvent("on hook");
  sink_.OnDropResult(0);
  State(LINECALLSTATE_IDLE, 0);
}

}  // namespace telvane::linesvc
