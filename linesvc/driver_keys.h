// One loop over the keys of a driver's section of the lines file, for the drivers whose keys
// are plain values (modem, sip): each key goes to the driver's reader, except `wave` (the
// number of the line's wave-output device), which every such driver takes and which is read
// here; a mistake is told with the line of the file it is on.
//
//   if (!ReadDriverKeys(keys, "modem", &settings.wave_id, [&](const DriverKey& key) {
//         if (key.key == "device") return TakenIf(key.value.front() == '/');
//         return KeyRead::kUnknown;
//       }, &error)) ...
//
// Plain functions: any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/driver_kit.h"
#include "linesvc/lines_file.h"
#include "platform/tapi.h"

namespace telvane::linesvc {

// What a driver's reader made of one key.
enum class KeyRead { kTaken, kBadValue, kUnknown };

// kTaken when the value passed the reader's check, kBadValue when not.
inline KeyRead TakenIf(bool ok) { return ok ? KeyRead::kTaken : KeyRead::kBadValue; }

// Reads each key with `read`, and `wave` into *wave_id. False at the first key `read` does not
// know ("line 12: unknown key 'speed' for the modem driver") or finds a bad value for ("line 12:
// bad value 'fast' for dialmode"), or at a bad wave number, with that sentence in *error.
TELVANE_DRIVER_KIT bool ReadDriverKeys(const std::vector<DriverKey>& keys, std::string_view driver,
                                       DWORD* wave_id,
                                       const std::function<KeyRead(const DriverKey&)>& read,
                                       std::string* error);

}  // namespace telvane::linesvc
