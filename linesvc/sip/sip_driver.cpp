// The SIP line driver: TAPI call states over a SipSession, and the call's sound.
#include "linesvc/sip/sip_driver.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <functional>
#include <optional>

#include "linesvc/sip/re_thread.h"
#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sip_outcome.h"
#include "linesvc/sip/sip_session.h"
#include "linesvc/sip/sip_settings.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

constexpr DWORD kBusyStation = 0x1;  // LINEBUSYMODE_STATION
constexpr DWORD kVoiceModes = LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE;
constexpr int64_t kFrameMs = 20;
// A tick this late means the loop was held up: start the packet clock again rather than send
// a burst that the far end would only drop.
constexpr int64_t kResyncMs = 200;
// How long the packets go on after a hang-up of an answered call, so that the far end hears
// the end of the sound before the BYE.
constexpr int64_t kPlayoutMs = 300;
constexpr uint64_t kReceiveEvery = 5;  // packets sent per look at what came in

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

class SipTimeline;
class SipCall;

// A delayed task that runs only if it is still the one wanted: cancelling a task that has
// already fallen due does not take it out of the queue, and its owner may be gone by then.
class DelayedTask {
 public:
  explicit DelayedTask(platform::MessageLoop& loop) : loop_(loop) {}
  ~DelayedTask() { Cancel(); }
  DelayedTask(const DelayedTask&) = delete;
  DelayedTask& operator=(const DelayedTask&) = delete;

  void Start(int64_t delay_ms, std::function<void()> task) {
    Cancel();
    std::weak_ptr<char> token = token_ = std::make_shared<char>();
    id_ = loop_.PostDelayedTask(delay_ms, [token, task = std::move(task)] {
      if (token.lock()) task();
    });
  }
  void Cancel() {
    if (id_ != 0) loop_.CancelDelayedTask(id_);
    id_ = 0;
    token_.reset();
  }
  bool IsPending() const { return token_ != nullptr; }

 private:
  platform::MessageLoop& loop_;
  platform::TaskId id_ = 0;
  std::shared_ptr<char> token_;
};

// What the line's wave device and its current call share.
struct AudioPath {
  SipCall* call = nullptr;          // the call whose packets carry the sound
  SipTimeline* timeline = nullptr;  // the latest open of the wave device
};

// The sound of one open of the line's wave device. While a call is answered, the call's packet
// clock takes 20 ms of it at a time; otherwise nobody hears it, but each write still takes its
// time before it is reported played.
class SipTimeline {
 public:
  SipTimeline(std::shared_ptr<AudioPath> path, platform::MessageLoop& loop)
      : path_(std::move(path)), loop_(loop) {
    path_->timeline = this;
  }
  ~SipTimeline() {
    Reset();
    if (path_->timeline == this) path_->timeline = nullptr;
  }
  SipTimeline(const SipTimeline&) = delete;
  SipTimeline& operator=(const SipTimeline&) = delete;

  void Write(std::vector<int16_t> samples, std::function<void()> played) {
    queue_.push_back({std::move(samples), 0, std::move(played)});
    if (!pulled_ && !unheard_.IsPending()) ScheduleUnheard();
  }

  void Reset() {
    CancelUnheard();
    for (Pending& pending : queue_) Post(std::move(pending.played));
    queue_.clear();
  }

  // The call's packet clock takes over (true) or lets go (false).
  void SetPulled(bool pulled) {
    pulled_ = pulled;
    CancelUnheard();
    if (!pulled_ && !queue_.empty()) ScheduleUnheard();
  }

  // Fills a frame from the queue, zeros where it runs dry; true if any sound was in it. Writes
  // whose last sample went into the frame are reported played.
  bool Take(std::array<int16_t, kRtpFrameSamples>& frame) {
    size_t filled = 0;
    while (filled < frame.size() && !queue_.empty()) {
      Pending& front = queue_.front();
      const size_t n = std::min(frame.size() - filled, front.samples.size() - front.taken);
      std::copy_n(front.samples.begin() + static_cast<long>(front.taken), n, frame.begin() + static_cast<long>(filled));
      filled += n;
      front.taken += n;
      if (front.taken == front.samples.size()) {
        Post(std::move(front.played));
        queue_.pop_front();
      }
    }
    std::fill(frame.begin() + static_cast<long>(filled), frame.end(), int16_t{0});
    return filled > 0;
  }

 private:
  struct Pending {
    std::vector<int16_t> samples;
    size_t taken = 0;
    std::function<void()> played;
  };

  void Post(std::function<void()> played) {
    if (played) loop_.PostTask(std::move(played));
  }

  // Nobody hears the front write: it is done once its time has passed.
  void ScheduleUnheard() {
    const Pending& front = queue_.front();
    const int64_t ms = static_cast<int64_t>((front.samples.size() - front.taken) * 1000 /
                                            platform::kLineSampleRate);
    unheard_.Start(ms, [this] {
      unheard_.Cancel();
      Post(std::move(queue_.front().played));
      queue_.pop_front();
      if (!queue_.empty()) ScheduleUnheard();
    });
  }

  void CancelUnheard() {
    unheard_.Cancel();
  }

  std::shared_ptr<AudioPath> path_;
  platform::MessageLoop& loop_;
  std::deque<Pending> queue_;
  bool pulled_ = false;
  DelayedTask unheard_{loop_};
};

class SipWaveSink final : public platform::WaveSink {
 public:
  SipWaveSink(std::shared_ptr<AudioPath> path, platform::MessageLoop& loop);
  void Write(std::vector<int16_t> samples, std::function<void()> played) override {
    timeline_.Write(std::move(samples), std::move(played));
  }
  void Reset() override { timeline_.Reset(); }

