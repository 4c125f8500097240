// The voice modem driver: start-up probe, the call's dialogue with the modem, and its sound.
#include "linesvc/modem_driver.h"

#include <algorithm>
#include <deque>
#include <functional>

#include "linesvc/line_audio.h"
#include "linesvc/serial_port.h"
#include "linesvc/service.h"
#include "linesvc/text.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

constexpr DWORD kBusyStation = 0x1;  // LINEBUSYMODE_STATION
constexpr DWORD kVoiceModes = LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE;
// How far the sound runs ahead of real time: enough to ride over the loop's hiccups, little
// enough that a stop is heard at once (the modem's own buffer holds only 125-250 ms).
constexpr int64_t kLeadMs = 150;
constexpr int64_t kTickMs = 20;
constexpr int kProbeResetTimeoutMs = 5000;  // ATZ takes a second on some modems

enum class CommandSet { kV253, kHash };

struct ModemCaps {
  std::string identity;
  bool voice = false;
  CommandSet set = CommandSet::kV253;
  ModemCodec codec;
  std::string why_not_voice;
};

bool ParseNumber(const std::string& text, int64_t low, int64_t high, int* value) {
  int64_t parsed = 0;
  if (!ParseInteger(text, low, high, &parsed)) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// --- The start-up probe, before any loop runs -----------------------------------------------

struct Answer {
  std::optional<ModemResult> result;  // none: no answer in time, or the port failed
  std::vector<std::string> lines;     // the information lines before the result
};

Answer Transact(SerialPort& port, const std::string& command, int timeout_ms) {
  Answer answer;
  if (!port.WriteAll(command + "\r", timeout_ms)) return answer;
  ModemReader reader;
  std::string bytes;
  const int64_t step_ms = 20;
  for (int64_t waited = 0; waited < timeout_ms; waited += step_ms) {
    bytes.clear();
    const SerialPort::ReadStatus status = port.ReadFor(static_cast<int>(step_ms), &bytes);
    if (status == SerialPort::ReadStatus::kGone) return answer;
    for (const ModemReader::Item& item : reader.Feed(bytes)) {
      if (item.line.empty()) continue;
      const ModemResult result = ClassifyLine(item.line);
      if (IsFinal(result)) {
        answer.result = result;
        return answer;
      }
      // An echo of the command (echo may still be on) is not information.
      if (Lower(item.line) != Lower(command)) answer.lines.push_back(item.line);
    }
  }
  return answer;
}

bool IsOk(const Answer& answer) { return answer.result == ModemResult::kOk; }

bool Probe(SerialPort& port, const ModemSettings& settings, ModemCaps* caps, std::string* error) {
  const int timeout = settings.command_timeout_ms;
  if (!IsOk(Transact(port, "ATZ", std::max(timeout, kProbeResetTimeoutMs))) ||
      !IsOk(Transact(port, "ATE0V1Q0", timeout))) {
    *error = "the modem on " + settings.device + " does not answer";
    return false;
  }
  Answer identity = Transact(port, "ATI", timeout);
  if (!IsOk(identity)) identity = Transact(port, "ATI3", timeout);  // Lucent refuses plain ATI
  for (const std::string& line : identity.lines) {
    caps->identity += (caps->identity.empty() ? "" : " ") + line;
  }
  Answer classes = Transact(port, "AT+FCLASS=?", timeout);
  if (IsOk(classes)) {
    caps->set = CommandSet::kV253;
    caps->voice = ParseClassList(classes.lines).count("8") != 0;
  } else {
    classes = Transact(port, "AT#CLS=?", timeout);
    caps->set = CommandSet::kHash;
    caps->voice = IsOk(classes) && ParseClassList(classes.lines).count("8") != 0;
  }
  if (!caps->voice) {
    caps->why_not_voice = "no voice class (8) in its classes";
    return true;
  }
  if (caps->set == CommandSet::kHash) {
    // The "#" set has no codec list; its 8-bit linear sound is the one it is sure to take.
    caps->codec = {0, "8-bit linear (#VBS=8)", 8, ModemCoding::kUnsigned8};
    return true;
  }
  // Some modems answer ERROR to every +V command outside voice mode.
  Transact(port, "AT+FCLASS=8", timeout);
  const Answer codecs = Transact(port, "AT+VSM=?", timeout);
  const Answer line_states = Transact(port, "AT+VLS=?", timeout);
  Transact(port, "AT+FCLASS=0", timeout);
  const std::optional<ModemCodec> codec = ChooseCodec(ParseVsmList(codecs.lines), settings.codec);
  if (!codec) {
    caps->voice = false;
    caps->why_not_voice = "none of its codecs is one the driver can send";
    return true;
  }
  if (settings.codec && codec->coding != settings.codec) {
    *error = std::string("the modem has no ") + CodingName(*settings.codec) + " codec";
    return false;
  }
  caps->codec = *codec;
  bool off_hook_state = false;
  for (const ModemLineState& state : ParseVlsList(line_states.lines)) {
    if (state.label == 1) off_hook_state = true;
  }
  if (!off_hook_state && !line_states.lines.empty()) {
    caps->voice = false;
    caps->why_not_voice = "its +VLS list has no telephone line state";
  }
  return true;
}

// --- The call ---------------------------------------------------------------------------------

class ModemDriver;
class ModemCall;

// What the driver's wave device reaches: the call whose sound it carries, if any.
class AudioPath final : public LineAudioOutput {
 public:
  void Send(const LinePlay& play, size_t from, size_t count) override;
  void Cut(const LinePlay&) override;
  ModemCall* call = nullptr;
};

class ModemCall final : public DriverCall {
 public:
  ModemCall(ModemDriver& driver, std::string dial, platform::MessageLoop& loop, CallSink& sink);
  ~ModemCall() override;

  void Start() override;
  void Drop() override;
  LONG MonitorDigits(DWORD) override { return 0; }
  LONG GetDeviceId(std::string_view device_class, DWORD* id) override;

  // From the driver: what the modem said, and that the port failed.
  void OnLine(const std::string& line);
  void OnModemEvent(char event);
  void OnPortGone(const std::string& reason);

  // From the wave device: sound to send now, and a stop.
  void SendAudio(std::span<const int16_t> samples);
  void AbortAudio();

 private:
  enum class Phase { kSetup, kDialing, kConnected, kEnded, kHangingUp, kIdle };
  enum class Transmit { kOff, kStarting, kOn, kStopping };
  using Done = std::function<void(std::optional<ModemResult>)>;
  struct Step {
    std::string command;
    bool required;
    std::string fallback;  // tried when the command answers ERROR
  };

  SerialPort* Port();
  void Send(const std::string& bytes, const std::string& what, int timeout_ms, Done done);
  void Command(const std::string& command, int timeout_ms, Done done) {
    Send(command + "\r", command, timeout_ms, std::move(done));
  }
  void Complete(std::optional<ModemResult> result);

  std::vector<Step> SetupSteps() const;
  void RunSetup(size_t index);
  void Dial();
  void OnDialAnswer(std::optional<ModemResult> result);
  void State(DWORD state, DWORD mode);
  void End(DWORD state, DWORD mode, const std::string& why);

  void StartTransmit();
  void FlushAudio();
  void OnTransmitStopped();

  void HangUp();
  void HangUpSteps(size_t index);
  void FinishDrop();

  ModemDriver& driver_;
  const std::string dial_;
  platform::MessageLoop& loop_;
  CallSink& sink_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  Phase phase_ = Phase::kSetup;
  bool ringback_ = false;
  bool drop_requested_ = false;
  DigitTracker digits_;
  // The command waiting for its answer.
  struct Pending {
    std::string what;
    Done done;
    platform::TaskId timer = 0;
  };
  std::optional<Pending> pending_;
  // Sound.
  Transmit transmit_ = Transmit::kOff;
  std::string out_;         // shielded bytes not yet taken by the port
  bool pair_open_ = false;  // the bytes sent end with the first DLE of a doubled pair
  platform::TaskId flush_task_ = 0;
};

class ModemDriver final : public LineDriver {
 public:
  ModemDriver(ModemSettings settings, ModemCaps caps)
      : settings_(std::move(settings)), caps_(std::move(caps)) {}

  bool RegisterWave(std::string* error);

  std::string ProviderInfo() const override {
    return "Telvane voice modem on " + settings_.device +
           (caps_.identity.empty() ? std::string() : " (" + caps_.identity + ")");
  }

  DWORD MediaModes(DWORD configured) const override {
    if (caps_.voice) return configured;
    return (configured & ~kVoiceModes) | LINEMEDIAMODE_DATAMODEM;
  }

  LONG Open(platform::MessageLoop& loop, LineSink& sink) override {
    loop_ = &loop;
    line_sink_ = &sink;
    std::string reason;
    const LONG result = OpenPort(&reason);
    if (result != 0) {
      sink.OnEvent("modem unavailable: " + reason);
      loop_ = nullptr;
      line_sink_ = nullptr;
    }
    return result;
  }

  void Close() override {
    port_.reset();
    line_sink_ = nullptr;
    loop_ = nullptr;
  }

  LONG CreateCall(const std::string& number, DWORD media_mode, platform::MessageLoop& loop,
                  CallSink& sink, std::unique_ptr<DriverCall>* call) override {
    if ((media_mode & kVoiceModes) == 0 || !caps_.voice) return LINEERR_INVALMEDIAMODE;
    const std::optional<std::string> dial = ModemDialString(number);
    if (!dial) {
      sink.OnEvent("dialling refused: '" + number + "' holds characters that are not dialled");
      return LINEERR_INVALADDRESS;
    }
    *call = std::make_unique<ModemCall>(*this, settings_.dial_prefix + *dial, loop, sink);
    return 0;
  }

  LONG GetDeviceId(std::string_view device_class, DWORD* id) override {
    if (device_class != "wave/out" || !caps_.voice) {
      return LINEERR_INVALDEVICECLASS;
    }
    *id = settings_.wave_id;
    return 0;
  }

  // For the call.
  const ModemSettings& Settings() const { return settings_; }
  const ModemCaps& Caps() const { return caps_; }
  SerialPort* Port() { return port_ && !port_->IsGone() ? port_.get() : nullptr; }
  // Opens the port again after it failed (a USB modem unplugged and back); 0 or a LINEERR_*.
  LONG ReopenPort(std::string* reason) {
    if (Port() != nullptr) return 0;
    port_.reset();
    if (loop_ == nullptr) {
      *reason = "the line is not open";
      return LINEERR_OPERATIONFAILED;
    }
    return OpenPort(reason);
  }
  void SetCall(ModemCall* call) { path_->call = call; }
  void Log(std::string_view text) {
    if (line_sink_ != nullptr) line_sink_->OnEvent(text);
  }

 private:
  LONG OpenPort(std::string* reason) {
    SerialPort::Failure failure = SerialPort::Failure::kNone;
    port_ = SerialPort::Open(settings_.device, settings_.lock_dir, reason, &failure);
    if (!port_) {
      return failure == SerialPort::Failure::kHeld      ? LINEERR_ALLOCATED
             : failure == SerialPort::Failure::kMissing ? LINEERR_NODEVICE
                                                        : LINEERR_OPERATIONFAILED;
    }
    port_->StartReader(
        *loop_, [this](const std::string& bytes) { OnBytes(bytes); },
        [this](const std::string& why) { OnGone(why); });
    return 0;
  }

  void OnBytes(const std::string& bytes) {
    for (const ModemReader::Item& item : reader_.Feed(bytes)) {
      ModemCall* call = path_->call;
      if (call == nullptr) continue;
      if (item.line.empty()) {
        call->OnModemEvent(item.event);
      } else {
        call->OnLine(item.line);
      }
    }
  }

  void OnGone(const std::string& why) {
    Log("modem port " + settings_.device + " failed: " + why);
    reader_ = ModemReader();
    if (path_->call != nullptr) path_->call->OnPortGone(why);
  }

  const ModemSettings settings_;
  const ModemCaps caps_;
  platform::MessageLoop* loop_ = nullptr;
  LineSink* line_sink_ = nullptr;
  std::unique_ptr<SerialPort> port_;
  ModemReader reader_;
  std::shared_ptr<AudioPath> path_ = std::make_shared<AudioPath>();
  std::unique_ptr<LineAudioDevice> device_;  // unregistered before the path goes
};

// --- The wave device --------------------------------------------------------------------------

void AudioPath::Send(const LinePlay& play, size_t from, size_t count) {
  if (call != nullptr)
    call->SendAudio(std::span<const int16_t>(*play.samples).subspan(from, count));
}

void AudioPath::Cut(const LinePlay&) {
  if (call != nullptr) call->AbortAudio();
}

bool ModemDriver::RegisterWave(std::string* error) {
  if (!caps_.voice) return true;
  device_ = LineAudioDevice::Register(settings_.wave_id, "modem " + settings_.device,
                                      LinePacing::Ahead(kLeadMs, kTickMs), path_, error);
  return device_ != nullptr;
}

// --- The call's dialogue ----------------------------------------------------------------------

ModemCall::ModemCall(ModemDriver& driver, std::string dial, platform::MessageLoop& loop,
                     CallSink& sink)
    : driver_(driver), dial_(std::move(dial)), loop_(loop), sink_(sink) {
  driver_.SetCall(this);
}

ModemCall::~ModemCall() {
  driver_.SetCall(nullptr);
  if (pending_ && pending_->timer != 0) loop_.CancelDelayedTask(pending_->timer);
  if (flush_task_ != 0) loop_.CancelDelayedTask(flush_task_);
  if (phase_ == Phase::kIdle) return;
  // Hang up at once, without waiting for answers: leave the sound, then DTR down, then ATH0.
  if (SerialPort* port = Port()) {
    port->Write(std::string("\0", 1) + kDle + kCan + kDle + kEtx);
    port->PulseDtr();
    port->Write("ATH0\r");
  }
}

SerialPort* ModemCall::Port() { return driver_.Port(); }

LONG ModemCall::GetDeviceId(std::string_view device_class, DWORD* id) {
  return driver_.GetDeviceId(device_class, id);
}

void ModemCall::Send(const std::string& bytes, const std::string& what, int timeout_ms, Done done) {
  SerialPort* port = Port();
  if (port == nullptr || port->Write(bytes) != static_cast<long>(bytes.size())) {
    sink_.OnEvent("modem: " + what + " could not be sent");
    std::weak_ptr<char> alive = alive_;
    loop_.PostTask([alive, done = std::move(done)] {
      if (alive.lock()) done(std::nullopt);
    });
    return;
  }
  std::weak_ptr<char> alive = alive_;
  pending_ = Pending{what, std::move(done), 0};
  pending_->timer = loop_.PostDelayedTask(timeout_ms, [this, alive] {
    if (!alive.lock() || !pending_) return;
    pending_->timer = 0;
    sink_.OnEvent("modem: no answer to " + pending_->what);
    Complete(std::nullopt);
  });
}

void ModemCall::Complete(std::optional<ModemResult> result) {
  if (!pending_) return;
  Pending finished = std::move(*pending_);
  pending_.reset();
  if (finished.timer != 0) loop_.CancelDelayedTask(finished.timer);
  finished.done(result);
}

void ModemCall::OnLine(const std::string& line) {
  const ModemResult result = ClassifyLine(line);
  if (pending_ && IsFinal(result)) {
    sink_.OnEvent("modem: " + pending_->what + " -> " + line);
    Complete(result);
    return;
  }
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
        sink_.OnEvent(std::string("remote side presses ") + *digit);
        sink_.OnDigit(*digit);
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
  transmit_ = Transmit::kOff;
  out_.clear();
  if (phase_ == Phase::kSetup || phase_ == Phase::kDialing || phase_ == Phase::kConnected) {
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, "the modem is gone: " + reason);
  }
  Complete(std::nullopt);
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
  const LONG opened = driver_.ReopenPort(&reason);
  sink_.OnDialResult(0);
  if (opened != 0) {
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, "no modem: " + reason);
    return;
  }
  RunSetup(0);
}

