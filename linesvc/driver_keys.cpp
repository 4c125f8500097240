// The keys of a driver's section, read in one loop.
#include "linesvc/driver_keys.h"

#include "linesvc/line_audio.h"

namespace telvane::linesvc {

bool ReadDriverKeys(const std::vector<DriverKey>& keys, std::string_view driver, DWORD* wave_id,
                    const std::function<KeyRead(const DriverKey&)>& read, std::string* error) {
  for (const DriverKey& key : keys) {
    const std::string where = "line " + std::to_string(key.file_line) + ": ";
    if (key.key == "wave") {
      std::string reason;
      if (!ParseWaveId(key.value, wave_id, &reason)) {
        *error = where + reason;
        return false;
      }
      continue;
    }
    switch (read(key)) {
      case KeyRead::kTaken:
        break;
      case KeyRead::kBadValue:
        *error = where + "bad value '" + key.value + "' for " + key.key;
        return false;
      case KeyRead::kUnknown:
        *error = where + "unknown key '" + key.key + "' for the " + std::string(driver) + " driver";
        return false;
    }
  }
  return true;
}

}  // namespace telvane::linesvc
