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
// Threads: loop thread only. Every event fires on the thread that created the device and
// only while that thread dispatches its messages or inside a device operation that itself
// waits on the queue. Handlers may call back into the device.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/message_loop.h"
#include "platform/timers.h"
#include "platform/tapi.h"
#include "platform/tapi_binding.h"
#include "telephony/com_port.h"
#include "voice/wave_reader.h"

namespace telvane {

enum class TWaveMessage {
  waPlayOpen = 0,
  waPlayDone = 1,
  waPlayClose = 2,
  waRecordOpen = 3,
  waDataReady = 4,
  waRecordClose = 5,
};

enum class TTapiLogCode {
  ltapiNone = 0,
  ltapiCallStart = 1,
  ltapiCallFinish = 2,
  ltapiDial = 3,
  ltapiAccept = 4,
  ltapiAnswer = 5,
  ltapiConnect = 6,
  ltapiCancel = 7,
  ltapiDrop = 8,
  ltapiBusy = 9,
  ltapiDialFail = 10,
  ltapiReceivedDigit = 11,
};

// Telephony message numbers carried in the Message argument of OnTapiStatus.
inline constexpr int32_t kLineCallInfoMessage = 1;   // LINE_CALLINFO
inline constexpr int32_t kLineCallStateMessage = 2;  // LINE_CALLSTATE
inline constexpr int32_t kLineDevStateMessage = 8;   // LINE_LINEDEVSTATE
inline constexpr int32_t kLineReplyMessage = 12;     // LINE_REPLY
inline constexpr int32_t kDeviceStatusMessage = 32;  // the device's own reports (retry wait)

// Call states (Param1 of a call-state report) that the application looks at.
inline constexpr int32_t kCallStateBusy = 0x40;            // LINECALLSTATE_BUSY
inline constexpr int32_t kCallStateConnected = 0x100;      // LINECALLSTATE_CONNECTED
inline constexpr int32_t kCallStateDisconnected = 0x4000;  // LINECALLSTATE_DISCONNECTED

// An event holds a callable; it is assigned when the callable is set, and an event whose
// handler is not assigned is not fired. The first argument is always the device.
using TNotifyEvent = std::function<void(TObject& sender)>;
using TTapiStatusEvent =
    std::function<void(TObject& cp, bool first, bool last, int32_t device, int32_t message,
                       int32_t param1, int32_t param2, int32_t param3)>;
using TTapiLogEvent = std::function<void(TObject& cp, TTapiLogCode log)>;
using TTapiDTMFEvent = std::function<void(TObject& cp, char digit, int32_t error_code)>;
using TTapiCallerIDEvent =
    std::function<void(TObject& cp, const std::string& id, const std::string& id_name)>;
using TTapiWaveNotify = std::function<void(TObject& cp, TWaveMessage msg)>;
using TTapiWaveSilence = std::function<void(TObject& cp, bool& stop_recording, bool& hangup)>;

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

// Exceptions raised while the device handles a telephony message or a deferred
// notification cannot go back into the telephony system: they go to this handler, which
// the application sets (by default they are dropped). Loop thread only.
void SetApplicationExceptionHandler(std::function<void(const std::exception&)> handler);
void HandleApplicationException(const std::exception& error);

// The 1-based position of the lowest set bit of value (1 for bit 0 ... 32 for bit 31), and
// 33 for 0. Status codes are built from it.
int32_t LowestBitPosition(uint32_t value);

class TApdCustomTapiDevice : public TApdBaseComponent {
 public:
  explicit TApdCustomTapiDevice(TApdBaseComponent* owner);
  ~TApdCustomTapiDevice() override;

  // --- Published properties -------------------------------------------------------------

  // Name of the line device to use, exactly as listed in DeviceList. Setting it while
  // EnableVoice is on checks the new device for voice (and may raise as SetEnableVoice).
  const std::string& SelectedDevice() const { return selected_device_; }
  virtual void SetSelectedDevice(const std::string& name);

