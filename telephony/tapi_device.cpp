// Properties and contracts of the line device that hold without a telephony service.
#include "telephony/tapi_device.h"

#include "platform/errors.h"

namespace telvane {

TApdCustomTapiDevice::TApdCustomTapiDevice(TApdBaseComponent* owner) : TApdBaseComponent(owner) {}

TApdCustomTapiDevice::~TApdCustomTapiDevice() = default;

void TApdCustomTapiDevice::SetSelectedDevice(const std::string& name) {
  selected_device_ = name;
  if (enable_voice_) CheckVoiceSupport();
}

void TApdCustomTapiDevice::SetEnableVoice(bool enable) {
  enable_voice_ = enable;
  if (enable && !selected_device_.empty()) CheckVoiceSupport();
}

void TApdCustomTapiDevice::CheckVoiceSupport() {
  if (DeviceSupportsVoice(selected_device_)) {
    enable_voice_ = true;
    return;
  }
  enable_voice_ = false;
  throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
}

bool TApdCustomTapiDevice::DeviceSupportsVoice(const std::string& /*name*/) {
  // No telephony service is bound, so no device can carry voice.
  return false;
}

void TApdCustomTapiDevice::Dial(const std::string& /*number*/) {
  if (com_port_ == nullptr) throw EPortNotAssigned(ecPortNotAssigned);
  // Without a telephony service no listed device can be selected.
  throw ETapiNoSelect(ecTapiNoSelect);
}

bool TApdCustomTapiDevice::CancelCall() {
  StopWaveFile();
  call_cancelled_ = true;
  return true;
}

void TApdCustomTapiDevice::PlayWaveFile(const std::string& /*file_name*/) {
  if (selected_device_.empty()) throw ETapiNoSelect(ecTapiNoSelect);
  // Without a placed call there is no wave device to play on.
  throw ETapiWaveFail(ecTapiWaveFail);
}

void TApdCustomTapiDevice::StopWaveFile() {}

}  // namespace telvane
