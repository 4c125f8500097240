// Our telephony service is handed the application's loop as lineInitialize's instance.
#include "platform/tapi_binding.h"

namespace telvane::platform {

HINSTANCE LineAppInstance(MessageLoop& loop) { return &loop; }

MessageLoop* LoopOfLineAppInstance(HINSTANCE instance) {
  return static_cast<MessageLoop*>(instance);
}

}  // namespace telvane::platform