  // Must be set before Dial; in voice mode it is never opened. Not owned.
  TApdCustomComPort* ComPort() const { return com_port_; }
  void SetComPort(TApdCustomComPort* port) { com_port_ = port; }

  TApdAbstractTapiStatus* StatusDisplay() const { return status_display_; }
  void SetStatusDisplay(TApdAbstractTapiStatus* display) { status_display_ = display; }
  TApdTapiLog* TapiLog() const { return tapi_log_; }
  void SetTapiLog(TApdTapiLog* log) { tapi_log_ = log; }

  // Ring count at which an offered call is answered.
  uint8_t AnswerOnRing() const { return answer_on_ring_; }
  void SetAnswerOnRing(uint8_t rings) { answer_on_ring_ = rings; }

  // Seconds between dial attempts, and attempts per Dial (the first included).
  uint16_t RetryWait() const { return retry_wait_; }
  void SetRetryWait(uint16_t seconds) { retry_wait_ = seconds; }
  uint16_t MaxAttempts() const { return max_attempts_; }
  void SetMaxAttempts(uint16_t attempts) { max_attempts_ = attempts; }

  // Whether a name that matches no device may be resolved through a selection dialog.
  bool ShowTapiDevices() const { return show_tapi_devices_; }
  void SetShowTapiDevices(bool show) { show_tapi_devices_ = show; }
  bool ShowPorts() const { return show_ports_; }
  void SetShowPorts(bool show) { show_ports_ = show; }

  // Voice mode. Turning it on with a device selected checks that device: afterwards it
  // reads true only when the device offers automated voice; otherwise it reads false and
  // the setter raises ETapiVoiceNotSupported. With no device selected nothing is checked.
  bool EnableVoice() const { return enable_voice_; }
  virtual void SetEnableVoice(bool enable);

  // DeviceList holds only devices that can place voice or data-modem calls.
  // Changing it lists the devices again.
  bool FilterUnsupportedDevices() const { return filter_unsupported_devices_; }
  void SetFilterUnsupportedDevices(bool filter);

  // --- Public fields ----------------------------------------------------------------------

  // Names of the usable line devices, in the telephony device order; filled at construction.
  const std::vector<std::string>& DeviceList() const { return device_list_; }
  // True once CancelCall ran; false again when a dial attempt starts. A hang-up by the
  // remote side never sets it.
  bool CallCancelled() const { return call_cancelled_; }
  // True from the first dial attempt on.
  bool CallPlaced() const { return call_placed_; }
  // The negative telephony error of a failed call request, or the disconnect mode of the
  // last disconnected call; never reset.
  int32_t FailureCode() const { return failure_code_; }
  // A DTMF digit or a new PlayWaveFile stops the current playback.
  bool InterruptPlayback() const { return interrupt_playback_; }
  void SetInterruptPlayback(bool interrupt) { interrupt_playback_ = interrupt; }
  // Play on the system's default wave output instead of the call's own.
  bool UseWaveMapper() const { return use_wave_mapper_; }
  void SetUseWaveMapper(bool use) { use_wave_mapper_ = use; }
  // Whole seconds left before the next dial attempt.
  int32_t RetryCountdown() const { return retry_countdown_; }

  // --- Operations -------------------------------------------------------------------------

  // Starts an outgoing call to the number exactly as passed and returns without waiting for
  // the answer. Raises EPortNotAssigned, ETapiNotSet, ETapiBusy, ETapiNoSelect or a mapped
  // telephony error, and ETapiCallUnavail when the request fails with no OnTapiFail handler.
  virtual void Dial(const std::string& number);
  // Stops a running playback, sets CallCancelled, hangs up, ends pending retries. True.
  virtual bool CancelCall();
  // Starts playing the file into the call and returns at once; waPlayDone reports the end.
  // Raises ETapiWaveFail, ETapiVoiceNotSupported or ETapiNoSelect.
  virtual void PlayWaveFile(const std::string& file_name);
  // Ends a running playback, whose waPlayDone follows; nothing when nothing plays. Never
  // raises.
  virtual void StopWaveFile();

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

