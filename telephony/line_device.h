// The telephony line device as the application sees it.
//
// LineDevice registers with the telephony system as a line application, lists the line
// devices that can place calls (DeviceList), places one outgoing voice call at a time on the
// selected device, plays sound into it and reports what happens through its events:
//
//   LineDevice device;
//   device.SetSelectedDevice(device.DeviceList().front());
//   device.CheckVoiceSupport();                    // raises ETapiVoiceNotSupported
//   device.Dial("5551234");                        // returns at once
//   loop.RunUntil([&] { return device.CallConnected(); }, deadline);
//   device.Play("hello.wav", [&](const PlayResult& result) { ... });   // ends once
//   ... run the thread's message loop; events fire from inside it ...
//   device.HangUp();
//
// The device itself is the line application (registration, device list, name lookup, voice
// check), the entry of the telephony system's line callback and the window its deferred
// notifications go through. Its public face forwards to the parts it owns: the outgoing call
// (telephony/outgoing_call.h), the wave player (voice/wave_player.h) and the digit monitor
// (voice/dtmf_monitor.h).
//
// Threads: loop thread only. Every event fires on the thread that created the device and
// only while that thread dispatches its messages or inside a device operation that itself
// waits on the queue. Handlers may call back into the device.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/tapi.h"
#include "platform/tapi_binding.h"
#include "telephony/device_notification.h"
#include "telephony/line_reports.h"
#include "telephony/outgoing_call.h"
#include "voice/dtmf_monitor.h"
#include "voice/wave_player.h"

namespace telvane {

class LineDevice : private OutgoingCall::Host {
 public:
  // Registers with the telephony system and lists its line devices. A failure leaves the
  // list empty; nothing is raised.
  LineDevice();
  // Hangs up a call still open and ends the line application.
  ~LineDevice() override;
  LineDevice(const LineDevice&) = delete;
  LineDevice& operator=(const LineDevice&) = delete;

  // --- Properties -------------------------------------------------------------------------

  // Name of the line device to use, exactly as listed in DeviceList.
  const std::string& SelectedDevice() const { return selected_device_; }
  // Choosing a device forgets the identifier found for the one before; no telephony I/O.
  void SetSelectedDevice(const std::string& name);

  // Seconds between dial attempts, and attempts per Dial (the first included).
  uint16_t RetryWait() const { return call_.RetryWait(); }
  void SetRetryWait(uint16_t seconds) { call_.SetRetryWait(seconds); }
  uint16_t MaxAttempts() const { return call_.MaxAttempts(); }
  void SetMaxAttempts(uint16_t attempts) { call_.SetMaxAttempts(attempts); }

  // Names of the line devices that can place voice or data-modem calls, in the telephony
  // device order; read at construction.
  const std::vector<std::string>& DeviceList() const { return device_list_; }
  // Those of DeviceList that offer automated voice, in the same order.
  const std::vector<std::string>& VoiceLines() const { return voice_lines_; }
  // Whether the call has been answered and not ended since: the one place that knows.
  bool CallConnected() const { return call_.Connected(); }
  // True from the first dial attempt on.
  bool CallPlaced() const { return call_.Placed(); }
  // The negative telephony error of a failed call request, or the disconnect mode of the
  // last disconnected call; never reset.
  int32_t FailureCode() const { return call_.FailureCode(); }
  // Whole seconds left before the next dial attempt.
  int32_t RetryCountdown() const { return call_.RetryCountdown(); }

  // --- Operations -------------------------------------------------------------------------

  // Looks SelectedDevice up afresh, in one pass over the lines, for the dial attempts that
  // follow; raises ETapiVoiceNotSupported unless it is a line device that offers automated
  // voice.
  void CheckVoiceSupport();
  // Starts an outgoing call to the number exactly as passed and returns without waiting for
  // the answer. Raises ETapiBusy, ETapiNoSelect or a mapped telephony error, and
  // ETapiCallUnavail when the request fails with no on_fail handler.
  void Dial(const std::string& number);
  // Stops a running playback (it ends with PlayEnd::kLineGone), logs the cancel, hangs up,
  // ends pending retries.
  void HangUp();
  // Starts playing the file into the call and returns at once. `done` is called once, when
  // the playback has ended: its sound ran out (kFinished, or kLineGone when the call had
  // ended meanwhile: a hang-up by the other side does not stop the sound), a key stopped it
  // (kKey), or HangUp did (kLineGone, called inside HangUp). Raises ETapiWaveFail, and
  // `done` is not called then.
  void Play(const std::string& file_name, PlayDone done);
  // Whether the line has carried some of the sound of the file played last, so far: the
  // callee could hear it, where a line that could not yet carry sound (a modem that has not
  // started transmitting) holds it unheard.
  bool PlayCarriedSound() const { return player_.CarriedSound(); }

