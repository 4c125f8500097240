// Playing a WAV file into the connected call.
#include "platform/errors.h"
#include "telephony/tapi_device.h"

namespace telvane {

// TODO(#4): read the file and play it double-buffered on the call's wave output. Until the
// wave output exists no sound can reach the call, and saying so is the honest answer.
void TApdCustomTapiDevice::PlayWaveFile(const std::string& /*file_name*/) {
  GetDeviceID();
  throw ETapiWaveFail(ecTapiWaveFail);
}

void TApdCustomTapiDevice::StopWaveFile() {}

}  // namespace telvane