 protected:
  // Builds the device without registering with the telephony system: for devices that
  // stand in for it in tests.
  enum class Registration { kRegister, kStandIn };
  TApdCustomTapiDevice(TApdBaseComponent* owner, Registration registration);

  // --- Line application (tapi_device.cpp) -------------------------------------------------
  bool InitializeTapi();
  void ShutdownTapi();
  void EnumerateDevices();
  int32_t FindDeviceID(const std::string& name);
  int32_t GetDeviceID();
  // Checks SelectedDevice for automated voice: leaves EnableVoice on when it offers it,
  // otherwise turns it off and raises ETapiVoiceNotSupported.
  virtual void CheckVoiceSupport();
  int32_t CheckTapiError(LONG result);
  void NotifyStatus(bool first, bool last, int32_t device, int32_t message, int32_t param1,
                    int32_t param2, int32_t param3);
  void NotifyLog(TTapiLogCode log);
  void NotifyFail();

  // --- Outgoing call (outgoing_call.cpp) --------------------------------------------------
  void SetLineOpen(bool open);
  void PlaceCall();
  bool HangUp(bool clear_retry);
  void FinalReport(bool clear_retry, bool had_connected);
  void ResetLineState();
  LONG WaitForReply(LONG request);
  int32_t WaitForCallState(DWORD state);
  // Handles messages until the condition holds (0), the line is hung up meanwhile (1) or 30 s
  // have passed (2).
  int32_t PumpUntil(const std::function<bool()>& reached);
  int32_t CurrentCallState();
  void CheckLineFree();
  void StartRetryTimer();
  void RetryTimerTick();
  void OpenPort();
  bool ClosePort();
  int32_t GetCommHandle();
  // The 4-byte identifier of a device of the class that the line names (lineGetID into
  // IDBuffer), or nothing when the request fails or the reply holds no identifier.
  std::optional<DWORD> GetLineID(HLINE line, HCALL call, DWORD select, const char* device_class);

  // --- Line events (line_events.cpp) ------------------------------------------------------
  static void CALLBACK LineCallback(DWORD device, DWORD message, DWORD_PTR instance,
                                    DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);
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
  void RefreshCallInfo(HCALL call);
  void PostNotification(uint32_t code, intptr_t argument = 0);
  void HandleWindowMessage(uint32_t message, uintptr_t wparam, intptr_t lparam);

  // --- Playback (voice/wave_playback.cpp) -------------------------------------------------
  // The wave device id that the line names for the current call's sound. Raises
  // ETapiNoSelect, ETapiVoiceNotSupported or ETapiWaveFail.
  int32_t GetLineWaveDevice();
  // Reads the next piece of the data chunk into the buffer the next hand-over uses.
  void ReadPlayChunk();
  // Hands the piece read last to the output and reads the one after it.
  void QueuePlayBuffer();
  // Frees the header and both buffers, closing the output first if it is still open.
  void ReleasePlayBuffers();
  enum class WaveResultKind { kOutput, kFile };
  // Raises ETapiWaveFail with the platform's or the catalogue's text for a non-zero result.
  void CheckWaveResult(MMRESULT result, WaveResultKind kind);
  // The output gave a buffer back (MM_WOM_DONE): feeds the next piece, or ends the
  // playback. True when the playback has ended and waPlayDone is due.
  bool PlayBufferReturned(HWAVEOUT handle);
  // The output has closed (MM_WOM_CLOSE).
  void WaveOutputClosed();
  void CloseWaveOutput();
  void EndRefusedPlayback();
  void WaitForWaveOutputClosed();
  // Queues a waPlayDone for a playback that ended without its last buffer coming back.
  void PostPlayDone();

  // --- Digits (voice/dtmf_monitor.cpp) ----------------------------------------------------
  void StartDigitMonitoring(HCALL call, DWORD digit_mode);
  void ReportDigit(char digit, int32_t error_code);

