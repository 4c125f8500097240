// An outgoing voice call on the line device: the device's Dial and HangUp, the opening of the
// line, the waits for the telephony system's answers, the hang-up with its final report and
// the retry timer between attempts.
//
// The line device owns one call and forwards to it; the device's line events report here
// (OnReply, OnCallState, OnConnected...) and the call asks the device, through Host, for
// what belongs to the line application and for the device's notifications.
//
//   OutgoingCall call(device);
//   call.Dial("5551234");       // returns once the call request is under way
//   ... the device's line events: call.OnReply(request, result), call.OnCallState(state) ...
//   call.Cancel();
//
// Threads: loop thread only. The waits handle the loop's messages one at a time, so line
// events and the application's handlers run inside Dial, HangUp and WaitForReply; the
// re-entry guards make a nested HangUp or wait of the same kind return at once.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/tapi.h"
#include "platform/timers.h"
#include "telephony/device_notification.h"
#include "telephony/line_reports.h"

namespace telvane {

// How a wait of the call ended.
enum class CallWait {
  kReached = 0,    // what was awaited came
  kAbandoned = 1,  // a wait of the kind was under way already, or the line was hung up
  kTimedOut = 2,   // 30 s passed first
};

// A wait for a request's LINE_REPLY: the reply's result once it came. A request that failed
// at once (0 or negative) is its own result, reached without waiting.
struct ReplyWait {
  CallWait end;
  LONG result;
};

class OutgoingCall {
 public:
  // What the call asks of the line device that owns it.
  class Host {
   public:
    // Ensures the line application exists; true when it does.
    virtual bool InitializeTapi() = 0;
    virtual HLINEAPP LineAppHandle() const = 0;
    // The API version negotiated for the device queried last.
    virtual DWORD ApiVersion() const = 0;
    // The selected device's identifier, resolved by name; raises ETapiNoSelect.
    virtual int32_t GetDeviceID() = 0;
    // The instance the telephony system hands back with the line's messages.
    virtual DWORD_PTR CallbackInstance() = 0;
    // A status of the call: the telephony message, its state and parameter.
    virtual void NotifyStatus(int32_t message, int32_t state, int32_t param) = 0;
    virtual void NotifyLog(CallLog entry) = 0;
    virtual void PostNotification(DeviceNotification code) = 0;
    virtual bool HasFailHandler() const = 0;
    // A failure of a later attempt, which has no caller to go back to.
    virtual void ReportError(const std::exception& error) = 0;

   protected:
    virtual ~Host() = default;
  };

  explicit OutgoingCall(Host& host);
  OutgoingCall(const OutgoingCall&) = delete;
  OutgoingCall& operator=(const OutgoingCall&) = delete;

  // --- Properties (forwarded by the device) -------------------------------------------------

  // Seconds between dial attempts, and attempts per Dial (the first included).
  uint16_t RetryWait() const { return retry_wait_; }
  void SetRetryWait(uint16_t seconds) { retry_wait_ = seconds; }
  uint16_t MaxAttempts() const { return max_attempts_; }
  void SetMaxAttempts(uint16_t attempts) { max_attempts_ = attempts; }

  // True from the first dial attempt on.
  bool Placed() const { return placed_; }
  // The negative telephony error of a failed call request, or the disconnect mode of the last
  // disconnected call; never reset.
  int32_t FailureCode() const { return failure_code_; }
  // Whole seconds left before the next dial attempt.
  int32_t RetryCountdown() const { return retry_countdown_; }

  // The line and call, for the device's line events and for tests.
  HLINE LineHandle() const { return line_handle_; }
  HCALL CallHandle() const { return call_handle_; }
  // A line was opened and not yet hung up.
  bool Active() const { return active_; }
  bool LineOpen() const { return line_open_; }
  bool Connected() const { return connected_; }

  // --- Operations ---------------------------------------------------------------------------

  // Starts a call to the number exactly as passed and returns without waiting for the
  // answer. Raises ETapiBusy, ETapiNoSelect or a mapped telephony error, and
  // ETapiCallUnavail when the request fails with no on_fail handler.
  void Dial(const std::string& number);
  // Logs the cancel, hangs up and ends pending retries (the device stops a playback first).
  void Cancel();
  // Opens the line of the selected device for a call, or hangs up.
  void SetLineOpen(bool open);
  // Drops the call and closes the line if one was opened, then reports the call's end or
  // starts the retry wait. clear_retry ends pending retries. True; a step that raised is
  // raised again after the final report.
  bool HangUp(bool clear_retry);
  // Waits for the LINE_REPLY of an asynchronous request.
  ReplyWait WaitForReply(LONG request);

  // --- Line events (from the device's handlers) -----------------------------------------------

  // A LINE_REPLY; only the awaited request's counts.
  void OnReply(LONG request, LONG result);
  // Every LINE_CALLSTATE, before the device acts on it.
  void OnCallState(DWORD state);
  // The call reached LINECALLSTATE_CONNECTED for the first time: no further attempt follows.
  void OnConnected();
  // LINECALLSTATE_DISCONNECTED with its disconnect mode.
  void OnDisconnected(DWORD mode);
  // LINE_CLOSE: the line and the call are gone; hangs up with retries cleared.
  void OnLineClosed();
  // The once-per-call guard of on_fail: true (and set) when no failure was reported yet.
  bool MarkFailReported();
  // A new line application knows no line and no call of an earlier one.
  void ForgetHandles() {
    line_handle_ = 0;
    call_handle_ = 0;
  }

 private:
  void CheckLineFree();
  void PlaceCall();
  void FinalReport(bool clear_retry, bool had_connected);
  void ResetLineState();
  CallWait WaitForCallState(DWORD state);
  // Handles messages until reached() holds, the line is hung up meanwhile or 30 s passed.
  CallWait WaitUntil(const std::function<bool()>& reached);
  // The call's state as the number of its single LINECALLSTATE bit: 0 without a call, 15
  // when unknown.
  int32_t CurrentCallState();
  void StartRetryTimer();
  void RetryTimerTick();

  Host& host_;
  uint16_t retry_wait_ = 60;
  uint16_t max_attempts_ = 3;

  bool placed_ = false;
  int32_t failure_code_ = 0;
  int32_t retry_countdown_ = 0;

  HLINE line_handle_ = 0;
  HCALL call_handle_ = 0;
  std::string dial_number_;
  uint16_t attempt_ = 0;
  platform::RepeatingTimer retry_timer_;
  LONG pending_request_ = 0;
  LONG reply_result_ = 0;
  DWORD last_call_state_ = 0;
  bool reply_received_ = false;
  bool call_state_changed_ = false;
  bool active_ = false;
  bool line_used_ = false;  // a line has been opened at least once
  bool connected_ = false;
  bool hanging_up_ = false;
  bool retry_pending_ = false;
  bool fail_reported_ = false;
  bool waiting_for_reply_ = false;
  bool waiting_for_state_ = false;
  bool line_open_ = false;
};

}  // namespace telvane
