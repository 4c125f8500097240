// The program's entry: banner, command line, validation, set-up and the dial plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/call_controller.h"

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
  // Opt-in additions for scripts; without them the program behaves as it always did.
  bool UseExitCode = false;  // "-exitcode": the exit code tells the outcome (RunExitCode)
  bool RequireAck = false;   // "-ack": a call completes only when the listener pressed a key
};

// What a run came to, as "-exitcode" reports it; without "-exitcode" the code is always 0.
enum class RunExitCode : int {
  kCompleted = 0,            // a call completed (with "-ack": acknowledged by a key)
  kAllAttemptsFailed = 1,    // no attempt completed, or none was made
  kCommandLineRefused = 2,   // usage or validation error
  kCouldNotStart = 3,        // an error line before or instead of the dial plan
  kCompletedWithoutKey = 4,  // completed, nobody pressed a key (only without "-ack")
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

// Runs the whole program and returns its exit code: 0, or with "-exitcode" the RunExitCode
// of the outcome.
int RunTelvane(const std::vector<std::string>& arguments);

}  // namespace telvane
