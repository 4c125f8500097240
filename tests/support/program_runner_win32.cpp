// Starting the program with CreateProcess, reading both of its outputs through pipes, and its
// usage.
#include <windows.h>
// clang-format off
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <stdexcept>

#include "tests/support/program_runner.h"

namespace telvane::testing {

namespace {

// A handle closed when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void Close() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The process's environment block with the entries of `extra` added or replaced (names
// compare without case, as Windows compares them).
std::string EnvironmentBlock(const std::map<std::string, std::string>& extra) {
  std::set<std::string> upper_names;
  for (const auto& entry : extra) upper_names.insert(Upper(entry.first));
  std::string block;
  char* strings = GetEnvironmentStringsA();
  for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
    const std::string text = entry;
    // Entries such as "=C:=C:\dir" (a drive's current directory) have no name before '='.
    const size_t equals = text.find('=', 1);
    if (upper_names.count(Upper(text.substr(0, equals))) != 0) continue;
    block += text;
    block += '\0';
  }
  FreeEnvironmentStringsA(strings);
  for (const auto& [name, value] : extra) {
    block += name + "=" + value;
    block += '\0';
  }
  block += '\0';
  return block;
}

// One argument as the C run-time of the started program splits its command line: quoted when
// it holds blanks or quotes, with the backslashes before a quote doubled.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// Reads what the pipe holds now, without waiting for more.
void ReadAvailable(HANDLE pipe, std::string& out) {
  char buffer[4096];
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) ||
        got == 0) {
      return;
    }
    out.append(buffer, got);
  }
}

// CR LF to LF; *bare_line_feed tells whether a LF came without its CR.
std::string PosixLineEnds(const std::string& text, bool* bare_line_feed) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) *bare_line_feed = true;
    out += text[i];
  }
  return out;
}

double Seconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment, double limit_s) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle out_read, out_write, err_read, err_write;
  if (!CreatePipe(out_read.out(), out_write.out(), &inherit, 0) ||
      !CreatePipe(err_read.out(), err_write.out(), &inherit, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
  // Only the program's ends are inherited.
  SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  Handle no_input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr));

  std::string path = program;
  std::replace(path.begin(), path.end(), '/', '\\');
  std::string command_line = Quoted(path);
  for (const std::string& argument : arguments) command_line += " " + Quoted(argument);
  std::string block = EnvironmentBlock(environment);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = no_input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  PROCESS_INFORMATION process{};
  const auto start = std::chrono::steady_clock::now();
  if (!CreateProcessA(path.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, block.data(),
                      nullptr, &startup, &process)) {
    throw std::runtime_error("cannot start " + program + ": error " +
                             std::to_string(GetLastError()));
  }
  Handle process_handle(process.hProcess);
  Handle thread_handle(process.hThread);
  out_write.Close();
  err_write.Close();

  // The outputs are read while the program runs and once more when it has ended, never up
  // to their end: a process the program started (one of wine's own) may hold them open
  // after it.
  ProgramRun run;
  std::string raw_output;
  constexpr DWORD kPollMs = 10;
  const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(limit_s > 0 ? limit_s : 1e9));
  for (;;) {
    ReadAvailable(out_read.get(), raw_output);
    ReadAvailable(err_read.get(), run.standard_error);
    if (WaitForSingleObject(process_handle.get(), kPollMs) == WAIT_OBJECT_0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      TerminateProcess(process_handle.get(), 137);
      WaitForSingleObject(process_handle.get(), INFINITE);
      run.timed_out = true;
      break;
    }
  }
  ReadAvailable(out_read.get(), raw_output);
  ReadAvailable(err_read.get(), run.standard_error);

  DWORD exit_code = 0;
  GetExitCodeProcess(process_handle.get(), &exit_code);
  run.exit_code = static_cast<int>(exit_code);
  run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process_handle.get(), &created, &exited, &kernel, &user)) {
    run.cpu_s = Seconds(kernel) + Seconds(user);
  }
  PROCESS_MEMORY_COUNTERS memory{};
  if (K32GetProcessMemoryInfo(process_handle.get(), &memory, sizeof memory)) {
    run.peak_kib = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  }
  run.standard_output = PosixLineEnds(raw_output, &run.bare_line_feed);
  run.lines = ResultLines(run.standard_output);
  return run;
}

}  // namespace telvane::testing
