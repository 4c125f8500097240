// Per-user book-keeping of the processes that hold a line application.
//
// A process that registers with the telephony library records its line application handle
// under a value named after its process identifier, and removes the value when it ends the
// registration. A process that died in between leaves its value behind; the next start-up
// sweeps such values and ends the orphaned registrations:
//
//   LineAppRegistry registry;
//   SweepStaleLineApps(registry, [](uint32_t handle) { tapi::lineShutdown(handle); });
//   ... lineInitialize ...
//   registry.Write(LineAppValueName(LineAppRegistry::CurrentProcessId()), std::to_string(app));
//   ...
//   registry.Delete(LineAppValueName(LineAppRegistry::CurrentProcessId()));
//
// On Windows the store is the registry key HKEY_CURRENT_USER\SOFTWARE\DovizIvaro\VUVU\TAPI.
// On POSIX it is a directory private to the user, one file per value, the value's name as the
// file name: $TELVANE_STATE_DIR when set, else $XDG_STATE_HOME/telvane/tapi, else
// ~/.local/state/telvane/tapi. Values are replaced atomically, so processes sharing the store
// never read half a value.
//
// Threads: an object is used by one thread at a time; separate objects (and processes) may
// use the store at once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace telvane::platform {

class LineAppRegistry {
 public:
  // Opens the store, creating it when missing: on POSIX the directory and its missing
  // parents, with mode 0700. A store that cannot be created reads as empty and refuses
  // writes; nothing is raised.
  LineAppRegistry();

  // Where the store lives (on POSIX, the directory).
  const std::string& Location() const { return location_; }

  // The names of all values, in no particular order.
  std::vector<std::string> ValueNames() const;

  // The value's text, or nothing when there is no such value or it cannot be read.
  std::optional<std::string> Read(const std::string& name) const;

  // Creates or replaces a value; false when the name is not allowed or the write failed.
  // Names must be non-empty and hold no '/' and no NUL, and must not start with '.'.
  bool Write(const std::string& name, const std::string& value);

  // Removes a value; true when it existed and is gone.
  bool Delete(const std::string& name);

  // Whether a process with this identifier exists (also one this user may not signal).
  static bool ProcessRunning(uint32_t pid);

  static uint32_t CurrentProcessId();

 private:
  std::string location_;
};

// The value name a process records its line application under: "$" and the process
// identifier as eight upper-case hexadecimal digits ("$00001A2B").
std::string LineAppValueName(uint32_t pid);

// Ends the line applications of processes that no longer run and forgets them. For every
// value whose name is a process identifier ("$" and hexadecimal digits, or decimal digits)
// of a process that has ended: calls `shutdown` with the value read as a decimal handle (0
// when it is not one), ignoring any exception it throws, and deletes the value. Values of
// processes that still run are theirs and are kept. Values whose names are not process
// identifiers are deleted without a shutdown. Failures of the store are ignored.
void SweepStaleLineApps(LineAppRegistry& registry,
                        const std::function<void(uint32_t handle)>& shutdown);

}  // namespace telvane::platform
