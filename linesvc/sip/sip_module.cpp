// The SIP driver's module, libtelvane_sip.so: the registry loads it when the lines file has a
// SIP line, so libre, OpenSSL and the rest are mapped only then.
#include <type_traits>

#include "linesvc/driver_module.h"
#include "linesvc/sip/sip_driver.h"

extern "C" TELVANE_DRIVER_EXPORT bool TelvaneCreateLineDriver(
    const std::vector<telvane::linesvc::DriverKey>& keys, DWORD device_id,
    const telvane::linesvc::DriverLog& /*log*/,
    std::unique_ptr<telvane::linesvc::LineDriver>* driver, std::string* error) {
  using namespace telvane::linesvc;
  static_assert(std::is_same_v<decltype(TelvaneCreateLineDriver), LineDriverEntry>);
  *driver = CreateSipDriver(keys, device_id, error);
  return *driver != nullptr;
}