  // Caller identification texts of the current call (status_texts.cpp).
  std::string CallerIDNumberText() const;
  std::string CallerIDNameText() const;

  // Public fields, kept here so the implementation files and stand-ins can set them.
  std::vector<std::string> device_list_;
  bool call_cancelled_ = false;
  bool call_placed_ = false;
  int32_t failure_code_ = 0;
  int32_t retry_countdown_ = 0;
  bool enable_voice_ = false;

  // Run-time state of the line application, the line and the call.
  HLINEAPP line_app_handle_ = 0;
  LINEEXTENSIONID extension_id_{};
  HLINE line_handle_ = 0;
  HCALL call_handle_ = 0;
  int32_t device_id_ = -1;
  alignas(VARSTRING) uint8_t id_buffer_[1028] = {};
  platform::RepeatingTimer retry_timer_;
  LONG pending_request_ = 0;
  LONG reply_result_ = 0;
  DWORD last_call_state_ = 0;
  bool reply_received_ = false;
  bool call_state_changed_ = false;
  bool call_active_ = false;
  bool line_used_ = false;
  bool starting_ = false;
  bool call_connected_ = false;
  bool hanging_up_ = false;
  bool shut_down_ = false;
  bool retry_pending_ = false;
  bool fail_reported_ = false;
  bool waiting_for_reply_ = false;
  bool waiting_for_state_ = false;
  DWORD api_version_ = 0;
  int32_t device_count_ = 0;
  int32_t num_devices_ = 0;
  bool line_open_ = false;
  platform::TapiBlock<LINECALLINFO> call_info_;  // the current call's information, or none
  std::string dial_number_;
  uint16_t attempt_ = 0;
  enum class TWavePhase : uint8_t { wpIdle = 0, wpPlaying = 1 };
  TWavePhase wave_phase_ = TWavePhase::wpIdle;
  // Playback. The header and the buffers exist from a started playback to its end; while
  // the output is open it may hold one of them, so they are freed only once it is closed.
  std::unique_ptr<WAVEHDR> play_header_;
  HWAVEOUT wave_out_handle_ = nullptr;
  std::unique_ptr<char[]> play_buffer1_;
  std::unique_ptr<char[]> play_buffer2_;
  WaveReader play_file_;
  // The line's sound format; it also sizes the playback buffers.
  uint8_t wave_channels_ = 1;
  uint8_t wave_bits_per_sample_ = 16;
  int32_t wave_samples_per_sec_ = 8000;
  int32_t play_data_size_ = 0;
  // Bytes of the data chunk handed over so far; -1 once nothing more is to be handed over.
  int32_t play_position_ = 0;
  int32_t play_chunk_length_ = 0;
  // 0 before the first read of a playback, then the buffer (1 or 2) the next hand-over uses.
  uint8_t next_play_buffer_ = 0;
  int32_t play_buffer_size_ = 0;
  std::unique_ptr<platform::MessageWindow> notify_window_;

 private:
  bool NegotiateVersion(DWORD id);
  bool LineIsUsable(DWORD id, const LINEDEVCAPS& caps);
  bool LineHasWaveOutput(DWORD id);

  std::string selected_device_;
  TApdCustomComPort* com_port_ = nullptr;
  TApdAbstractTapiStatus* status_display_ = nullptr;
  TApdTapiLog* tapi_log_ = nullptr;
  uint8_t answer_on_ring_ = 2;
  uint16_t retry_wait_ = 60;
  uint16_t max_attempts_ = 3;
  bool show_tapi_devices_ = true;
  bool show_ports_ = true;
  bool filter_unsupported_devices_ = true;
  bool interrupt_playback_ = true;
  bool use_wave_mapper_ = false;
};

// The device with its properties published; it adds nothing else.
class TApdTapiDevice : public TApdCustomTapiDevice {
 public:
  using TApdCustomTapiDevice::TApdCustomTapiDevice;
};

}  // namespace telvane
