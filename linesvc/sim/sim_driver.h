// The simulated line: a line device whose calls follow a script, per dialled number.
//
//   [line Sim Voice 1]
//   driver = sim
//   default = answer after=2000; keys=1500:5
//   number.5551234 = busy
//   record = heard-%n-%c.wav
//
// The scripts are written in the language of sim_script.h and played by the calls of
// sim_call.h; what the callee hears goes through the line-audio timeline to the line's
// recording. docs/lines-file.md describes the keys for users.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/lines_file.h"

namespace telvane::linesvc {

// Makes the driver of a sim line from its keys (default, number.N, wave, record). `device_id`
// is the line's device identifier, the default wave device identifier. The driver registers
// its wave-output device for as long as it exists. On failure returns null with the reason in
// *error.
std::unique_ptr<LineDriver> CreateSimDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                            std::string* error);

}  // namespace telvane::linesvc
