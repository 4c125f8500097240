// Placing an outgoing call, the waits for the telephony system's answers, the hang-up with
// its final report, the retry timer between attempts and the serial-port hand-over.
#include <cstring>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"
#include "telephony/tapi_device.h"

namespace telvane {

namespace {

constexpr int64_t kWaitLimitMs = 30000;
constexpr int64_t kRetryTickMs = 1000;
constexpr DWORD kAllLineStates = 0x01FFFFFF;
constexpr DWORD kAllAddressStates = 0x1FF;
// The dialled number travels as a NUL-terminated string in a fixed buffer of this size.
constexpr size_t kDialBufferSize = 252;

}  // namespace

void TApdCustomTapiDevice::CheckLineFree() {
  if (com_port_ == nullptr) throw EPortNotAssigned(ecPortNotAssigned);
  if (com_port_->TapiMode() == TTapiMode::tmAuto) com_port_->SetTapiMode(TTapiMode::tmOn);
  if (com_port_->TapiMode() != TTapiMode::tmOn) throw ETapiNotSet(ecTapiNotSet);
  if (CurrentCallState() != 0) throw ETapiBusy(ecTapiBusy);
}

void TApdCustomTapiDevice::Dial(const std::string& number) {
  CheckLineFree();
  // A number that does not fit the request's buffer is refused, never cut short: a
  // truncated number would ring somebody else.
  if (number.size() >= kDialBufferSize) {
    throw ETapiInvalAddress("Phone number too long (at most " +
                            std::to_string(kDialBufferSize - 1) + " characters)");
  }
  attempt_ = 1;
  retry_pending_ = true;
  dial_number_ = number;
  PlaceCall();
}

void TApdCustomTapiDevice::PlaceCall() {
  if (call_active_) return;
  InitializeTapi();
  call_cancelled_ = false;
  call_placed_ = true;
  SetLineOpen(true);

  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwBearerMode = LINEBEARERMODE_VOICE;
  params.dwMediaMode = enable_voice_ ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
  params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
  params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
  params.dwAddressID = 0;
  fail_reported_ = false;
  NotifyLog(TTapiLogCode::ltapiDial);

  char number[kDialBufferSize] = {};
  std::memcpy(number, dial_number_.data(), dial_number_.size());
  const LONG result =
      WaitForReply(tapi::lineMakeCall(line_handle_, &call_handle_, number, 0, &params));
  if (result >= 0) return;

  failure_code_ = result;
  NotifyLog(TTapiLogCode::ltapiDialFail);
  retry_pending_ = false;
  HangUp(/*clear_retry=*/true);
  if (!OnTapiFail) throw ETapiCallUnavail(-13805);
  PostNotification(3);
}

void TApdCustomTapiDevice::SetLineOpen(bool open) {
  InitializeTapi();
  const DWORD media = enable_voice_ ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
  if (open) device_id_ = GetDeviceID();
  if (open == line_open_) return;
  if (!open) {
    HangUp(/*clear_retry=*/false);
    return;
  }
  fail_reported_ = false;
  const DWORD privileges = call_placed_ ? LINECALLPRIVILEGE_NONE : LINECALLPRIVILEGE_OWNER;
  CheckTapiError(tapi::lineOpen(line_app_handle_, static_cast<DWORD>(device_id_), &line_handle_,
                                api_version_, 0, reinterpret_cast<DWORD_PTR>(this), privileges,
                                media, nullptr));
  call_active_ = true;
  line_used_ = true;
  CheckTapiError(tapi::lineSetStatusMessages(line_handle_, kAllLineStates, kAllAddressStates));
  line_open_ = true;
  if (attempt_ == 1 || !call_placed_) NotifyLog(TTapiLogCode::ltapiCallStart);
}

LONG TApdCustomTapiDevice::WaitForReply(LONG request) {
  if (waiting_for_reply_) return 1;
  if (request <= 0) return request;
  waiting_for_reply_ = true;
  reply_received_ = false;
  pending_request_ = request;
  reply_result_ = LINEERR_OPERATIONFAILED;
  const int32_t end = PumpUntil([this] { return reply_received_; });
  waiting_for_reply_ = false;
  return end == 0 ? reply_result_ : end;
}

int32_t TApdCustomTapiDevice::WaitForCallState(DWORD state) {
  if (waiting_for_state_) return 1;
  waiting_for_state_ = true;
  call_state_changed_ = false;
  const int32_t end = PumpUntil([this, state] {
    return state == 0 ? call_state_changed_ : last_call_state_ == state;
  });
  waiting_for_state_ = false;
  return end;
}

int32_t TApdCustomTapiDevice::PumpUntil(const std::function<bool()>& reached) {
  platform::MessageLoop& loop = *platform::MessageLoop::Current();
  // The limit is passed once more than kWaitLimitMs have gone by.
  const int64_t deadline = loop.DeadlineAfter(kWaitLimitMs + 1);
  loop.RunUntil([&] { return reached() || !call_active_; }, deadline);
  // After a message, a hang-up and then the time limit count before what was awaited.
  if (!call_active_) return 1;
  if (loop.NowMs() >= deadline) return 2;
  return 0;
}

int32_t TApdCustomTapiDevice::CurrentCallState() {
  if (call_handle_ == 0) return 0;
  platform::TapiBlock<LINECALLSTATUS> status;
  if (platform::QueryCallStatus(call_handle_, status) != 0 || !status) return 15;
  const DWORD state = status.get()->dwCallState;
  for (int32_t bit = 0; bit <= 14; ++bit) {
    if (state == (DWORD{1} << bit)) return bit;
  }
  return 15;
}

bool TApdCustomTapiDevice::HangUp(bool clear_retry) {
  const bool had_connected = call_connected_;
  if (hanging_up_) return true;
  hanging_up_ = true;
  // Whatever a step raises, the final report still runs and the guard is released; the
  // exception then goes on to the caller.
  std::exception_ptr failure;
  const bool was_active = call_active_;
  if (was_active) {
    try {
      const bool port_was_open = ClosePort();
      if (call_handle_ != 0) {
        if (CurrentCallState() != 0) {
          WaitForReply(tapi::lineDrop(call_handle_, nullptr, 0));
          WaitForCallState(LINECALLSTATE_IDLE);
        }
        tapi::lineDeallocateCall(call_handle_);
      }
      if (line_handle_ != 0) tapi::lineClose(line_handle_);
      call_handle_ = 0;
      line_handle_ = 0;
      line_open_ = false;
      call_connected_ = false;
      call_active_ = false;
      if (port_was_open) PostNotification(2);
      NotifyLog(TTapiLogCode::ltapiDrop);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (was_active || line_used_) {
    try {
      FinalReport(clear_retry, had_connected);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  hanging_up_ = false;
  if (was_active) {
    call_active_ = false;
  } else {
    ResetLineState();
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}

void TApdCustomTapiDevice::ResetLineState() {
  call_active_ = false;
  call_handle_ = 0;
  line_handle_ = 0;
  line_open_ = false;
  call_connected_ = false;
  fail_reported_ = false;
}

void TApdCustomTapiDevice::FinalReport(bool clear_retry, bool had_connected) {
  if (clear_retry) retry_pending_ = false;
  if (retry_pending_) {
    if (attempt_ < max_attempts_) {
      StartRetryTimer();
      return;
    }
    retry_pending_ = false;
  }
  NotifyStatus(false, true, 0, 0, 0, 0, 0);
  NotifyLog(TTapiLogCode::ltapiCallFinish);
  if (!had_connected) {
    NotifyLog(TTapiLogCode::ltapiDialFail);
    PostNotification(3);
  }
}

void TApdCustomTapiDevice::StartRetryTimer() {
  retry_timer_.Stop();
  retry_countdown_ = retry_wait_;
  retry_timer_.Start(kRetryTickMs, [this] { RetryTimerTick(); });
}

void TApdCustomTapiDevice::RetryTimerTick() {
  --retry_countdown_;
  if (CurrentCallState() != 0 || !retry_pending_) {
    retry_timer_.Stop();
    return;
  }
  if (retry_countdown_ > 0) {
    NotifyStatus(false, false, 0, kDeviceStatusMessage, 8, 0, 0);
    return;
  }
  retry_timer_.Stop();
  ++attempt_;
  // A failure of a later attempt has no caller to go back to.
  try {
    PlaceCall();
  } catch (const std::exception& error) {
    HandleApplicationException(error);
  }
}

bool TApdCustomTapiDevice::CancelCall() {
  if (wave_phase_ == TWavePhase::wpPlaying) StopWaveFile();
  call_cancelled_ = true;
  NotifyLog(TTapiLogCode::ltapiCancel);
  return HangUp(/*clear_retry=*/true);
}

int32_t TApdCustomTapiDevice::GetCommHandle() {
  const std::optional<DWORD> handle =
      GetLineID(line_handle_, call_handle_, LINECALLSELECT_CALL, "comm/datamodem");
  return handle ? static_cast<int32_t>(*handle) : -1;
}

void TApdCustomTapiDevice::OpenPort() {
  if (com_port_ == nullptr) return;
  try {
    com_port_->SetOpen(false);
    com_port_->SetTapiCid(static_cast<uint32_t>(GetCommHandle()));
    com_port_->SetOpen(true);
    PostNotification(1);
  } catch (const Exception&) {
    PostNotification(3);
  }
}

bool TApdCustomTapiDevice::ClosePort() {
  if (com_port_ == nullptr) return false;
  const bool was_open = com_port_->Open();
  com_port_->SetOpen(false);
  com_port_->SetTapiCid(0);
  return was_open;
}

}  // namespace telvane
