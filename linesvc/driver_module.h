// Line drivers built as modules of their own: a driver whose libraries are heavy (a network
// stack, TLS) lives in a shared module beside the service, and the registry loads it only when
// the lines file has a line of that driver. A run on other lines never maps those libraries.
//
//   // in the module (linesvc/NAME/NAME_module.cpp):
//   extern "C" TELVANE_DRIVER_EXPORT bool TelvaneCreateLineDriver(...) { ... }
//   // in the registry:
//   {"NAME", DriverFromModule("telvane_NAME")},
//
// A module links the service (libTAPI32.so) for the parts every driver uses (driver_kit.h).
// Threads: the factory may be called from any thread; a module, once loaded, stays loaded for
// the life of the process, because the drivers it makes run its code until the very end.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/driver_kit.h"
#include "linesvc/lines_file.h"

namespace telvane::linesvc {

// The one entry of a driver module: makes the driver of a line from the keys of its section,
// as a registry factory does. Returns false with a sentence in *error when the line cannot be
// run.
using LineDriverEntry = bool(const std::vector<DriverKey>& keys, DWORD device_id,
                             const DriverLog& log, std::unique_ptr<LineDriver>* driver,
                             std::string* error);
inline constexpr const char* kLineDriverEntryName = "TelvaneCreateLineDriver";

}  // namespace telvane::linesvc
