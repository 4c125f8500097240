// The telephony line device as the application sees it.
//
// TApdTapiDevice registers with the telephony system as a line application, lists the line
// devices that can place calls (DeviceList), places one outgoing call at a time on the
// selected device, plays sound into it and reports what happens through events. Usage:
//
//   TApdTapiDevice device(nullptr);
//   device.SetComPort(&port);                      // required before Dial, never opened
//   device.SetSelectedDevice(device.DeviceList().front());
//   device.SetEnableVoice(true);                   // raises ETapiVoiceNotSupported
//   device.OnTapiConnect = [&](TObject&) { device.PlayWaveFile("hello.wav"); };
//   device.Dial("5551234");                        // returns at once
//   ... pump the thread's message loop; events fire from inside the pump ...
//   device.CancelCall();
//
// The device itself is the line application (registration, device list, name lookup, voice
// check), the entry of the telephony system's line callback and the window its deferred
// notifications go through. Its public face forwards to the parts it owns: the outgoing call
// (telephony/outgoing_call.h), the wave playback (voice/wave_playback.h) and the digit
// monitor (voice/dtmf_monitor.h).
//
// Threads: loop thread only. Every event fires on the thread that created the device and
// only while that thread dispatches its messages or inside a device operation that itself
// waits on the queue. Handlers may call back into the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/message_loop.h"
#include "platform/tapi.h"
#include "platform/tapi_binding.h"
#include "telephony/com_port.h"
#include "telephony/device_notification.h"
#include "telephony/outgoing_call.h"
#include "telephony/tapi_events.h"
#include "voice/dtmf_monitor.h"
#include "voice/wave_playback.h"

namespace telvane {

// Optional progress display and call history log; a console program attaches neither, but
// tests attach a log to follow the call's history.
class TApdAbstractTapiStatus : public TApdBaseComponent {
 public:
  using TApdBaseComponent::TApdBaseComponent;
  virtual void UpdateDisplay(bool first, bool last, int32_t device, int32_t message, int32_t param1,
                             int32_t param2, int32_t param3) = 0;
};

class TApdTapiLog : public TApdBaseComponent {
 public:
  using TApdBaseComponent::TApdBaseComponent;
  virtual void UpdateLog(TTapiLogCode log) = 0;
};

class TApdCustomTapiDevice : public TApdBaseComponent, private OutgoingCall::Host {
 public:
  explicit TApdCustomTapiDevice(TApdBaseComponent* owner);
  ~TApdCustomTapiDevice() override;

  // --- Published properties -------------------------------------------------------------

  // Name of the line device to use, exactly as listed in DeviceList. Setting it while
  // EnableVoice is on checks the new device for voice (and may raise as SetEnableVoice).
  const std::string& SelectedDevice() const { return selected_device_; }
  void SetSelectedDevice(const std::string& name);

  // Must be set before Dial; in voice mode it is never opened. Not owned.
  TApdCustomComPort* ComPort() const { return call_.ComPort(); }
  void SetComPort(TApdCustomComPort* port) { call_.SetComPort(port); }

  TApdAbstractTapiStatus* StatusDisplay() const { return status_display_; }
  void SetStatusDisplay(TApdAbstractTapiStatus* display) { status_display_ = display; }
  TApdTapiLog* TapiLog() const { return tapi_log_; }
  void SetTapiLog(TApdTapiLog* log) { tapi_log_ = log; }

  // Ring count at which an offered call is answered.
  uint8_t AnswerOnRing() const { return answer_on_ring_; }
  void SetAnswerOnRing(uint8_t rings) { answer_on_ring_ = rings; }

  // Seconds between dial attempts, and attempts per Dial (the first included).
  uint16_t RetryWait() const { return call_.RetryWait(); }
  void SetRetryWait(uint16_t seconds) { call_.SetRetryWait(seconds); }
  uint16_t MaxAttempts() const { return call_.MaxAttempts(); }
  void SetMaxAttempts(uint16_t attempts) { call_.SetMaxAttempts(attempts); }

  // Whether a name that matches no device may be resolved through a selection dialog.
  bool ShowTapiDevices() const { return show_tapi_devices_; }
  void SetShowTapiDevices(bool show) { show_tapi_devices_ = show; }
  bool ShowPorts() const { return show_ports_; }
  void SetShowPorts(bool show) { show_ports_ = show; }

