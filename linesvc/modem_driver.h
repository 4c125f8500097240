// The modem line: a V.253 voice modem on a serial port (USRobotics 5637, Conexant, Lucent/
// Agere...), or an older one speaking the "#" command set, run as a line device.
//
//   [line USB Modem]
//   driver = modem
//   device = /dev/ttyACM0
//
// When the service reads the lines file, the driver asks the modem what it is and can do (ATI,
// +FCLASS=?, +VSM=?, +VLS=?), so a data-only modem is offered for data only. A call sets the
// modem up for voice, dials, and turns its result lines and DLE events into call states; the
// call's sound goes to the modem in its own codec, DLE-shielded and paced on the clock a little
// ahead of real time; keys pressed reach the application as digits. docs/lines-file.md lists
// the keys.
//
// The modem must be run on a loop with the real clock: it answers in real time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/lines_file.h"
#include "linesvc/modem_protocol.h"
#include "linesvc/uucp_lock.h"

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
  DWORD wave_id = 0;
};

// Reads the keys of a modem line; false with the reason in *error.
bool ParseModemSettings(const std::vector<DriverKey>& keys, DWORD device_id,
                        ModemSettings* settings, std::string* error);

// Makes the driver of a modem line: reads its keys and asks the modem for its capabilities.
// Null with the reason in *error when the keys are wrong, or the modem cannot be reached (held
// by another program, missing, not answering).
std::unique_ptr<LineDriver> CreateModemDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                              std::string* error);

}  // namespace telvane::linesvc
