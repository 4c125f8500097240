#include "telephony/outgoing_call.h"

#include <cstring>
#include <exception>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"

namespace telvane {

namespace {

constexpr int64_t kWaitLimitMs = 30000;
constexpr int64_t kRetryTickMs = 1000;
constexpr DWORD kAllLineStates = 0x01FFFFFF;
constexpr DWORD kAllAddressStates = 0x1FF;
// The dialled number travels as a NUL-terminated string in a fixed buffer of this size.
constexpr size_t kDialBufferSize = 252;

}  // namespace

OutgoingCall::OutgoingCall(Host& host) : host_(host) {}

void OutgoingCall::CheckLineFree() {
  if (CurrentCallState() != 0) throw ETapiBusy(ecTapiBusy);
}

void OutgoingCall::Dial(const std::string& number) {
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

void OutgoingCall::PlaceCall() {
  if (active_) return;
  host_.InitializeTapi();
  placed_ = true;
  SetLineOpen(true);

  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwBearerMode = LINEBEARERMODE_VOICE;
  params.dwMediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
  params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
  params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
  params.dwAddressID = 0;
  fail_reported_ = false;
  host_.NotifyLog(CallLog::kDial);

  char number[kDialBufferSize] = {};
  std::memcpy(number, dial_number_.data(), dial_number_.size());
  const ReplyWait reply =
      WaitForReply(tapi::lineMakeCall(line_handle_, &call_handle_, number, 0, &params));
  // A reply that never came, or a wait cut short, leaves the call under way.
  if (reply.end != CallWait::kReached || reply.result >= 0) return;

  failure_code_ = reply.result;
  host_.NotifyLog(CallLog::kDialFail);
  retry_pending_ = false;
  HangUp(/*clear_retry=*/true);
  if (!host_.HasFailHandler()) throw ETapiCallUnavail(-13805);
  host_.PostNotification(DeviceNotification::kFail);
}

void OutgoingCall::SetLineOpen(bool open) {
  host_.InitializeTapi();
  const int32_t device_id = open ? host_.GetDeviceID() : -1;
  if (open == line_open_) return;
  if (!open) {
    HangUp(/*clear_retry=*/false);
    return;
  }
  fail_reported_ = false;
  // The call only places calls: it asks for no calls offered to the line.
  CheckTapiError(tapi::lineOpen(host_.LineAppHandle(), static_cast<DWORD>(device_id), &line_handle_,
                                host_.ApiVersion(), 0, host_.CallbackInstance(),
                                LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr));
  active_ = true;
  line_used_ = true;
  CheckTapiError(tapi::lineSetStatusMessages(line_handle_, kAllLineStates, kAllAddressStates));
  line_open_ = true;
  if (attempt_ == 1) host_.NotifyLog(CallLog::kCallStart);
}

ReplyWait OutgoingCall::WaitForReply(LONG request) {
  if (waiting_for_reply_) return {CallWait::kAbandoned, 0};
  if (request <= 0) return {CallWait::kReached, request};
  waiting_for_reply_ = true;
  reply_received_ = false;
  pending_request_ = request;
  reply_result_ = LINEERR_OPERATIONFAILED;
  const CallWait end = WaitUntil([this] { return reply_received_; });
  waiting_for_reply_ = false;
  return {end, reply_result_};
}

CallWait OutgoingCall::WaitForCallState(DWORD state) {
  if (waiting_for_state_) return CallWait::kAbandoned;
  waiting_for_state_ = true;
  call_state_changed_ = false;
  const CallWait end = WaitUntil(
      [this, state] { return state == 0 ? call_state_changed_ : last_call_state_ == state; });
  waiting_for_state_ = false;
  return end;
}

CallWait OutgoingCall::WaitUntil(const std::function<bool()>& reached) {
  platform::MessageLoop& loop = *platform::MessageLoop::Current();
  // The limit is passed once more than kWaitLimitMs have gone by.
  const int64_t deadline = loop.DeadlineAfter(kWaitLimitMs + 1);
  loop.RunUntil([&] { return reached() || !active_; }, deadline);
  // After a message, a hang-up and then the time limit count before what was awaited.
  if (!active_) return CallWait::kAbandoned;
  if (loop.NowMs() >= deadline) return CallWait::kTimedOut;
  return CallWait::kReached;
}

int32_t OutgoingCall::CurrentCallState() {
  if (call_handle_ == 0) return 0;
  platform::TapiBlock<LINECALLSTATUS> status;
  if (platform::QueryCallStatus(call_handle_, status) != 0 || !status) return 15;
  const DWORD state = status.get()->dwCallState;
  for (int32_t bit = 0; bit <= 14; ++bit) {
    if (state == (DWORD{1} << bit)) return bit;
  }
  return 15;
}

bool OutgoingCall::HangUp(bool clear_retry) {
  const bool had_connected = connected_;
  if (hanging_up_) return true;
  hanging_up_ = true;
  // Whatever a step raises, the final report still runs and the guard is released; the
  // exception then goes on to the caller.
  std::exception_ptr failure;
  const bool was_active = active_;
  if (was_active) {
    try {
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
      connected_ = false;
      active_ = false;
      host_.NotifyLog(CallLog::kDrop);
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
    active_ = false;
  } else {
    ResetLineState();
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}

void OutgoingCall::ResetLineState() {
  active_ = false;
  call_handle_ = 0;
  line_handle_ = 0;
  line_open_ = false;
  connected_ = false;
  fail_reported_ = false;
}

void OutgoingCall::FinalReport(bool clear_retry, bool had_connected) {
  if (clear_retry) retry_pending_ = false;
  if (retry_pending_) {
    if (attempt_ < max_attempts_) {
      StartRetryTimer();
      return;
    }
    retry_pending_ = false;
  }
  host_.NotifyLog(CallLog::kCallFinish);
  if (!had_connected) {
    host_.NotifyLog(CallLog::kDialFail);
    host_.PostNotification(DeviceNotification::kFail);
  }
}

void OutgoingCall::StartRetryTimer() {
  retry_timer_.Stop();
  retry_countdown_ = retry_wait_;
  retry_timer_.Start(kRetryTickMs, [this] { RetryTimerTick(); });
}

void OutgoingCall::RetryTimerTick() {
  --retry_countdown_;
  if (CurrentCallState() != 0 || !retry_pending_) {
    retry_timer_.Stop();
    return;
  }
  if (retry_countdown_ > 0) {
    host_.NotifyStatus(kDeviceStatusMessage, kRetryWaitState, 0);
    return;
  }
  retry_timer_.Stop();
  ++attempt_;
  // A failure of a later attempt has no caller to go back to.
  try {
    PlaceCall();
  } catch (const std::exception& error) {
    host_.ReportError(error);
  }
}

void OutgoingCall::Cancel() {
  host_.NotifyLog(CallLog::kCancel);
  HangUp(/*clear_retry=*/true);
}

void OutgoingCall::OnReply(LONG request, LONG result) {
  if (request != pending_request_) return;
  reply_received_ = true;
  reply_result_ = result;
}

void OutgoingCall::OnCallState(DWORD state) {
  last_call_state_ = state;
  call_state_changed_ = true;
}

void OutgoingCall::OnConnected() {
  connected_ = true;
  retry_timer_.Stop();
  retry_pending_ = false;
}

void OutgoingCall::OnDisconnected(DWORD mode) { failure_code_ = static_cast<int32_t>(mode); }

void OutgoingCall::OnLineClosed() {
  line_handle_ = 0;
  call_handle_ = 0;
  HangUp(/*clear_retry=*/true);
}

bool OutgoingCall::MarkFailReported() {
  if (fail_reported_) return false;
  fail_reported_ = true;
  return true;
}

}  // namespace telvane