  // Voice mode. Turning it on with a device selected checks that device: afterwards it
  // reads true only when the device offers automated voice; otherwise it reads false and
  // the setter raises ETapiVoiceNotSupported. With no device selected nothing is checked.
  bool EnableVoice() const override { return enable_voice_; }
  void SetEnableVoice(bool enable);

  // DeviceList holds only devices that can place voice or data-modem calls.
  // Changing it lists the devices again.
  bool FilterUnsupportedDevices() const { return filter_unsupported_devices_; }
  void SetFilterUnsupportedDevices(bool filter);

  // --- Public fields ----------------------------------------------------------------------

  // Names of the usable line devices, in the telephony device order; filled at construction.
  const std::vector<std::string>& DeviceList() const { return device_list_; }
  // True once CancelCall ran; false again when a dial attempt starts. A hang-up by the
  // remote side never sets it.
  bool CallCancelled() const { return call_.Cancelled(); }
  // True from the first dial attempt on.
  bool CallPlaced() const { return call_.Placed(); }
  // The negative telephony error of a failed call request, or the disconnect mode of the
  // last disconnected call; never reset.
  int32_t FailureCode() const { return call_.FailureCode(); }
  // A DTMF digit or a new PlayWaveFile stops the current playback.
  bool InterruptPlayback() const { return playback_.InterruptPlayback(); }
  void SetInterruptPlayback(bool interrupt) { playback_.SetInterruptPlayback(interrupt); }
  // Play on the system's default wave output instead of the call's own.
  bool UseWaveMapper() const { return playback_.UseWaveMapper(); }
  void SetUseWaveMapper(bool use) { playback_.SetUseWaveMapper(use); }
  // Whole seconds left before the next dial attempt.
  int32_t RetryCountdown() const { return call_.RetryCountdown(); }

  // --- Operations -------------------------------------------------------------------------

  // Starts an outgoing call to the number exactly as passed and returns without waiting for
  // the answer. Raises EPortNotAssigned, ETapiNotSet, ETapiBusy, ETapiNoSelect or a mapped
  // telephony error, and ETapiCallUnavail when the request fails with no OnTapiFail handler.
  void Dial(const std::string& number);
  // Stops a running playback, sets CallCancelled, hangs up, ends pending retries. True.
  bool CancelCall();
  // Starts playing the file into the call and returns at once; waPlayDone reports the end.
  // Raises ETapiWaveFail, ETapiVoiceNotSupported or ETapiNoSelect.
  void PlayWaveFile(const std::string& file_name);
  // Ends a running playback, whose waPlayDone follows; nothing when nothing plays. Never
  // raises.
  void StopWaveFile();
  // Whether the line has carried some of the sound of the file played last: the callee could
  // hear it, where a line that could not yet carry sound (a modem that has not started
  // transmitting) holds it unheard.
  bool LineCarriedSound() const { return playback_.LineCarriedSound(); }

  // Readable text of a status report: pass Message, Param1 and Param2 of OnTapiStatus.
  std::string StatusText(int32_t message, int32_t state, int32_t param) const;
  // Readable text of FailureCode.
  std::string FailureText(int32_t code) const;

  // --- Events -----------------------------------------------------------------------------

  TTapiStatusEvent OnTapiStatus;
  TTapiLogEvent OnTapiLog;
  TNotifyEvent OnTapiPortOpen;
  TNotifyEvent OnTapiPortClose;
  TNotifyEvent OnTapiConnect;
  TNotifyEvent OnTapiFail;
  TTapiDTMFEvent OnTapiDTMF;
  TTapiCallerIDEvent OnTapiCallerID;
  TTapiWaveNotify OnTapiWaveNotify;
  TTapiWaveSilence OnTapiWaveSilence;

  // --- The line application and the parts, as the parts and tests see them ----------------

  // Ensures a line application exists (registering when there is none); true when one
  // exists afterwards. A start-up under way (re-entered through pumping) gives false.
  bool InitializeTapi() override;
  // The telephony identifier of the line device of that exact name, -1 when none.
  int32_t FindDeviceID(const std::string& name);
  // SelectedDevice resolved afresh, by name, at every use: the opening of a line, each play
  // and each voice check look the name up again. A single listed device is selected when
  // none is; otherwise an unknown name raises ETapiNoSelect.
  int32_t GetDeviceID() override;
  // The number of listed devices (raised by a LINE_CREATE until the list is read again).
  int32_t DeviceCount() const { return device_count_; }

