// DTMF keys pressed by the listener: monitoring is requested when a voice call connects,
// and each key reported by the line is handed to the application, stopping a playback
// first when InterruptPlayback is set.
#include "platform/errors.h"
#include "platform/tapi_binding.h"
#include "telephony/tapi_device.h"

namespace telvane {

void TApdCustomTapiDevice::StartDigitMonitoring(HCALL call, DWORD digit_mode) {
  if (!enable_voice_) return;
  const LONG result = tapi::lineMonitorDigits(call, digit_mode);
  if (result == 0) return;
  if (!OnTapiDTMF) throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
  // The application learns that no keys will come: a blank digit with the refusal.
  ReportDigit(' ', result);
}

void TApdCustomTapiDevice::ReportDigit(char digit, int32_t error_code) {
  if (error_code == 0 && (digit == '\0' || digit == ' ')) return;
  if (interrupt_playback_) {
    StopWaveFile();
    if (OnTapiDTMF) OnTapiDTMF(*this, digit, error_code);
    return;
  }
  if (OnTapiDTMF && wave_phase_ != TWavePhase::wpPlaying) OnTapiDTMF(*this, digit, error_code);
}

}  // namespace telvane
