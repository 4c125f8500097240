// Starting the program with posix_spawn, reading both of its outputs, and its usage.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "tests/support/program_runner.h"

extern char** environ;

namespace telvane::testing {

namespace {

std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (extra.count(name) == 0) result.push_back(text);
  }
  for (const auto& [name, value] : extra) result.push_back(name + "=" + value);
  return result;
}

// How often the program's peak memory is looked at while it runs: what it adds in its last
// moments (it is winding down then) goes unseen.
constexpr int kPeakEveryMs = 20;

// Reads both outputs until the program closes them, and keeps the peak memory it reaches
// meanwhile in *peak_kib. With a deadline, a program still running then is killed (its outputs
// close with it); true when that happened.
bool ReadBoth(int out_fd, int err_fd, std::string& out, std::string& err, pid_t pid,
              std::optional<std::chrono::steady_clock::time_point> deadline, long* peak_kib) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buffer[4096];
  bool killed = false;
  while (open_count > 0) {
    *peak_kib = std::max(*peak_kib, ResidentPeakKib(pid));
    int wait_ms = kPeakEveryMs;
    if (deadline && !killed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      wait_ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kPeakEveryMs));
    }
    const int ready = poll(fds, 2, wait_ms);
    if (ready < 0) break;
    if (ready == 0) {
      if (deadline && !killed && std::chrono::steady_clock::now() >= *deadline) {
        kill(pid, SIGKILL);
        killed = true;
      }
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open_count;
        continue;
      }
      (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
    }
  }
  return killed;
}

}  // namespace

long ResidentPeakKib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment, double limit_s) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = EnvironmentWith(environment);
  std::vector<char*> envp;
  for (std::string& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProgramRun run;
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (limit_s > 0) {
    deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(limit_s));
  }
  long peak_kib = 0;
  run.timed_out = ReadBoth(out_pipe[0], err_pipe[0], run.standard_output, run.standard_error, pid,
                           deadline, &peak_kib);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peak_kib = peak_kib > 0 ? peak_kib : usage.ru_maxrss;
  run.lines = ResultLines(run.standard_output);
  return run;
}

}  // namespace telvane::testing
