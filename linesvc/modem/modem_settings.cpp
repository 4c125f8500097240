// Reading a modem line's keys.
#include "linesvc/modem/modem_settings.h"

#include <cstdint>
#include <utility>

#include "linesvc/driver_keys.h"
#include "platform/text.h"

namespace telvane::linesvc {

bool ParseModemSettings(const std::vector<DriverKey>& keys, DWORD device_id,
                        ModemSettings* settings, std::string* error) {
  ModemSettings result;
  result.wave_id = device_id;
  const auto read = [&](const DriverKey& key) {
    const std::string& value = key.value;
    int64_t number = 0;
    bool ok = true;
    if (key.key == "device") {
      ok = !value.empty() && value.front() == '/';
      result.device = value;
    } else if (key.key == "init") {
      // One command line of the user's own, never with a line break that would start another.
      ok = value.size() >= 2 && platform::LowerCase(value.substr(0, 2)) == "at" &&
           value.find_first_of("\r\n") == std::string::npos;
      result.init = value;
    } else if (key.key == "dialprefix") {
      const std::optional<std::string> dial = ModemDialString(value);
      ok = value.empty() || dial.has_value();
      result.dial_prefix = dial.value_or("");
    } else if (key.key == "dialmode") {
      ok = platform::LowerCase(value) == "tone" || platform::LowerCase(value) == "pulse";
      result.dial_mode = platform::LowerCase(value) == "pulse" ? 'P' : 'T';
    } else if (key.key == "vra" || key.key == "vrn") {
      ok = platform::ParseInteger(value, 0, 255, &number);
      (key.key == "vra" ? result.vra : result.vrn) = static_cast<int>(number);
    } else if (key.key == "codec") {
      result.codec = CodingByName(value);
      ok = result.codec.has_value();
    } else if (key.key == "lockdir") {
      ok = !value.empty();
      result.lock_dir = value;
    } else if (key.key == "timeout") {
      ok = platform::ParseInteger(value, 10, 600000, &number);
      result.command_timeout_ms = static_cast<int>(number);
    } else if (key.key == "dialtimeout") {
      ok = platform::ParseInteger(value, 1, 600, &number);
      result.dial_timeout_ms = static_cast<int>(number) * 1000;
    } else if (key.key == "lockwait") {
      ok = platform::ParseInteger(value, 0, 3600, &number);
      result.lock_wait_ms = static_cast<int>(number) * 1000;
    } else {
      return KeyRead::kUnknown;
    }
    return TakenIf(ok);
  };
  if (!ReadDriverKeys(keys, "modem", &result.wave_id, read, error)) return false;
  if (result.device.empty()) {
    *error = "the modem driver needs device = /dev/...";
    return false;
  }
  *settings = std::move(result);
  return true;
}

}  // namespace telvane::linesvc