  const OutgoingCall& Call() const { return call_; }
  const WavePlayback& Playback() const { return playback_; }
  // The hidden window of the device's deferred notifications and wave-output reports.
  const platform::MessageWindow& NotifyWindow() const { return notify_window_; }

  // The procedure registered with lineInitialize: the telephony system reports every line
  // message here, with the device that opened the line as the instance.
  static void CALLBACK LineCallback(DWORD device, DWORD message, DWORD_PTR instance,
                                    DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);

 protected:
  // Builds the device without registering with the telephony system, listing the given
  // device names: for devices that stand in for the telephony system in tests.
  TApdCustomTapiDevice(TApdBaseComponent* owner, std::vector<std::string> stand_in_devices);

  // Raises ETapiVoiceNotSupported unless SelectedDevice offers automated voice; the setters
  // then turn voice off. Returns quietly also when there is no verdict.
  virtual void CheckVoiceSupport();

  // The handlers of the line messages (line_events.cpp).
  virtual void DoLineCallInfo(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineCallState(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineClose(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineCreate(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineDevState(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineGenerate(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineMonitorDigits(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineMonitorMedia(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineMonitorTone(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineReply(DWORD device, DWORD p1, DWORD p2, DWORD p3);
  virtual void DoLineRequest(DWORD device, DWORD p1, DWORD p2, DWORD p3);

 private:
  // What the outgoing call asks of its device.
  const TApdBaseComponent& Component() const override { return *this; }
  HLINEAPP LineAppHandle() const override { return line_app_handle_; }
  DWORD ApiVersion() const override { return api_version_; }
  DWORD_PTR CallbackInstance() override { return reinterpret_cast<DWORD_PTR>(this); }
  void NotifyStatus(bool first, bool last, int32_t device, int32_t message, int32_t param1,
                    int32_t param2, int32_t param3) override;
  void NotifyLog(TTapiLogCode log) override;
  void PostNotification(DeviceNotification code) override;
  bool HasFailHandler() const override { return static_cast<bool>(OnTapiFail); }

  // --- Line application (tapi_device.cpp) -------------------------------------------------
  void ShutdownTapi();
  void EnumerateDevices();
  bool NegotiateVersion(DWORD id);
  bool LineIsUsable(DWORD id, const LINEDEVCAPS& caps);
  bool LineHasWaveOutput(DWORD id);
  // Runs CheckVoiceSupport and turns voice off when it raises.
  void CheckVoice();
  // The wave device the line names for the current call's sound. Raises ETapiNoSelect,
  // ETapiVoiceNotSupported or ETapiWaveFail.
  UINT LineWaveDevice();
  void NotifyFail();

  // --- Line events (line_events.cpp) ------------------------------------------------------
  void RefreshCallInfo(HCALL call);
  void HandleWindowMessage(uint32_t message, uintptr_t wparam, intptr_t lparam);
  void HandleDeviceNotification(DeviceNotification code, intptr_t argument);

  std::vector<std::string> device_list_;
  std::string selected_device_;
  TApdAbstractTapiStatus* status_display_ = nullptr;
  TApdTapiLog* tapi_log_ = nullptr;
  uint8_t answer_on_ring_ = 2;
  bool show_tapi_devices_ = true;
  bool show_ports_ = true;
  bool enable_voice_ = false;
  bool filter_unsupported_devices_ = true;

  // The line application.
  HLINEAPP line_app_handle_ = 0;
  LINEEXTENSIONID extension_id_{};
  int32_t device_id_ = -1;
  DWORD api_version_ = 0;
  int32_t device_count_ = 0;
  int32_t num_devices_ = 0;
  bool starting_ = false;
  bool shut_down_ = false;
  platform::TapiBlock<LINECALLINFO> call_info_;  // the current call's information, or none

  // The window first: the parts report through it, and it goes last.
  platform::MessageWindow notify_window_;
  OutgoingCall call_;
  WavePlayback playback_;
  DigitMonitor digits_;
};

// The device with its properties published; it adds nothing else.
class TApdTapiDevice : public TApdCustomTapiDevice {
 public:
  using TApdCustomTapiDevice::TApdCustomTapiDevice;
};

}  // namespace telvane
