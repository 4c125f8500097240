// The call controller and its debug line writer.
//
// CallController runs one telephone call at a time from dialling to hang-up: it owns the line
// device and the serial-port component the device requires, chooses the device, dials,
// waits for the answer, plays the greeting until a key is pressed or the greeting count is
// used up, plays the message, and leaves the outcome in ResultCode and ResultText.
//
//   CallController controller(/*device_name=*/"");
//   if (controller.FindDevice() && controller.CheckVoice()) {
//     controller.MessageFile = "/alerts/router.wav";
//     controller.Call("5551234");            // never raises
//     if (controller.ResultCode == 0) ...    // completed
//   }
//
// Threads: loop thread only. The device's events run inside the controller's waits, which
// dispatch the thread's message queue one message at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "telephony/line_device.h"

namespace telvane {

// The controller's debug output.
using TDebugEvent = std::function<void(const std::string& message)>;

// Play states; the numbers appear in debug lines and are fixed.
enum PlayState : int32_t {
  psNone = 0,
  psStartGreeting = 1,
  psPlayingGreeting = 2,
  psGreetingDone = 3,
  psStartMessage = 4,
  psPlayingMessage = 5,
  psMessageDone = 6,
  psCompleted = 9,
  psFailed = 10,
  psRepeatMessage = 11,
};

// Outcome of the last call.
inline constexpr int32_t kResultCompleted = 0;
inline constexpr int32_t kResultNoCall = 1;
inline constexpr int32_t kResultFailed = 2;

class CallController {
 public:
  // Loads the settings and builds the line device (errors while building it propagate).
  // An empty device_name takes the settings' TAPIDeviceName.
  explicit CallController(const std::string& device_name);
  // Hangs up a placed call, then frees the device and the port.
  ~CallController();
  CallController(const CallController&) = delete;
  CallController& operator=(const CallController&) = delete;

  // Chooses the line device: the listed name equal to DeviceName ignoring case, else the
  // first listed device that accepts voice. Stores the choice in DeviceName.
  bool FindDevice();
  // True if the selected line device accepts voice; never raises.
  bool CheckVoice();
  // True if the greeting file exists.
  bool GreetingExists();
  // Places one call and runs the play sequence; sets ResultCode and ResultText. Never
  // raises the general exception class.
  void Call(const std::string& number);

  LineDevice& Device() { return *device_; }
  int32_t State() const { return state_; }
  bool Connected() const { return connected_; }
  int32_t GreetingCount() const { return greeting_count_; }
  const std::string& DeviceName() const { return device_name_; }
  const std::string& GreetingFile() const { return greeting_file_; }
  // The greeting to play instead of the configured one (a spoken text made into a WAV).
  void SetGreetingFile(const std::string& file_name) { greeting_file_ = file_name; }
  // Whether the listener pressed a key in the last call while the greeting played (with
  // SkipIntro, while the message played): the call was acknowledged by a person.
  bool KeyPressed() const { return key_pressed_; }

  // Set or read by the run.
  std::string MessageFile;
  std::string ResultText;
  int32_t ResultCode = kResultNoCall;
  TDebugEvent OnDebug;
  bool SkipIntro = false;
  // A call completes only when KeyPressed; otherwise it fails with "No key pressed" once the
  // message has played (with SkipIntro, a key ends the repeats after the current play).
  bool RequireKey = false;

 private:
  void WriteDebug(const std::string& message);
  // Dispatches at most one queued message without waiting; false when there was none.
  bool PumpMessage();
  void WaitForConnect();
  void PlaySequence();
  void RunStateAction(int64_t start_ms);
  // A call that would complete, but RequireKey asked for a key that never came.
  bool Unacknowledged() const { return RequireKey && !key_pressed_; }
  // In the message phase, the line has carried some of the message's sound on this call:
  // somebody heard it, and a later error or hang-up does not make the call unheard. A
  // message started on a line that held it unheard (a modem that never started its sound)
  // does not count.
  bool MessageHeard() const;

  void HandleConnect();
  void HandleDTMF(char digit);
  void HandleWaveNotify(WaveReport report);
  void HandleFail();
  void HandleStatus(bool first, bool last, int32_t device, int32_t message, int32_t param1,
                    int32_t param2, int32_t param3);

  std::unique_ptr<LineDevice> device_;
  bool connected_ = false;
  int32_t state_ = psNone;
  int32_t greeting_count_ = 0;
  std::string device_name_;
  std::string greeting_file_;
  bool play_interrupted_ = false;
  // Whether the message has been started in the current call.
  bool message_started_ = false;
  // Whether the line carried some of an earlier play of the message in the current call.
  bool message_heard_ = false;
  bool key_pressed_ = false;
};

// Writes the controller's debug lines to standard output with a time stamp.
class QoPlayLogger {
 public:
  void LogDebug(const std::string& message);
};

}  // namespace telvane
