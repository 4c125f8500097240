// The system's TAPI32 calls back on the thread that registered: it is handed no instance.
#include "platform/tapi_binding.h"

namespace telvane::platform {

HINSTANCE LineAppInstance(MessageLoop&) { return nullptr; }

}  // namespace telvane::platform
