// The modem line: a V.253 voice modem on a serial port (USRobotics 5637, Conexant, Lucent/
// Agere...), or an older one speaking the "#" command set, run as a line device.
//
//   [line USB Modem]
//   driver = modem
//   device = /dev/ttyACM0
//
// When the service reads the lines file, the driver asks the modem what it is and can do
// (modem_probe.h), so a data-only modem is offered for data only. A call (modem_call.h) sets
// the modem up for voice, dials, and turns its result lines and DLE events into call states;
// keys pressed reach the application as digits. The call's sound goes through the line-audio
// timeline, a little ahead of real time, to the modem in its own codec, DLE-shielded
// (modem_sound.h). docs/lines-file.md lists the keys (modem_settings.h reads them).
//
// The modem must be run on a loop with the real clock: it answers in real time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/lines_file.h"

namespace telvane::linesvc {

// Makes the driver of a modem line: reads its keys and asks the modem for its capabilities.
// When another program holds the port's lock, waits for it up to the line's `lockwait`,
// saying so through `log`. Null with the reason in *error when the keys are wrong, or the
// modem cannot be reached (still held by another program, missing, not answering).
std::unique_ptr<LineDriver> CreateModemDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                              const DriverLog& log, std::string* error);

}  // namespace telvane::linesvc
