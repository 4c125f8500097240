#include "voice/dtmf_monitor.h"

#include "platform/errors.h"
#include "platform/tapi_binding.h"

namespace telvane {

DigitMonitor::DigitMonitor(WavePlayer& player, const KeyHandler& on_key)
    : player_(player), on_key_(on_key) {}

void DigitMonitor::Start(HCALL call) {
  if (tapi::lineMonitorDigits(call, LINEDIGITMODE_DTMF) == 0) return;
  if (!on_key_) throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
  // The application learns that no keys will come.
  on_key_(' ');
}

void DigitMonitor::ReportKey(char key) {
  if (key == '\0' || key == ' ') return;
  player_.StopForKey(key);
  if (on_key_) on_key_(key);
}

}  // namespace telvane
