#include "platform/app_registry.h"

#include <cstdio>
#include <exception>
#include <limits>
#include <string_view>

namespace telvane::platform {
namespace {

// Digits only, in the given base, fitting 32 bits; nothing for anything else.
std::optional<uint32_t> ParseUnsigned(std::string_view text, unsigned base) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// "$1A2B" is hexadecimal, "6699" decimal.
std::optional<uint32_t> ParseProcessId(const std::string& name) {
  if (!name.empty() && name[0] == '$') return ParseUnsigned(std::string_view(name).substr(1), 16);
  return ParseUnsigned(name, 10);
}

// The handle a value holds. Blanks around the number are forgiven, since a value may have
// been written by hand; anything else gives 0, which no line application has.
uint32_t ParseHandle(const std::optional<std::string>& value) {
  if (!value) return 0;
  constexpr const char* kBlanks = " \t\r\n";
  const size_t first = value->find_first_not_of(kBlanks);
  if (first == std::string::npos) return 0;
  const size_t last = value->find_last_not_of(kBlanks);
  return ParseUnsigned(std::string_view(*value).substr(first, last - first + 1), 10).value_or(0);
}

}  // namespace

std::string LineAppValueName(uint32_t pid) {
  char name[16];
  std::snprintf(name, sizeof name, "$%08X", static_cast<unsigned>(pid));
  return name;
}

void SweepStaleLineApps(LineAppRegistry& registry,
                        const std::function<void(uint32_t handle)>& shutdown) {
  for (const std::string& name : registry.ValueNames()) {
    const std::optional<uint32_t> pid = ParseProcessId(name);
    if (pid) {
      // A live process still uses its line application; ending it or losing its value would
      // break that process, and its own shutdown removes the value.
      if (LineAppRegistry::ProcessRunning(*pid)) continue;
      try {
        shutdown(ParseHandle(registry.Read(name)));
      } catch (const std::exception&) {
        // The orphan could not be ended; its value is forgotten all the same, or every
        // start-up would try again.
      }
    }
    registry.Delete(name);
  }
}

}  // namespace telvane::platform
