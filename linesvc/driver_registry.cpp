// The registry of line drivers and the drivers of the service.
#include "linesvc/driver_registry.h"

#include <algorithm>
#include <mutex>

#include "linesvc/driver_module.h"
#include "linesvc/sim/sim_driver.h"
#ifndef _WIN32
#include "linesvc/modem/modem_driver.h"
#endif
#include "platform/dynamic_library.h"

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

// The entry of a driver module, looked up once.
struct ModuleEntry {
  std::once_flag loaded;
  LineDriverEntry* entry = nullptr;
};

// Keeps a driver module loaded until the process ends, because the drivers it makes run its
// code until the very end. The list is never destroyed, not even at exit.
void KeepLoaded(std::unique_ptr<platform::DynamicLibrary> library) {
  static std::mutex mutex;
  static auto* const kept = new std::vector<std::unique_ptr<platform::DynamicLibrary>>;
  const std::lock_guard<std::mutex> lock(mutex);
  kept->push_back(std::move(library));
}

}  // namespace

DriverRegistry::Factory DriverFromModule(std::string module) {
  auto shared = std::make_shared<ModuleEntry>();
  return [module = std::move(module), shared](const std::vector<DriverKey>& keys, DWORD device_id,
                                              const DriverLog& log,
                                              std::string* error) -> std::unique_ptr<LineDriver> {
    std::call_once(shared->loaded, [&] {
      std::unique_ptr<platform::DynamicLibrary> library = platform::DynamicLibrary::Load(module);
      if (!library) return;
      shared->entry = reinterpret_cast<LineDriverEntry*>(library->Symbol(kLineDriverEntryName));
      if (shared->entry != nullptr) KeepLoaded(std::move(library));
    });
    if (shared->entry == nullptr) {
      *error = "the driver's module lib" + module + ".so is missing or cannot be loaded";
      return nullptr;
    }
    std::unique_ptr<LineDriver> driver;
    if (!shared->entry(keys, device_id, log, &driver, error)) return nullptr;
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