  // --- Events (each fires only when it holds a handler) ----------------------------------

  // Every telephony report on the line and its call, and each second of a retry wait.
  std::function<void(const LineStatus& status)> on_status;
  // The points of the call's history.
  std::function<void(CallLog entry)> on_log;
  // At most once per call: the call ended without connecting and no attempt is left, or the
  // call request failed; with the reason's text (FailureCode's).
  std::function<void(const std::string& reason)> on_fail;
  // A DTMF key pressed by the listener; a blank once when the line cannot report keys.
  std::function<void(char key)> on_key;
  // What the wave output of a playback reported.
  std::function<void(WaveReport report)> on_wave_report;
  // A failure while handling a telephony message or a deferred notification, which has no
  // caller to go back to.
  std::function<void(const std::exception& error)> on_error;

  // --- The line application and the parts, as tests see them ------------------------------

  // Ensures a line application exists (registering when there is none); true when one
  // exists afterwards. A start-up under way (re-entered through pumping) gives false.
  bool InitializeTapi() override;
  // The telephony identifier of the line device of that exact name, -1 when none.
  int32_t FindDeviceID(const std::string& name);
  // The identifier of SelectedDevice: the one the last voice check found, else looked up by
  // name (and kept until another device is selected or checked). Raises ETapiNoSelect for a
  // name no line device has.
  int32_t GetDeviceID() override;
  // The number of listed devices (raised by a LINE_CREATE until the list is read again).
  int32_t DeviceCount() const { return device_count_; }

  const OutgoingCall& Call() const { return call_; }
  const WavePlayer& Player() const { return player_; }
  // The hidden window of the device's deferred notifications and wave-output reports.
  const platform::MessageWindow& NotifyWindow() const { return notify_window_; }

  // The procedure registered with lineInitialize: the telephony system reports every line
  // message here, with the device that opened the line as the instance.
  static void CALLBACK LineCallback(DWORD device, DWORD message, DWORD_PTR instance,
                                    DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);

 private:
  // What the outgoing call asks of its device.
  HLINEAPP LineAppHandle() const override { return line_app_handle_; }
  DWORD ApiVersion() const override { return api_version_; }
  DWORD_PTR CallbackInstance() override { return reinterpret_cast<DWORD_PTR>(this); }
  void NotifyStatus(int32_t message, int32_t state, int32_t param) override;
  void NotifyLog(CallLog entry) override;
  void PostNotification(DeviceNotification code) override;
  bool HasFailHandler() const override { return static_cast<bool>(on_fail); }
  void ReportError(const std::exception& error) override;

  // --- Line application (line_device.cpp) ------------------------------------------------
  void ShutdownTapi();
  void EnumerateDevices();
  bool NegotiateVersion(DWORD id);
  bool LineIsUsable(DWORD id, const LINEDEVCAPS& caps);
  bool LineHasWaveOutput(DWORD id);
  static bool TakesVoice(const LINEDEVCAPS& caps);
  struct FoundLine {
    int32_t id;
    bool takes_voice;
  };
  // The first line device of that exact name, in one pass over the lines.
  std::optional<FoundLine> FindLine(const std::string& name);
  // The wave device the current call names for its sound, asked once per call. Raises
  // ETapiWaveFail.
  UINT CallWaveDevice();
  void NotifyFail();

  // --- Line events (line_events.cpp) ------------------------------------------------------
  // LINE_CALLSTATE: the call's new state, and with LINECALLSTATE_DISCONNECTED its mode.
  void OnCallState(DWORD state, DWORD mode);
  void OnLineCreated(DWORD id);
  // LINE_LINEDEVSTATE: the line's new state and its two parameters.
  void OnLineState(DWORD state, DWORD p2, DWORD p3);
  void OnKey(DWORD p1);
  void HandleWindowMessage(uint32_t message, uintptr_t wparam, intptr_t lparam);
  void HandleDeviceNotification(DeviceNotification code, intptr_t argument);

  std::vector<std::string> device_list_;
  std::vector<std::string> voice_lines_;
  std::string selected_device_;

  // The line application.
  HLINEAPP line_app_handle_ = 0;
  LINEEXTENSIONID extension_id_{};
  int32_t device_id_ = -1;  // -1: not looked up for the selected device yet
  // The wave device of the call whose handle is kept beside it.
  std::optional<UINT> wave_device_;
  HCALL wave_device_call_ = 0;
  DWORD api_version_ = 0;
  int32_t device_count_ = 0;
  int32_t num_devices_ = 0;
  bool starting_ = false;
  bool shut_down_ = false;

  // The window first: the parts report through it, and it goes last.
  platform::MessageWindow notify_window_;
  OutgoingCall call_;
  WavePlayer player_;
  DigitMonitor digits_;
};

}  // namespace telvane
