// The SIP line driver: TAPI call states over a SipSession, and the call's sound.
#include "linesvc/sip/sip_driver.h"

#include <functional>
#include <optional>
#include <vector>

#include "linesvc/line_audio.h"
#include "linesvc/sip/re_thread.h"
#include "linesvc/sip/rtp_pump.h"
#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sip_outcome.h"
#include "linesvc/sip/sip_session.h"
#include "linesvc/sip/sip_settings.h"
#include "linesvc/sip/spandsp_module.h"
#include "linesvc/sip/voice_codec.h"
#include "platform/text.h"
#include "platform/timers.h"

namespace telvane::linesvc {

namespace {

std::string CodecUnavailable(SipCodec codec) {
  return std::string(CodecName(codec)) + " cannot be coded: the module lib" + kSpandspModule +
         ".so is missing or cannot be loaded";
}

// How long the packets go on after a hang-up of an answered call, so that the far end hears
// the end of the sound before the BYE.
constexpr int64_t kPlayoutMs = 300;

class SipDriver;

// The answered call's sound end: the shared timeline hands over each write whole when its
// first sample is due and reports it played when its last is; the call's packet clock
// (rtp_pump.h) sends it. An answered call may hold the line until the callee's sound has
// arrived: until then the timeline stands still and what it handed over waits here, so
// nothing counts as heard that nobody could hear.
class SipCall final : public DriverCall, public SipSessionObserver, private SoundEnd {
 public:
  SipCall(SipDriver& driver, std::string request_uri, platform::MessageLoop& loop, CallSink& sink);
  ~SipCall() override;

  void Start() override;
  void Drop() override;
  LONG MonitorDigits(DWORD) override { return 0; }
  LONG GetDeviceId(std::string_view device_class, DWORD* id) override;

 private:
  enum class Phase { kDialing, kConnected, kEnded, kDropping, kIdle };

  void OnSipEvent(const std::string& text) override { sink_.OnEvent(text); }
  void OnSipProceeding() override;
  void OnSipRinging() override;
  void OnSipAnswered(const SipMedia& media, std::unique_ptr<RtpSocket> socket) override;
  void OnSipMediaMoved(const SipMedia& media) override;
  void OnSipDigit(char digit) override;
  void OnSipEnded(const SipEnd& end) override;
  void OnSipClosed() override;

  void Send(const LinePlay& play, size_t from, size_t count) override;
  void Cut(const LinePlay& play) override;
  bool CarriesSound() const override { return !holding_; }

  void End(DWORD state, DWORD mode, const std::string& why);
  // The receiver of keys in tones that `media` need, if they hear keys that way.
  std::unique_ptr<InbandDtmf> InbandFor(const SipMedia& media);
  void OnKey(char key);
  void OnMediaArrived();
  void OnMediaSilent(const std::string& why);
  void StopSound();

  SipDriver& driver_;
  const std::string request_uri_;
  platform::MessageLoop& loop_;
  CallSink& sink_;
  std::unique_ptr<SipSession> session_;
  std::unique_ptr<RtpPump> pump_;  // from the answer on
  // Until the callee's sound arrives, what the timeline handed over waits here.
  struct Held {
    LinePlay play;
    size_t from;
    size_t count;
  };
  bool holding_ = false;
  std::vector<Held> held_;
  SipKeyPath media_keys_ = SipKeyPath::kInband;
  Phase phase_ = Phase::kDialing;
  bool drop_requested_ = false;
  platform::OneShotTimer tail_{loop_};  // the hang-up after the last sound has played out
};

class SipDriver final : public LineDriver {
 public:
  explicit SipDriver(SipSettings settings) : settings_(std::move(settings)) {}

  bool RegisterWave(std::string* error) {
    device_ = LineAudioDevice::Register(settings_.wave_id, "SIP " + settings_.account.ToString(),
                                        LinePacing::WholeWrites(), path_, error);
    return device_ != nullptr;
  }

  std::string ProviderInfo() const override {
    return "Telvane SIP line " + settings_.account.ToString();
  }

  LONG Open(platform::MessageLoop&, LineSink& sink) override {
    std::string error;
    re_thread_ = ReThread::Acquire(&error);
    if (!re_thread_) {
      sink.OnEvent(error);
      return LINEERR_OPERATIONFAILED;
    }
    return 0;
  }

  void Close() override { re_thread_.reset(); }

  bool IsDialable(const std::string& number) const override {
    return RequestUri(settings_, number).has_value();
  }

