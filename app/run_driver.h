// The program's entry: banner, command line, validation, set-up and the dial plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/qo_dealer.h"

namespace telvane {

// What the command line asked for.
struct RunOptions {
  std::string FileName;
  std::string Phone;
  std::string BackupPhone;
  std::string RetryMode = "pab";
  int32_t RetryCount = 1;
  bool ShowUsage = false;
  bool UseBackup = false;
  std::string TapiDevice;
  bool Debug = false;
  bool SkipIntro = false;
  bool CallCompleted = false;
};

// Fills options from the process arguments (without the program name). Every argument is
// lower-cased before it is examined, except that a file name keeps its case where file names
// are case-sensitive. Option texts are found anywhere in an argument, first match wins.
void ParseCommandLine(const std::vector<std::string>& arguments, RunOptions& options);

// Turns a retry count of 0 into 1, an unknown retry mode into "pab", and notes the backup.
void NormaliseOptions(RunOptions& options);

// Number of attempts of the dial plan (none for a negative retry count).
int64_t AttemptCount(const RunOptions& options);

// The number dialled by attempt i (counted from 1).
const std::string& NumberForAttempt(const RunOptions& options, int64_t attempt);

// Runs the whole program and returns its exit code, always 0. make_device builds the line
// device (empty: the real one).
int RunTelvane(const std::vector<std::string>& arguments,
               const TapiDeviceFactory& make_device = {});

}  // namespace telvane
