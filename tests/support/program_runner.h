// Runs the built telvane program the way a user does, with the environment a test (or the
// benchmark) chooses, and gives back what it wrote, its exit code, its lines with the time
// stamps masked, and what the run cost. POSIX only.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace telvane::testing {

struct ProgramRun {
  int exit_code = -1;
  std::string standard_output;
  std::string standard_error;
  // Standard output split into lines, "[date time]" replaced by "[T]", banner left out.
  std::vector<std::string> lines;
  // The run was still going after the time limit and was killed.
  bool timed_out = false;
  // Wall time, CPU time (user and system) and peak resident memory of the run.
  double wall_s = 0;
  double cpu_s = 0;
  long peak_kib = 0;
};

// Runs program with the arguments; environment entries are added to (or replace) the
// test's own environment. A run still going after limit_s seconds of real time (0: no limit)
// is killed and marked timed_out.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment, double limit_s = 0);

}  // namespace telvane::testing
