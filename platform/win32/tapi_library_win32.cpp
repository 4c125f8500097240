// A lines file asks for our telephony service, telvane_lines.dll beside the program, with its
// simulated lines; without one the program uses the system's TAPI32 and its modems.
#include "platform/lines_file_location.h"
#include "platform/os.h"
#include "platform/tapi_binding.h"

namespace telvane::platform {

TapiLibrary DefaultTapiLibrary() {
  if (FindLinesFile().empty()) return {kTapiLibraryName, TapiProvider::kSystem};
  return {ExtractFilePath(ExecutablePath()) + "telvane_lines.dll", TapiProvider::kService};
}

}  // namespace telvane::platform