std::vector<ModemCall::Step> ModemCall::SetupSteps() const {
  const ModemSettings& settings = driver_.Settings();
  const ModemCaps& caps = driver_.Caps();
  // X4 so BUSY and NO DIALTONE are told; &D2 so dropping DTR hangs up.
  std::vector<Step> steps = {{"ATZ", true, ""}, {"ATE0V1Q0X4&D2", true, ""}};
  if (!settings.init.empty()) steps.push_back({settings.init, true, ""});
  if (caps.set == CommandSet::kHash) {
    steps.push_back({"AT#CLS=8", true, ""});
    steps.push_back({"AT#VTD=3F,3F,3F", false, ""});  // DLE reports on
    steps.push_back({"AT#VBS=8", true, ""});
    steps.push_back({"AT#VSR=8000", false, ""});
    if (settings.vrn) steps.push_back({"AT#VRN=" + std::to_string(*settings.vrn), false, ""});
    steps.push_back({"AT#VLS=0", false, ""});  // the telephone line on this set
    return steps;
  }
  const std::string cml = std::to_string(caps.codec.cml);
  steps.push_back({"AT+FCLASS=8", true, ""});
  // Some modems forget every voice setting on entering voice mode, so all follow it.
  steps.push_back({"AT+VSM=" + cml + ",8000", true, "AT+VSM=" + cml + ",8000,0,0"});
  steps.push_back({"AT+VIT=0", false, ""});
  if (settings.vra) steps.push_back({"AT+VRA=" + std::to_string(*settings.vra), false, ""});
  if (settings.vrn) steps.push_back({"AT+VRN=" + std::to_string(*settings.vrn), false, ""});
  steps.push_back({"AT+IFC=2,2", false, ""});
  steps.push_back({"AT+VLS=0", false, ""});
  return steps;
}