  LONG CreateCall(const std::string& number, DWORD media_mode, platform::MessageLoop& loop,
                  CallSink& sink, std::unique_ptr<DriverCall>* call) override {
    if ((media_mode & kVoiceMediaModes) == 0) return LINEERR_INVALMEDIAMODE;
    const std::optional<std::string> uri = RequestUri(settings_, number);
    if (!uri) {
      sink.OnEvent("dialling refused: '" + number + "' is neither a number nor a SIP URI");
      return LINEERR_INVALADDRESS;
    }
    if (!re_thread_) return LINEERR_OPERATIONFAILED;
    *call = std::make_unique<SipCall>(*this, *uri, loop, sink);
    return 0;
  }

  LONG GetDeviceId(std::string_view device_class, DWORD* id) override {
    if (device_class != "wave/out") return LINEERR_INVALDEVICECLASS;
    *id = settings_.wave_id;
    return 0;
  }

  const SipSettings& Settings() const { return settings_; }
  const std::shared_ptr<ReThread>& Thread() const { return re_thread_; }
  LineAudioPath& Path() { return *path_; }

 private:
  const SipSettings settings_;
  std::shared_ptr<ReThread> re_thread_;
  // Nobody hears sound while no call is answered.
  std::shared_ptr<LineAudioPath> path_ = std::make_shared<LineAudioPath>();
  std::unique_ptr<LineAudioDevice> device_;  // unregistered before the path goes
};

// --- The call ---------------------------------------------------------------------------------

SipCall::SipCall(SipDriver& driver, std::string request_uri, platform::MessageLoop& loop,
                 CallSink& sink)
    : driver_(driver), request_uri_(std::move(request_uri)), loop_(loop), sink_(sink) {}

SipCall::~SipCall() {
  StopSound();
  // The session hangs up on its own once destroyed; nothing more is reported.
  session_.reset();
}

LONG SipCall::GetDeviceId(std::string_view device_class, DWORD* id) {
  return driver_.GetDeviceId(device_class, id);
}

void SipCall::Start() {
  sink_.OnDialResult(0);
  sink_.OnCallState(LINECALLSTATE_DIALTONE, 0);
  SipCallPlan plan;
  plan.settings = driver_.Settings();
  plan.request_uri = request_uri_;
  if (!plan.settings.password_file.empty()) {
    std::string error;
    if (!ReadPasswordFile(plan.settings.password_file, &plan.password, &error)) {
      End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, error);
      return;
    }
  }
  sink_.OnCallState(LINECALLSTATE_DIALING, 0);
  sink_.OnEvent("calling " + request_uri_);
  session_ = std::make_unique<SipSession>(loop_, *this, std::move(plan), driver_.Thread());
  session_->Start();
}

void SipCall::OnSipProceeding() {
  if (phase_ == Phase::kDialing) sink_.OnCallState(LINECALLSTATE_PROCEEDING, 0);
}

void SipCall::OnSipRinging() {
  if (phase_ == Phase::kDialing) sink_.OnCallState(LINECALLSTATE_RINGBACK, 0);
}

void SipCall::OnSipAnswered(const SipMedia& media, std::unique_ptr<RtpSocket> socket) {
  if (phase_ != Phase::kDialing) return;
  std::unique_ptr<VoiceCodec> codec = VoiceCodec::Create(media.codec);
  if (!codec) {
    // Nobody could hear the call; the application's drop sends the BYE.
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, CodecUnavailable(media.codec));
    return;
  }
  std::string error;
  std::unique_ptr<RtpStream> stream =
      RtpStream::Create(std::move(socket), media, std::move(codec), InbandFor(media), &error);
  if (!stream) {
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, error);
    return;
  }
  phase_ = Phase::kConnected;
  media_keys_ = media.keys;
  pump_ = std::make_unique<RtpPump>(
      std::move(stream), loop_, int64_t{driver_.Settings().rtp_timeout_s} * 1000,
      RtpPump::Reports{[this](char key) { OnKey(key); },
                       [this](const std::string& text) { sink_.OnEvent(text); },
                       [this] { OnMediaArrived(); },
                       [this](const std::string& why) { OnMediaSilent(why); }});
  // Without a silence limit nothing would ever end a call whose callee never sends: the line
  // carries sound from the answer then.
  holding_ = driver_.Settings().rtp_timeout_s > 0;
  driver_.Path().Connect(*this);
  sink_.OnCallState(LINECALLSTATE_CONNECTED, 0);
}

void SipCall::OnSipMediaMoved(const SipMedia& media) {
  if (phase_ != Phase::kConnected || !pump_) return;
  std::unique_ptr<VoiceCodec> codec = VoiceCodec::Create(media.codec);
  if (!codec) {
    StopSound();
    End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL, CodecUnavailable(media.codec));
    return;
  }
  media_keys_ = media.keys;
  pump_->Follow(media, std::move(codec), InbandFor(media));
}

