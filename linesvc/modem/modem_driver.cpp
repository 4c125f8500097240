// The voice modem line: its port and the modem's reports, shared by the line's calls, and the
// wave device that carries a call's sound.
#include "linesvc/modem/modem_driver.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "linesvc/line_audio.h"
#include "linesvc/modem/modem_call.h"
#include "linesvc/modem/modem_probe.h"
#include "linesvc/modem/serial_port.h"

namespace telvane::linesvc {

namespace {

// How far the sound runs ahead of real time: enough to ride over the loop's hiccups, little
// enough that a stop is heard at once (the modem's own buffer holds only 125-250 ms).
constexpr int64_t kLeadMs = 150;
constexpr int64_t kTickMs = 20;
// How often a held port lock is tried again while waiting for it.
constexpr auto kLockRetry = std::chrono::milliseconds(250);

// Opens the line's port. When another program holds its lock (typically a second alert that
// wants the modem while the first is on the phone), tries again until the line's lock_wait_ms
// has passed, saying so through log, and then fails with the holder in *reason. The wait is on
// the machine's clock, not the loop's: only the other process can end it, and nothing this
// thread would handle meanwhile can.
std::unique_ptr<SerialPort> OpenPortWaiting(const ModemSettings& settings, const DriverLog& log,
                                            std::string* reason, SerialPort::Failure* failure) {
  std::unique_ptr<SerialPort> port =
      SerialPort::Open(settings.device, settings.lock_dir, reason, failure);
  if (port || *failure != SerialPort::Failure::kHeld || settings.lock_wait_ms <= 0) return port;
  const int seconds = settings.lock_wait_ms / 1000;
  log(*reason + "; waiting up to " + std::to_string(seconds) + " s for it");
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(settings.lock_wait_ms);
  for (auto now = start; now < deadline; now = std::chrono::steady_clock::now()) {
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kLockRetry, deadline - now));
    port = SerialPort::Open(settings.device, settings.lock_dir, reason, failure);
    if (port) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      log("port " + settings.device + " free after " + std::to_string(waited.count()) +
          " ms of waiting");
      return port;
    }
    if (*failure != SerialPort::Failure::kHeld) return nullptr;
  }
  *reason = "still locked after waiting " + std::to_string(seconds) + " s: " + *reason;
  log("port " + settings.device + " " + *reason);
  return nullptr;
}

class ModemDriver final : public LineDriver, public ModemLine {
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
    return (configured & ~kVoiceMediaModes) | LINEMEDIAMODE_DATAMODEM;
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
    if ((media_mode & kVoiceMediaModes) == 0 || !caps_.voice) return LINEERR_INVALMEDIAMODE;
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
  const ModemSettings& Settings() const override { return settings_; }
  const ModemCaps& Caps() const override { return caps_; }
  SerialPort* Port() override { return port_ && !port_->IsGone() ? port_.get() : nullptr; }
  LONG ReopenPort(std::string* reason) override {
    if (Port() != nullptr) return 0;
    port_.reset();
    if (loop_ == nullptr) {
      *reason = "the line is not open";
      return LINEERR_OPERATIONFAILED;
    }
    return OpenPort(reason);
  }
  void SetCall(ModemCall* call) override { call_ = call; }
  LineAudioPath& Audio() override { return *audio_; }

 private:
  void Log(std::string_view text) {
    if (line_sink_ != nullptr) line_sink_->OnEvent(text);
  }

  LONG OpenPort(std::string* reason) {
    SerialPort::Failure failure = SerialPort::Failure::kNone;
    port_ = OpenPortWaiting(
        settings_, [this](std::string_view text) { Log(text); }, reason, &failure);
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
      if (call_ == nullptr) continue;
      if (item.line.empty()) {
        call_->OnModemEvent(item.event);
      } else {
        call_->OnLine(item.line);
      }
    }
  }

  void OnGone(const std::string& why) {
    Log("modem port " + settings_.device + " failed: " + why);
    reader_ = ModemReader();
    if (call_ != nullptr) call_->OnPortGone(why);
  }

  const ModemSettings settings_;
  const ModemCaps caps_;
  platform::MessageLoop* loop_ = nullptr;
  LineSink* line_sink_ = nullptr;
  std::unique_ptr<SerialPort> port_;
  ModemReader reader_;
  ModemCall* call_ = nullptr;
  // What the line's wave device reaches. While the call's modem is not yet transmitting, the
  // line holds the sound (only what makes the modem start goes to it), so a modem that never
  // starts is never counted as heard.
  std::shared_ptr<LineAudioPath> audio_ = std::make_shared<LineAudioPath>();
  std::unique_ptr<LineAudioDevice> device_;  // unregistered before the path goes
};

bool ModemDriver::RegisterWave(std::string* error) {
  if (!caps_.voice) return true;
  device_ = LineAudioDevice::Register(settings_.wave_id, "modem " + settings_.device,
                                      LinePacing::Ahead(kLeadMs, kTickMs), audio_, error);
  return device_ != nullptr;
}

}  // namespace

std::unique_ptr<LineDriver> CreateModemDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                              const DriverLog& log, std::string* error) {
  ModemSettings settings;
  if (!ParseModemSettings(keys, device_id, &settings, error)) return nullptr;
  SerialPort::Failure failure = SerialPort::Failure::kNone;
  std::unique_ptr<SerialPort> port = OpenPortWaiting(settings, log, error, &failure);
  if (!port) {
    *error = "unavailable: " + *error;
    return nullptr;
  }
  ModemCaps caps;
  if (!ProbeModem(*port, settings, &caps, error)) return nullptr;
  port.reset();  // free for other programs until the line is opened
  if (!caps.voice) log("offered for data only: " + caps.why_not_voice);
  auto driver = std::make_unique<ModemDriver>(std::move(settings), std::move(caps));
  if (!driver->RegisterWave(error)) return nullptr;
  return driver;
}

}  // namespace telvane::linesvc
