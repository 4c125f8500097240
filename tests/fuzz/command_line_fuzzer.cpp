// The command line as the run reads it: arguments (the input split at NUL bytes) parsed into
// plain data, and the dial plan's numbers drawn from it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/options.h"

using namespace telvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  std::string argument;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(argument);
      argument.clear();
    } else {
      argument += static_cast<char>(data[i]);
    }
  }
  if (!argument.empty()) arguments.push_back(argument);
  const CommandLine command_line = ParseCommandLine(arguments);
  if (command_line.show_usage) return 0;
  const DialPlan plan(command_line);
  for (int64_t attempt = 1; attempt <= plan.Attempts() && attempt <= 8; ++attempt) {
    plan.NumberFor(attempt);
  }
  return 0;
}