void ModemCall::RunSetup(size_t index) {
  if (drop_requested_) return HangUp();
  const std::vector<Step> steps = SetupSteps();
  if (index == steps.size()) return Dial();
  const Step step = steps[index];
  const int timeout = index == 0 ? std::max(driver_.Settings().command_timeout_ms, 5000)
                                 : driver_.Settings().command_timeout_ms;
  Command(step.command, timeout, [this, step, index, timeout](std::optional<ModemResult> result) {
    if (drop_requested_) return HangUp();
    if (result == ModemResult::kOk || !step.required) return RunSetup(index + 1);
    if (result == ModemResult::kError && !step.fallback.empty()) {
      return Command(step.fallback, timeout, [this, index, step](std::optional<ModemResult> r) {
        if (drop_requested_) return HangUp();
        if (r == ModemResult::kOk) return RunSetup(index + 1);
        End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL,
            "the modem refuses " + step.fallback);
      });
    }
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL,
        result ? "the modem refuses " + step.command : "the modem does not answer " + step.command);
  });
}

void ModemCall::Dial() {
  const ModemSettings& settings = driver_.Settings();
  phase_ = Phase::kDialing;
  const std::string command = std::string("ATD") + settings.dial_mode + dial_;
  State(LINECALLSTATE_DIALING, 0);
  Command(command, settings.dial_timeout_ms,
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

// --- Sound ------------------------------------------------------------------------------------

void ModemCall::SendAudio(std::span<const int16_t> samples) {
  if (phase_ != Phase::kConnected || drop_requested_) return;  // nobody hears it
  out_ += Shield(Encode(samples, *driver_.Caps().codec.coding));
  switch (transmit_) {
    case Transmit::kOff:
      StartTransmit();
      return;
    case Transmit::kOn:
      FlushAudio();
      return;
    default:
      return;  // sent once the modem is ready
  }
}

void ModemCall::StartTransmit() {
  if (pending_) return;  // started when the command in flight is answered
  transmit_ = Transmit::kStarting;
  const bool hash = driver_.Caps().set == CommandSet::kHash;
  Command(hash ? "AT#VTX" : "AT+VTX", driver_.Settings().command_timeout_ms,
          [this, hash](std::optional<ModemResult> result) {
            // Old "#" manuals answer OK instead of CONNECT.
            if (result == ModemResult::kConnect || (hash && result == ModemResult::kOk)) {
              transmit_ = Transmit::kOn;
              pair_open_ = false;
              if (drop_requested_) return HangUp();
              FlushAudio();
              return;
            }
            transmit_ = Transmit::kOff;
            out_.clear();
            if (drop_requested_) return HangUp();
            sink_.OnEvent("modem: cannot send sound");
          });
}

void ModemCall::FlushAudio() {
  if (flush_task_ != 0) loop_.CancelDelayedTask(flush_task_);
  flush_task_ = 0;
  SerialPort* port = Port();
  if (port == nullptr || out_.empty()) return;
  const long written = port->Write(out_);
  if (written < 0) return;  // the reader tells the call the port is gone
  for (long i = 0; i < written; ++i) {
    const bool dle = out_[static_cast<size_t>(i)] == kDle;
    pair_open_ = pair_open_ ? false : dle;
  }
  out_.erase(0, static_cast<size_t>(written));
  if (!out_.empty()) {
    // The port is full for now: try again shortly.
    std::weak_ptr<char> alive = alive_;
    flush_task_ = loop_.PostDelayedTask(5, [this, alive] {
      if (!alive.lock()) return;
      flush_task_ = 0;
      FlushAudio();
    });
  }
}

void ModemCall::AbortAudio() {
  out_.clear();
  if (transmit_ != Transmit::kOn) return;  // nothing reached the modem yet
  SerialPort* port = Port();
  if (port == nullptr) return;
  // Drop what the port still holds; the NUL makes a half-sent DLE pair a harmless DLE NUL;
  // DLE CAN clears the modem's buffer and DLE ETX ends the transmission.
  port->DiscardOutput();
  transmit_ = Transmit::kStopping;
  Send(std::string("\0", 1) + kDle + kCan + kDle + kEtx, "sound stop",
       driver_.Settings().command_timeout_ms,
       [this](std::optional<ModemResult>) { OnTransmitStopped(); });
}

void ModemCall::OnTransmitStopped() {
  transmit_ = Transmit::kOff;
  if (drop_requested_) return HangUp();
  if (!out_.empty() && phase_ == Phase::kConnected) StartTransmit();
}

// --- Hanging up -------------------------------------------------------------------------------

void ModemCall::Drop() {
  if (drop_requested_) return;
  drop_requested_ = true;
  sink_.OnEvent("hanging up");
  if (pending_) {
    // A dial in progress stops at any character; other commands are answered soon.
    if (pending_->what.rfind("ATD", 0) == 0) {
      if (SerialPort* port = Port()) port->Write("\r");
    }
    return;  // the answer continues with HangUp
  }
  HangUp();
}

void ModemCall::HangUp() {
  if (phase_ == Phase::kHangingUp || phase_ == Phase::kIdle) return;
  phase_ = Phase::kHangingUp;
  out_.clear();
  if (Port() == nullptr) return FinishDrop();
  if (transmit_ == Transmit::kOn || transmit_ == Transmit::kStarting) {
    // The sound still in the modem plays out; then the modem answers.
    const std::string end = (pair_open_ ? std::string("\0", 1) : std::string()) + kDle + kEtx;
    transmit_ = Transmit::kStopping;
    Send(end, "end of sound", driver_.Settings().command_timeout_ms,
         [this](std::optional<ModemResult>) {
           transmit_ = Transmit::kOff;
           HangUpSteps(0);
         });
    return;
  }
  HangUpSteps(0);
}

void ModemCall::HangUpSteps(size_t index) {
  const bool hash = driver_.Caps().set == CommandSet::kHash;
  const std::vector<std::string> steps = {"ATH0", hash ? "ATZ" : "AT+FCLASS=0"};
  if (index == steps.size() || Port() == nullptr) return FinishDrop();
  Command(steps[index], driver_.Settings().command_timeout_ms,
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

}  // namespace

bool ParseModemSettings(const std::vector<DriverKey>& keys, DWORD device_id,
                        ModemSettings* settings, std::string* error) {
  ModemSettings result;
  result.wave_id = device_id;
  for (const DriverKey& key : keys) {
    const std::string where = "line " + std::to_string(key.file_line) + ": ";
    const std::string& value = key.value;
    int number = 0;
    bool ok = true;
    if (key.key == "device") {
      ok = !value.empty() && value.front() == '/';
      result.device = value;
    } else if (key.key == "init") {
      // One command line of the user's own, never with a line break that would start another.
      ok = value.size() >= 2 && Lower(value.substr(0, 2)) == "at" &&
           value.find_first_of("\r\n") == std::string::npos;
      result.init = value;
    } else if (key.key == "dialprefix") {
      const std::optional<std::string> dial = ModemDialString(value);
      ok = value.empty() || dial.has_value();
      result.dial_prefix = dial.value_or("");
    } else if (key.key == "dialmode") {
      ok = Lower(value) == "tone" || Lower(value) == "pulse";
      result.dial_mode = Lower(value) == "pulse" ? 'P' : 'T';
    } else if (key.key == "vra" || key.key == "vrn") {
      ok = ParseNumber(value, 0, 255, &number);
      (key.key == "vra" ? result.vra : result.vrn) = number;
    } else if (key.key == "codec") {
      result.codec = CodingByName(value);
      ok = result.codec.has_value();
    } else if (key.key == "lockdir") {
      ok = !value.empty();
      result.lock_dir = value;
    } else if (key.key == "timeout") {
      ok = ParseNumber(value, 10, 600000, &result.command_timeout_ms);
    } else if (key.key == "dialtimeout") {
      ok = ParseNumber(value, 1, 600, &number);
      result.dial_timeout_ms = number * 1000;
    } else if (key.key == "wave") {
      ok = ParseNumber(value, 0, 0x7FFFFFFF, &number);
      result.wave_id = static_cast<DWORD>(number);
    } else {
      *error = where + "unknown key '" + key.key + "' for the modem driver";
      return false;
    }
    if (!ok) {
      *error = where + "bad value '" + value + "' for " + key.key;
      return false;
    }
  }
  if (result.device.empty()) {
    *error = "the modem driver needs device = /dev/...";
    return false;
  }
  *settings = std::move(result);
  return true;
}

std::unique_ptr<LineDriver> CreateModemDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                              std::string* error) {
  ModemSettings settings;
  if (!ParseModemSettings(keys, device_id, &settings, error)) return nullptr;
  SerialPort::Failure failure = SerialPort::Failure::kNone;
  std::unique_ptr<SerialPort> port =
      SerialPort::Open(settings.device, settings.lock_dir, error, &failure);
  if (!port) {
    *error = "unavailable: " + *error;
    return nullptr;
  }
  ModemCaps caps;
  if (!Probe(*port, settings, &caps, error)) return nullptr;
  port.reset();  // free for other programs until the line is opened
  auto driver = std::make_unique<ModemDriver>(std::move(settings), std::move(caps));
  if (!driver->RegisterWave(error)) return nullptr;
  return driver;
}

}  // namespace telvane::linesvc