 private:
  SipTimeline timeline_;
};

class SipDriver;

class SipCall final : public DriverCall, public SipSessionObserver {
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
  void OnSipDigit(char digit) override;
  void OnSipEnded(const SipEnd& end) override;
  void OnSipClosed() override;

  void End(DWORD state, DWORD mode, const std::string& why);
  void StartClock();
  void StopClock();
  void Tick();

  SipDriver& driver_;
  const std::string request_uri_;
  platform::MessageLoop& loop_;
  CallSink& sink_;
  std::unique_ptr<SipSession> session_;
  std::unique_ptr<RtpStream> stream_;  // from the answer on
  SipKeyPath media_keys_ = SipKeyPath::kInband;
  Phase phase_ = Phase::kDialing;
  bool drop_requested_ = false;
  // The packet clock while answered.
  DelayedTask tick_{loop_};
  int64_t next_tick_ms_ = 0;
  uint64_t ticks_ = 0;
  DelayedTask tail_{loop_};  // the hang-up after the last sound has played out
};

class SipDriver final : public LineDriver {
 public:
  explicit SipDriver(SipSettings settings) : settings_(std::move(settings)) {}
  ~SipDriver() override {
    if (registered_) platform::UnregisterWaveOutDevice(settings_.wave_id);
  }

  bool RegisterWave(std::string* error) {
    std::weak_ptr<AudioPath> path = path_;
    registered_ = platform::RegisterWaveOutDevice(
        settings_.wave_id, "SIP " + settings_.account.ToString(),
        [path]() -> std::unique_ptr<platform::WaveSink> {
          platform::MessageLoop* loop = platform::MessageLoop::Current();
          std::shared_ptr<AudioPath> alive = path.lock();
          if (loop == nullptr || !alive) return nullptr;
          return std::make_unique<SipWaveSink>(alive, *loop);
        });
    if (!registered_) {
      *error = "wave device " + std::to_string(settings_.wave_id) + " is taken by another line";
    }
    return registered_;
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
    if ((media_mode & kVoiceModes) == 0) return LINEERR_INVALMEDIAMODE;
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
    if (Lower(device_class) != "wave/out") return LINEERR_INVALDEVICECLASS;
    *id = settings_.wave_id;
    return 0;
  }

  const SipSettings& Settings() const { return settings_; }
  const std::shared_ptr<ReThread>& Thread() const { return re_thread_; }
  AudioPath& Path() { return *path_; }

 private:
  const SipSettings settings_;
  bool registered_ = false;
  std::shared_ptr<ReThread> re_thread_;
  std::shared_ptr<AudioPath> path_ = std::make_shared<AudioPath>();
};

SipWaveSink::SipWaveSink(std::shared_ptr<AudioPath> path, platform::MessageLoop& loop)
    : timeline_(path, loop) {
  if (path->call != nullptr) timeline_.SetPulled(true);
}

// --- The call ---------------------------------------------------------------------------------

SipCall::SipCall(SipDriver& driver, std::string request_uri, platform::MessageLoop& loop,
                 CallSink& sink)
    : driver_(driver), request_uri_(std::move(request_uri)), loop_(loop), sink_(sink) {}

SipCall::~SipCall() {
  StopClock();
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
  phase_ = Phase::kConnected;
  stream_ = std::make_unique<RtpStream>(std::move(socket), media);
  media_keys_ = media.keys;
  StartClock();
  sink_.OnCallState(LINECALLSTATE_CONNECTED, 0);
}

void SipCall::OnSipDigit(char digit) {
  if (phase_ == Phase::kConnected) sink_.OnDigit(digit);
}

void SipCall::OnSipEnded(const SipEnd& end) {
  if (phase_ != Phase::kDialing && phase_ != Phase::kConnected) return;
  StopClock();
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
    StopClock();
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

// The packet clock: one frame every 20 ms on the loop's clock, due times counted from the
// answer so that late ticks do not add up.
void SipCall::StartClock() {
  AudioPath& path = driver_.Path();
  path.call = this;
  if (path.timeline != nullptr) path.timeline->SetPulled(true);
  next_tick_ms_ = loop_.NowMs();
  Tick();
}

void SipCall::StopClock() {
  tick_.Cancel();
  if (stream_) {
    sink_.OnEvent("RTP stopped: " + std::to_string(stream_->Sent()) + " packets sent, " +
                  std::to_string(stream_->Received()) + " received");
    stream_.reset();
  }
  AudioPath& path = driver_.Path();
  if (path.call != this) return;
  path.call = nullptr;
  if (path.timeline != nullptr) path.timeline->SetPulled(false);
}

void SipCall::Tick() {
  std::array<int16_t, kRtpFrameSamples> frame{};
  if (SipTimeline* timeline = driver_.Path().timeline) timeline->Take(frame);
  stream_->Send(frame);
  // What came in is read every fifth packet: a key heard 100 ms later makes no difference, and
  // the call costs fewer system calls.
  if (++ticks_ % kReceiveEvery == 0) {
    const std::string keys =
        stream_->Receive([this](const std::string& text) { sink_.OnEvent(text); });
    for (const char key : keys) {
      if (phase_ != Phase::kConnected) break;
      sink_.OnEvent(std::string("remote side presses ") + key + " (" + KeyPathName(media_keys_) +
                    ")");
      sink_.OnDigit(key);
    }
  }
  next_tick_ms_ += kFrameMs;
  const int64_t now = loop_.NowMs();
  if (now - next_tick_ms_ > kResyncMs) next_tick_ms_ = now;
  tick_.Start(std::max<int64_t>(0, next_tick_ms_ - now), [this] { Tick(); });
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
