#include "voice/dtmf_monitor.h"

#include "platform/errors.h"
#include "platform/tapi_binding.h"

namespace telvane {

DigitMonitor::DigitMonitor(WavePlayback& playback, TObject& sender, const TTapiDTMFEvent& on_digit)
    : playback_(playback), sender_(sender), on_digit_(on_digit) {}

void DigitMonitor::Start(HCALL call, DWORD digit_mode, bool voice_enabled) {
  // Prescribed although only a voice call's connection gets here: a data call has no keys.
  if (!voice_enabled) return;
  const LONG result = tapi::lineMonitorDigits(call, digit_mode);
  if (result == 0) return;
  if (!on_digit_) throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
  // The application learns that no keys will come: a blank digit with the refusal.
  ReportDigit(' ', result);
}

void DigitMonitor::ReportDigit(char digit, int32_t error_code) {
  if (error_code == 0 && (digit == '\0' || digit == ' ')) return;
  if (playback_.InterruptPlayback()) {
    playback_.Stop();
    Fire(digit, error_code);
    return;
  }
  if (playback_.Phase() != TWavePhase::wpPlaying) Fire(digit, error_code);
}

void DigitMonitor::Fire(char digit, int32_t error_code) {
  if (on_digit_) on_digit_(sender_, digit, error_code);
}

}  // namespace telvane
