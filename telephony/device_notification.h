// The line device's deferred notifications: what must not happen inside a telephony
// callback is posted to the device's window as kDeviceEventMessage, with the code as the
// first parameter and an argument as the second, and happens when the loop dispatches it.
#pragma once

#include <cstdint>

namespace telvane {

inline constexpr uint32_t kDeviceEventMessage = 32437;

enum class DeviceNotification : uint32_t {
  kFail = 3,        // on_fail, at most once per call
  kLineCreate = 4,  // a new line device exists (argument: its identifier)
};

}  // namespace telvane
