// telvane: phones a number and plays a recorded alert to whoever answers.
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/message_loop.h"
#include "platform/os.h"

int main(int argc, char** argv) {
  // Dates and times in the user's own form; everything else stays in the C locale.
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_CTYPE, "");
  // TELVANE_CLOCK=virtual runs the whole call on the virtual clock: a dry run against
  // simulated lines that takes no real time.
  const char* clock = std::getenv("TELVANE_CLOCK");
  const bool virtual_clock = clock != nullptr && std::strcmp(clock, "virtual") == 0;
  telvane::platform::MessageLoop loop(virtual_clock ? telvane::platform::ClockMode::kVirtual
                                                    : telvane::platform::ClockMode::kReal);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  // The settings file and the default greeting are looked for beside the program.
  return telvane::RunTelvane(
      arguments, telvane::platform::ExtractFilePath(telvane::platform::ExecutablePath()));
}
