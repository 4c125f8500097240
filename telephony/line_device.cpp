// The line device's registration with the telephony system, its device list, name lookup,
// voice check and the notifications it hands to the application; its public face forwards
// to its parts.
#include "telephony/line_device.h"

#include "platform/app_registry.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/tapi_binding.h"
#include "telephony/status_texts.h"

namespace telvane {

namespace {

constexpr int64_t kReinitPauseMs = 5000;

// The line name of a capabilities block, without the terminating NUL that the size counts.
std::string LineName(const platform::TapiBlock<LINEDEVCAPS>& caps) {
  if (caps->dwLineNameSize == 0) return {};
  const std::span<const uint8_t> name = caps.Part(caps->dwLineNameOffset, caps->dwLineNameSize - 1);
  return std::string(name.begin(), name.end());
}

// What lineInitialize is handed as the module instance: the telephony service learns from
// it the loop of the thread the device lives on, to which it posts everything for the device.
HINSTANCE AppInstance() { return platform::LineAppInstance(*platform::MessageLoop::Current()); }

// The program's name as a line application: its full path without the extension.
std::string ApplicationName() {
  std::string path = platform::ExecutablePath();
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
  return path;
}

}  // namespace

LineDevice::LineDevice()
    : notify_window_([this](uint32_t message, uintptr_t wparam, intptr_t lparam) {
        HandleWindowMessage(message, wparam, lparam);
      }),
      call_(static_cast<OutgoingCall::Host&>(*this)),
      player_(
          notify_window_, [this] { return CallWaveDevice(); },
          [this](WaveReport report) {
            if (on_wave_report) on_wave_report(report);
          }),
      digits_(player_, on_key) {
  InitializeTapi();
  EnumerateDevices();
}

LineDevice::~LineDevice() {
  // A destructor cannot report; the hang-up and the shutdown are best efforts here. A
  // playback still running is cut off by the player, without an end report.
  try {
    if (call_.LineOpen()) call_.SetLineOpen(false);
  } catch (const std::exception& error) {
    ReportError(error);
  }
  try {
    ShutdownTapi();
  } catch (const std::exception& error) {
    ReportError(error);
  }
}

bool LineDevice::InitializeTapi() {
  if (line_app_handle_ != 0) return true;
  if (starting_) return false;
  starting_ = true;
  bool started = false;
  try {
    platform::LineAppRegistry registry;
    platform::SweepStaleLineApps(registry, [](uint32_t handle) { tapi::lineShutdown(handle); });
    const std::string app_name = ApplicationName();
    bool reinit_seen = false;
    for (;;) {
      DWORD num_devices = 0;
      const LONG result = tapi::lineInitialize(&line_app_handle_, AppInstance(), &LineCallback,
                                               app_name.c_str(), &num_devices);
      num_devices_ = static_cast<int32_t>(num_devices);
      if (device_count_ == 0) device_count_ = num_devices_;
      if (result == 0) break;
      line_app_handle_ = 0;
      if (result == static_cast<LONG>(LINEERR_REINIT) && !reinit_seen) {
        // The telephony system is restarting: give it time, then try once more.
        reinit_seen = true;
        platform::MessageLoop::Current()->RunFor(kReinitPauseMs);
        continue;
      }
      // Every other failure ends the start-up: a telephony error as its mapped exception,
      // the binding's own codes (no library, no entry) as theirs. Retrying at once could
      // never succeed and would hang the program.
      const uint32_t raw = static_cast<uint32_t>(result);
      if (raw > 0x80000000u && raw < 0x80010000u) CheckTapiError(result);
      RaiseOnError(result);
      throw ETapiUnexpected(ecTapiUnexpected);
    }
    registry.Write(platform::LineAppValueName(platform::LineAppRegistry::CurrentProcessId()),
                   std::to_string(line_app_handle_));
    // Prescribed, though no line can be open without a line application.
    call_.ForgetHandles();
    // A new line application may number the lines anew.
    device_id_ = -1;
    started = true;
  } catch (const Exception&) {
    line_app_handle_ = 0;
    started = false;
  }
  starting_ = false;
  return started;
}

void LineDevice::ShutdownTapi() {
  if (line_app_handle_ == 0 || shut_down_) return;
  shut_down_ = true;
  call_.HangUp(/*clear_retry=*/true);
  CheckTapiError(tapi::lineShutdown(line_app_handle_));
  platform::LineAppRegistry registry;
  registry.Delete(platform::LineAppValueName(platform::LineAppRegistry::CurrentProcessId()));
}

bool LineDevice::NegotiateVersion(DWORD id) {
  return tapi::lineNegotiateAPIVersion(line_app_handle_, id, kTapiVersion14, kTapiVersion14,
                                       &api_version_, &extension_id_) == 0;
}

void LineDevice::EnumerateDevices() {
  InitializeTapi();
  device_list_.clear();
  voice_lines_.clear();
  for (int32_t i = 0; i < num_devices_; ++i) {
    const DWORD id = static_cast<DWORD>(i);
    if (!NegotiateVersion(id)) continue;
    platform::TapiBlock<LINEDEVCAPS> caps;
    if (platform::QueryDevCaps(line_app_handle_, id, api_version_, 0, caps) != 0 || !caps) {
      break;
    }
    if (!LineIsUsable(id, *caps.get())) continue;
    device_list_.push_back(LineName(caps));
    if (TakesVoice(*caps.get())) voice_lines_.push_back(device_list_.back());
  }
  device_count_ = static_cast<int32_t>(device_list_.size());
}

bool LineDevice::TakesVoice(const LINEDEVCAPS& caps) {
  return (caps.dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) != 0;
}

bool LineDevice::LineIsUsable(DWORD id, const LINEDEVCAPS& caps) {
  const DWORD media = caps.dwMediaModes;
  if ((caps.dwLineFeatures & LINEFEATURE_MAKECALL) == 0) return false;
  if ((media & LINEMEDIAMODE_DATAMODEM) != 0) return true;
  if ((media & LINEMEDIAMODE_AUTOMATEDVOICE) == 0) return false;
  // A voice-only line is useful only with a wave output to play into the call.
  return LineHasWaveOutput(id);
}

bool LineDevice::LineHasWaveOutput(DWORD id) {
  // The wave device belongs to an open line, so the line is opened just long enough to ask.
  HLINE line = 0;
  if (tapi::lineOpen(line_app_handle_, id, &line, api_version_, 0,
                     reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_NONE,
                     LINEMEDIAMODE_AUTOMATEDVOICE, nullptr) != 0) {
    return false;
  }
  const bool has_wave_output =
      platform::QueryDeviceID(line, 0, LINECALLSELECT_LINE, "wave/out").has_value();
  tapi::lineClose(line);
  return has_wave_output;
}

void LineDevice::SetSelectedDevice(const std::string& name) {
  selected_device_ = name;
  device_id_ = -1;
}

std::optional<LineDevice::FoundLine> LineDevice::FindLine(const std::string& name) {
  InitializeTapi();
  if (name.empty()) return std::nullopt;
  for (int32_t i = 0; i < num_devices_; ++i) {
    const DWORD id = static_cast<DWORD>(i);
    if (!NegotiateVersion(id)) continue;
    platform::TapiBlock<LINEDEVCAPS> caps;
    CheckTapiError(platform::QueryDevCaps(line_app_handle_, id, api_version_, 0, caps));
    if (!caps) return std::nullopt;
    if (LineName(caps) == name) return FoundLine{i, TakesVoice(*caps.get())};
  }
  return std::nullopt;
}

int32_t LineDevice::FindDeviceID(const std::string& name) {
  const std::optional<FoundLine> found = FindLine(name);
  return found ? found->id : -1;
}

int32_t LineDevice::GetDeviceID() {
  if (device_id_ == -1) {
    device_id_ = FindDeviceID(selected_device_);
    if (device_id_ == -1) throw ETapiNoSelect(ecTapiNoSelect);
  } else {
    // The version the line was found with: another line's may have been negotiated since.
    NegotiateVersion(static_cast<DWORD>(device_id_));
  }
  return device_id_;
}

void LineDevice::CheckVoiceSupport() {
  // Looked up afresh, in one pass over the lines: a device that changed since the last call
  // is still found. What is found here serves the call's dial attempts.
  device_id_ = -1;
  std::optional<FoundLine> found;
  try {
    found = FindLine(selected_device_);
  } catch (const Exception&) {
    found.reset();
  }
  if (!found || !found->takes_voice) throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
  device_id_ = found->id;
}

UINT LineDevice::CallWaveDevice() {
  // Asked once per call: every play of the call goes to the wave device the call names.
  if (wave_device_ && wave_device_call_ == call_.CallHandle()) return *wave_device_;
  const std::optional<DWORD> id = platform::QueryDeviceID(call_.LineHandle(), call_.CallHandle(),
                                                          LINECALLSELECT_CALL, "wave/out");
  if (!id) throw ETapiWaveFail(ecTapiWaveFail);
  wave_device_ = static_cast<UINT>(*id);
  wave_device_call_ = call_.CallHandle();
  return *wave_device_;
}

void LineDevice::NotifyStatus(int32_t message, int32_t state, int32_t param) {
  if (!on_status) return;
  LineStatus status;
  if (message == LINE_CALLSTATE && state == LINECALLSTATE_BUSY) {
    status.kind = LineStatus::Kind::kBusy;
  } else if (message == LINE_CALLSTATE && state == LINECALLSTATE_DISCONNECTED) {
    status.kind = LineStatus::Kind::kDisconnected;
  } else if (message == LINE_LINEDEVSTATE) {
    status.kind = LineStatus::Kind::kLineState;
  }
  status.text = telvane::StatusText(message, state, param, call_.RetryCountdown());
  on_status(status);
}

void LineDevice::NotifyLog(CallLog entry) {
  if (on_log) on_log(entry);
}

void LineDevice::ReportError(const std::exception& error) {
  if (on_error) on_error(error);
}

void LineDevice::NotifyFail() {
  if (!call_.MarkFailReported()) return;
  if (on_fail) on_fail(telvane::FailureText(call_.FailureCode()));
}

void LineDevice::Dial(const std::string& number) {
  wave_device_.reset();
  call_.Dial(number);
}

void LineDevice::HangUp() {
  player_.Stop();
  call_.Cancel();
}

void LineDevice::Play(const std::string& file_name, PlayDone done) {
  player_.Play(file_name, [this, done = std::move(done)](const PlayResult& result) {
    PlayResult told = result;
    // The sound ran out after the call had ended: the line carried its end to nobody.
    if (told.end == PlayEnd::kFinished && !call_.Active()) told.end = PlayEnd::kLineGone;
    if (done) done(told);
  });
}

}  // namespace telvane
