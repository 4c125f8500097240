// Runs the built telvane program the way a user does, with the environment a test (or the
// benchmark) chooses, and gives back what it wrote, its exit code, its lines with the time
// stamps masked, and what the run cost. On Windows (program_runner_win32.cpp) a console
// program ends its lines in CR LF; its output is given with LF line ends, so that the
// expected texts are the same on both systems, and a line end without its CR is reported.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace telvane::testing {

struct ProgramRun {
  int exit_code = -1;
  // On Windows with "\r\n" turned into "\n".
  std::string standard_output;
  std::string standard_error;
  // Standard output split into lines, "[date time]" replaced by "[T]", banner left out.
  std::vector<std::string> lines;
  // Windows: some line of standard output ended in LF alone, not in CR LF.
  bool bare_line_feed = false;
  // The run was still going after the time limit and was killed.
  bool timed_out = false;
  // Wall time, CPU time (user and system) and peak resident memory of the run.
  double wall_s = 0;
  double cpu_s = 0;
  long peak_kib = 0;
};

// The peak resident memory so far of a running process of ours (VmHWM, Linux only), in KiB; 0 when
// it cannot be read. Its own, unlike the ru_maxrss that wait4 gives: that counts, from the exec,
// the peak of the process that started it (the test's or the benchmark's own memory).
long ResidentPeakKib(int pid);

// What a run of the program in a test or benchmark is given so that it sees only what lies
// under `dir`: its lines file (lines.ini), state folder (state), event log (events.log) and
// settings folder (config, so that no user's or system's telvane.ini is read). Callers add
// or replace entries.
std::map<std::string, std::string> ProgramEnvironment(const std::filesystem::path& dir);

// The lines of a program's standard output as ProgramRun::lines has them.
std::vector<std::string> ResultLines(const std::string& standard_output);

// Runs program with the arguments; environment entries are added to (or replace) the
// test's own environment. A run still going after limit_s seconds of real time (0: no limit)
// is killed and marked timed_out.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment, double limit_s = 0);

}  // namespace telvane::testing
