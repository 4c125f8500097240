// DTMF keys pressed by the listener: the line device asks the line to report them when a
// voice call connects, and hands each key the line reports to the application through its
// OnTapiDTMF event, stopping a playback first when InterruptPlayback is set.
//
//   DigitMonitor digits(playback, device, device.OnTapiDTMF);
//   digits.Start(call, LINEDIGITMODE_DTMF, /*voice_enabled=*/true);  // at LINECALLSTATE_CONNECTED
//   digits.ReportDigit('5', 0);                                     // at LINE_MONITORDIGITS
//
// Threads: loop thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/component.h"
#include "platform/tapi.h"
#include "voice/wave_playback.h"

namespace telvane {

using TTapiDTMFEvent = std::function<void(TObject& cp, char digit, int32_t error_code)>;

class DigitMonitor {
 public:
  // Keys stop `playback`; sender and on_digit are the device and its event, which fires when
  // assigned. All are the owner's and outlive the monitor.
  DigitMonitor(WavePlayback& playback, TObject& sender, const TTapiDTMFEvent& on_digit);

  // Asks the line to report the call's keys (nothing without voice). When the line refuses,
  // the application is told once with a blank digit and the refusal, or, when it has no
  // OnTapiDTMF handler, ETapiVoiceNotSupported is raised.
  void Start(HCALL call, DWORD digit_mode, bool voice_enabled);

  // A key from the line (error_code 0) or a refusal to report keys. A NUL or blank key from
  // the line is dropped. With InterruptPlayback the playback is stopped and the key reported;
  // without it a key that comes while a file plays is dropped.
  void ReportDigit(char digit, int32_t error_code);

 private:
  void Fire(char digit, int32_t error_code);

  WavePlayback& playback_;
  TObject& sender_;
  const TTapiDTMFEvent& on_digit_;
};

}  // namespace telvane
