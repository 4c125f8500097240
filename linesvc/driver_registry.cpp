// The registry of line drivers and the drivers of the service.
#include "linesvc/driver_registry.h"

#include <algorithm>

#include "linesvc/driver_module.h"
#include "linesvc/sim/sim_driver.h"
#ifndef _WIN32
#include "linesvc/modem/modem_driver.h"
#endif
#include "platform/lazy_library.h"

namespace telvane::linesvc {

DriverRegistry::DriverRegistry(std::initializer_list<std::pair<std::string, Factory>> entries) {
  for (const auto& [name, factory] : entries) Add(name, factory);
}

void DriverRegistry::Add(std::string name, Factory factory) {
  for (const auto& entry : factories_) {
    if (entry.first == name) return;
  }
  factories_.emplace_back(std::move(name), std::move(factory));
}

std::unique_ptr<LineDriver> DriverRegistry::Create(const LineConfig& line, DWORD device_id,
                                                   const DriverLog& log, std::string* error) const {
  const auto it = std::find_if(factories_.begin(), factories_.end(),
                               [&line](const auto& entry) { return entry.first == line.driver; });
  if (it == factories_.end()) {
    std::string names;
    for (const std::string& name : Names()) names += (names.empty() ? "" : ", ") + name;
    *error = "unknown driver '" + line.driver + "' (" + names + ")";
    return nullptr;
  }
  return it->second(line.driver_keys, device_id, log, error);
}

std::vector<std::string> DriverRegistry::Names() const {
  std::vector<std::string> names;
  for (const auto& [name, factory] : factories_) names.push_back(name);
  return names;
}

namespace {

// The factory of a driver that has nothing to log while it is made.
template <auto Create>
std::unique_ptr<LineDriver> Silently(const std::vector<DriverKey>& keys, DWORD device_id,
                                     const DriverLog& /*log*/, std::string* error) {
  return Create(keys, device_id, error);
}

}  // namespace

DriverRegistry::Factory DriverFromModule(std::string module) {
  return [module = std::move(module)](const std::vector<DriverKey>& keys, DWORD device_id,
                                      const DriverLog& log,
                                      std::string* error) -> std::unique_ptr<LineDriver> {
    // Kept once loaded: the drivers it makes run its code until the very end.
    auto* const entry = platform::KeptLibrary(module).Entry<LineDriverEntry>(kLineDriverEntryName);
    if (entry == nullptr) {
      *error = "the driver's module lib" + module + ".so is missing or cannot be loaded";
      return nullptr;
    }
    std::unique_ptr<LineDriver> driver;
    if (!entry(keys, device_id, log, &driver, error)) return nullptr;
    return driver;
  };
}

const DriverRegistry& BuiltInDrivers() {
  static const DriverRegistry registry = {
      {"sim", Silently<CreateSimDriver>},
#ifndef _WIN32
      // A serial port and libre are Linux's here: the Windows service runs simulated lines.
      {"modem", CreateModemDriver},
      {"sip", DriverFromModule("telvane_sip")},
#endif
  };
  return registry;
}

}  // namespace telvane::linesvc