std::unique_ptr<InbandDtmf> SipCall::InbandFor(const SipMedia& media) {
  if (media.keys != SipKeyPath::kInband) return nullptr;
  std::unique_ptr<InbandDtmf> inband = InbandDtmf::Create();
  if (!inband) {
    sink_.OnEvent(std::string("keys cannot be heard: the module lib") + kSpandspModule +
                  ".so is missing or cannot be loaded");
  }
  return inband;
}

void SipCall::OnSipDigit(char digit) {
  if (phase_ == Phase::kConnected) sink_.OnDigit(digit, KeyPathName(SipKeyPath::kInfo));
}

void SipCall::OnSipEnded(const SipEnd& end) {
  if (phase_ != Phase::kDialing && phase_ != Phase::kConnected) return;
  StopSound();
  const DWORD mode = DisconnectModeFor(end);
  // Busy is a state of its own for TAPI, as on every other line.
  if (mode == LINEDISCONNECTMODE_BUSY) {
    phase_ = Phase::kEnded;
    sink_.OnCallState(LINECALLSTATE_BUSY, kBusyStation);
    return;
  }
  phase_ = Phase::kEnded;
  sink_.OnCallState(LINECALLSTATE_DISCONNECTED, mode);
}

void SipCall::End(DWORD state, DWORD mode, const std::string& why) {
  sink_.OnEvent("call ends: " + why);
  phase_ = Phase::kEnded;
  sink_.OnCallState(state, mode);
}

void SipCall::Drop() {
  if (drop_requested_) return;
  drop_requested_ = true;
  sink_.OnEvent("hanging up");
  if (!session_) {
    OnSipClosed();
    return;
  }
  const bool connected = phase_ == Phase::kConnected;
  phase_ = Phase::kDropping;
  if (!connected) {
    session_->Hangup();
    return;
  }
  // The far end plays what it received a little later, from its jitter buffer: a BYE right
  // after the last packet would cut the end of the message off. Silence plays meanwhile.
  tail_.Start(kPlayoutMs, [this] {
    StopSound();
    session_->Hangup();
  });
}

void SipCall::OnSipClosed() {
  if (phase_ == Phase::kIdle || !drop_requested_) return;
  phase_ = Phase::kIdle;
  sink_.OnEvent("on hook");
  sink_.OnDropResult(0);
  sink_.OnCallState(LINECALLSTATE_IDLE, 0);
}

void SipCall::OnKey(char key) {
  if (phase_ != Phase::kConnected) return;
  sink_.OnDigit(key, KeyPathName(media_keys_));
}

void SipCall::Send(const LinePlay& play, size_t from, size_t count) {
  if (holding_) {
    held_.push_back({play, from, count});
  } else if (pump_) {
    pump_->Queue(play, from, count);
  }
}

void SipCall::Cut(const LinePlay& /*play*/) {
  held_.clear();
  if (pump_) pump_->Cut();
}

// The callee's sound has arrived: the line carries ours from now on.
void SipCall::OnMediaArrived() {
  if (phase_ != Phase::kConnected || !holding_) return;
  holding_ = false;
  for (const Held& sent : held_) pump_->Queue(sent.play, sent.from, sent.count);
  held_.clear();
  driver_.Path().NowCarriesSound();
}

// The callee is gone without a word (or was never there): the call ends as if it had hung up.
// The BYE goes with our hang-up.
void SipCall::OnMediaSilent(const std::string& why) {
  if (phase_ != Phase::kConnected) return;
  StopSound();
  End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, why);
}

void SipCall::StopSound() {
  if (!pump_) return;
  // A timeline still held stays so until the application stops its play: none of that sound
  // was heard.
  driver_.Path().Disconnect(*this);
  holding_ = false;
  held_.clear();
  pump_->Stop();
  sink_.OnEvent("RTP stopped: " + std::to_string(pump_->Sent()) + " packets sent, " +
                std::to_string(pump_->Received()) + " received from the callee, " +
                std::to_string(pump_->Ignored()) + " ignored");
  pump_.reset();
}

}  // namespace

std::unique_ptr<LineDriver> CreateSipDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                            std::string* error) {
  SipSettings settings;
  if (!ParseSipSettings(keys, device_id, &settings, error)) return nullptr;
  auto driver = std::make_unique<SipDriver>(std::move(settings));
  if (!driver->RegisterWave(error)) return nullptr;
  return driver;
}

}  // namespace telvane::linesvc
