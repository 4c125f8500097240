// The registry of line drivers and the drivers built into the service.
#include "linesvc/driver_registry.h"

#include <algorithm>

#include "linesvc/modem_driver.h"
#include "linesvc/sim_driver.h"
#include "linesvc/sip/sip_driver.h"

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

const DriverRegistry& BuiltInDrivers() {
  static const DriverRegistry registry = {
      {"sim", Silently<CreateSimDriver>},
      {"modem", CreateModemDriver},
      {"sip", Silently<CreateSipDriver>},
  };
  return registry;
}

}  // namespace telvane::linesvc
