// The keys of a modem line in the lines file, read into the settings the driver works with.
//
//   [line USB Modem]
//   driver = modem
//   device = /dev/ttyACM0
//   dialprefix = 9,
//
// docs/lines-file.md lists the keys for users.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "linesvc/lines_file.h"
#include "linesvc/modem/modem_protocol.h"
#include "linesvc/modem/uucp_lock.h"
#include "platform/tapi.h"

namespace telvane::linesvc {

struct ModemSettings {
  std::string device;
  std::string init;         // extra commands sent after the reset, e.g. "ATS7=60"
  std::string dial_prefix;  // dialled before every number, e.g. "9,"
  char dial_mode = 'T';     // T tone, P pulse
  std::optional<int> vra;   // +VRA, 0.1 s: ringback gone this long means answered
  std::optional<int> vrn;   // +VRN, modem's unit: no ringback this long means answered
  std::optional<ModemCoding> codec;
  std::string lock_dir = kDefaultLockDir;
  int command_timeout_ms = 3000;
  int dial_timeout_ms = 90000;
  // How long to wait for the port when another program holds its lock (another alert on the
  // phone through the same modem): long enough for one whole call.
  int lock_wait_ms = 120000;
  DWORD wave_id = 0;
};

// Reads the keys of a modem line; false with the reason in *error.
bool ParseModemSettings(const std::vector<DriverKey>& keys, DWORD device_id,
                        ModemSettings* settings, std::string* error);

}  // namespace telvane::linesvc
