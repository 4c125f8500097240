// The command line as the run driver reads it: arguments (the input split at NUL bytes)
// parsed into the run options, normalised, and the dial plan's numbers drawn from them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/message_loop.h"

using namespace telvane;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The error lines the parser prints are not the fuzzer's business.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Time-stamped lines read the clock of the thread's loop.
  static platform::MessageLoop loop(platform::ClockMode::kVirtual);
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
  RunOptions options;
  ParseCommandLine(arguments, options);
  if (options.ShowUsage) return 0;
  NormaliseOptions(options);
  const int64_t attempts = AttemptCount(options);
  for (int64_t attempt = 1; attempt <= attempts && attempt <= 8; ++attempt) {
    NumberForAttempt(options, attempt);
  }
  return 0;
}
