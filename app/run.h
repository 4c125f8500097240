// The program's entry: banner, command line, checks, set-up and the dial plan.
//
//   int main(int argc, char** argv) {
//     return RunTelvane({argv + 1, argv + argc}, program_dir);
//   }
//
// Loop thread only: the calling thread's message loop must exist.
#pragma once

#include <string>
#include <vector>

namespace telvane {

// What a run came to, as "-exitcode" reports it; without "-exitcode" the code is always 0.
enum class RunExitCode : int {
  kCompleted = 0,            // a call completed (with "-ack": acknowledged by a key)
  kAllAttemptsFailed = 1,    // no attempt completed, or none was made
  kCommandLineRefused = 2,   // usage or validation error
  kCouldNotStart = 3,        // an error line before or instead of the dial plan
  kCompletedWithoutKey = 4,  // completed, nobody pressed a key (only without "-ack")
};

// Runs the whole program with the process arguments (without the program name) and returns
// its exit code: 0, or with "-exitcode" the RunExitCode of the outcome. program_dir is the
// executable's directory with its trailing separator, where the settings file and the
// greeting are looked for.
int RunTelvane(const std::vector<std::string>& arguments, const std::string& program_dir);

}  // namespace telvane
