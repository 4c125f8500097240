// The line drivers the telephony service knows, by the name a lines file gives in `driver =`.
//
//   const DriverRegistry& drivers = BuiltInDrivers();           // sim, modem, sip
//   std::unique_ptr<LineDriver> driver = drivers.Create(line, device_id, log, &error);
//
// A new driver is a folder of its own below linesvc/ and one entry in BuiltInDrivers
// (driver_registry.cpp), the only file that names the drivers; the service names none.
// A driver with heavy libraries is a module of its own (driver_module.h), loaded by its entry
// only when a line of it is read. Tests make registries of their own with drivers written for
// them.
//
// Not thread-safe while entries are added; Create may be called from any thread after that.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/lines_file.h"

namespace telvane::linesvc {

class DriverRegistry {
 public:
  // Makes the driver of a line from the keys of its section; `device_id` is the line's place
  // among the devices; `log` reaches the event log meanwhile. Returns null with a sentence in
  // *error when the line cannot be run.
  using Factory =
      std::function<std::unique_ptr<LineDriver>(const std::vector<DriverKey>& keys, DWORD device_id,
                                                const DriverLog& log, std::string* error)>;

  DriverRegistry() = default;
  DriverRegistry(std::initializer_list<std::pair<std::string, Factory>> entries);

  // Adds a driver; a name given twice keeps the first.
  void Add(std::string name, Factory factory);

  // The driver of the line by its `driver` key, or null with the reason in *error (also for
  // a name no entry has).
  std::unique_ptr<LineDriver> Create(const LineConfig& line, DWORD device_id, const DriverLog& log,
                                     std::string* error) const;

  // The names, in the order they were added.
  std::vector<std::string> Names() const;

 private:
  std::vector<std::pair<std::string, Factory>> factories_;
};

// The factory of a driver in the module `module` (a library name: "telvane_sip" is
// libtelvane_sip.so, looked for beside the program, then beside the platform library, as the
// service is). The module is loaded when the first driver is made, and then kept.
DriverRegistry::Factory DriverFromModule(std::string module);

// The drivers of the service, built in or in modules.
const DriverRegistry& BuiltInDrivers();

}  // namespace telvane::linesvc
