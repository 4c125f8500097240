// What a run is given, read once before the first dial: the command line, the settings and
// the files they name become one plan, checked as a whole, that does not change afterwards.
//
//   SpokenMessages spoken(settings.speech_voice);
//   const RunPlan plan = ReadRunPlan(command_line, message_file, settings, program_dir,
//                                    device, spoken);          // raises what to print
//   CallController controller(device, plan.call, ...);
//
// Loop thread only (choosing the line asks the line device).
#pragma once

#include <cstdint>
#include <string>

#include "app/options.h"
#include "app/settings.h"
#include "app/spoken_messages.h"
#include "telephony/line_device.h"

namespace telvane {

// What every call of the run is given.
struct CallPlan {
  std::string line;  // the line device to call through, as the device lists it
  // The files to play, as the player takes them (a text already spoken into a WAV). The
  // greeting is empty with skip_intro.
  std::string message_file;
  std::string greeting_file;
  bool skip_intro = false;   // no greeting: the message repeats until message_duration_s
  bool require_key = false;  // a call completes only when the listener pressed a key
  int32_t max_greetings = 5;
  int32_t connect_timeout_ms = 10000;
  int32_t after_connect_pause_ms = 3;
  int32_t message_duration_s = 50;
};

struct RunPlan {
  DialPlan dial;
  CallPlan call;
};

// The line device to call through, among those the device lists: the one named `wanted`
// whatever its letter case, else (no name, or a name no device has) the first that takes
// voice calls. Raises Exception "Tapi device not found" when there is none, and "Modem does
// not support voice calls" when the named one does not take them.
std::string ChooseLine(LineDevice& device, const std::string& wanted);

// The plan of a run whose command line passed its checks: message_file is the command
// line's, made absolute. Chooses the line, checks that the greeting exists, speaks text
// files (spoken keeps what it wrote for the run) and checks that the player takes message
// and greeting. Raises Exception with the message the run prints, in that order.
RunPlan ReadRunPlan(const CommandLine& command_line, const std::string& message_file,
                    const Settings& settings, const std::string& program_dir, LineDevice& device,
                    SpokenMessages& spoken);

}  // namespace telvane
