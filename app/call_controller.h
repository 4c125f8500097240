// The call controller: one telephone call at a time on the line device, from dialling to
// hang-up, as the run plan says.
//
// CallController dials, waits for the answer, plays the greeting until a key is pressed or
// the greeting count is used up, plays the message, and leaves the outcome in ResultCode and
// ResultText.
//
//   CallController controller(device, plan.call, /*debug=*/nullptr);
//   controller.Call("5551234");            // never raises
//   if (controller.ResultCode == 0) ...    // completed
//
// Threads: loop thread only. The device's events run inside the controller's waits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/run_plan.h"
#include "telephony/line_device.h"

namespace telvane {

// Where the controller's debug lines go.
using DebugWriter = std::function<void(const std::string& message)>;

// Where the call is in its play sequence; the numbers appear in debug lines and are fixed.
enum class PlayState : int32_t {
  kNone = 0,
  kStartGreeting = 1,
  kPlayingGreeting = 2,
  kGreetingDone = 3,
  kStartMessage = 4,
  kPlayingMessage = 5,
  kMessageDone = 6,
  kCompleted = 9,
  kFailed = 10,
  kRepeatMessage = 11,
};

// Outcome of the last call.
inline constexpr int32_t kResultCompleted = 0;
inline constexpr int32_t kResultNoCall = 1;
inline constexpr int32_t kResultFailed = 2;

class CallController {
 public:
  // Calls through `device` as `plan` says; writes debug lines to `debug` when it holds a
  // writer. The device and the plan outlive the controller.
  CallController(LineDevice& device, const CallPlan& plan, DebugWriter debug);
  // Leaves the device without handlers: nothing of the controller is reached after it.
  ~CallController();
  CallController(const CallController&) = delete;
  CallController& operator=(const CallController&) = delete;

  // Places one call and runs the play sequence; sets ResultCode and ResultText. Never
  // raises the general exception class.
  void Call(const std::string& number);

  PlayState State() const { return state_; }
  int32_t GreetingCount() const { return greeting_count_; }
  // Whether the listener pressed a key in the last call while the greeting played (with
  // SkipIntro, while the message played): the call was acknowledged by a person.
  bool KeyPressed() const { return key_pressed_; }

  // Read by the run.
  std::string ResultText;
  int32_t ResultCode = kResultNoCall;

 private:
  void WriteDebug(const std::string& message);
  std::string StateNumber() const;
  // The steps of a call, in order: each returns once its part is over or the call has ended.
  void WaitForConnect();
  void PlaySequence();
  // The greeting, again and again, until a key stops it or max_greetings have played.
  void GreetUntilKey();
  // The message, once, or with skip_intro again and again until a key (with require_key) or
  // message_duration_s.
  void PlayMessage(int64_t start_ms);
  // Handles the device's events until one moves the call on from `state`; returns where.
  PlayState WaitWhile(PlayState state);
  bool Ended() const { return state_ == PlayState::kCompleted || state_ == PlayState::kFailed; }
  // A call that would complete, but RequireKey asked for a key that never came.
  bool Unacknowledged() const { return plan_.require_key && !key_pressed_; }
  // In the message phase, the line has carried some of the message's sound on this call:
  // somebody heard it, and a later error or hang-up does not make the call unheard. A
  // message started on a line that held it unheard (a modem that never started its sound)
  // does not count.
  bool MessageHeard() const;

  // The device's events, which arrive inside the steps' waits.
  void HandleKey();
  void HandleFail(const std::string& reason);
  void HandleStatus(const LineStatus& status);

  LineDevice& device_;
  const CallPlan& plan_;
  DebugWriter debug_;
  PlayState state_ = PlayState::kNone;
  int32_t greeting_count_ = 0;
  // Whether the message has been started in the current call.
  bool message_started_ = false;
  // Whether the line carried some of a finished play of the message in the current call.
  bool message_heard_ = false;
  bool key_pressed_ = false;
};

}  // namespace telvane
