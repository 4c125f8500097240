// The telephony library here is always our telephony service, libTAPI32.so beside the program.
#include "platform/tapi_binding.h"

namespace telvane::platform {

TapiLibrary DefaultTapiLibrary() { return {kTapiLibraryName, TapiProvider::kService}; }

}  // namespace telvane::platform
