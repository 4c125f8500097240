// Measures one whole simulated call of the built program: greeting twice, a key during the
// second greeting, then a 10-second message.
//
//   build/bench/call_bench build/telvane
//
// Prints the CPU time and peak memory of the real-time call as shares of its wall time, the
// wall time of the same call on the virtual clock, and the gaps between consecutive buffers
// as the line heard them (from the service's event log).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Measure {
  double wall_s = 0;
  double cpu_s = 0;
  long peak_kib = 0;
  int exit_code = -1;
};

void WriteSineWav(const std::filesystem::path& path, double seconds) {
  const uint32_t rate = 8000;
  const auto samples = static_cast<uint32_t>(seconds * rate);
  std::vector<int16_t> data(samples);
  for (uint32_t i = 0; i < samples; ++i) {
    data[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / rate));
  }
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = samples * 2;
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(rate);
  u32(rate * 2);
  u16(2);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(data.data()), bytes);
}

Measure RunCall(const std::string& program, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extra_env) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  Measure m;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::fprintf(stderr, "cannot start %s\n", program.c_str());
    return m;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  m.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  m.peak_kib = usage.ru_maxrss;
  m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

// Gaps between consecutive buffers of one play, in ms, from the service's event log.
std::vector<long> BufferGaps(const std::filesystem::path& log_path) {
  static const std::regex buffer_line(
      R"(audio: buffer of (\d+) samples(?: cut after (\d+),)? heard from (\d+) to (\d+) ms)");
  std::ifstream log(log_path);
  std::string line;
  std::vector<long> gaps;
  bool in_play = false;
  long last_end = 0;
  while (std::getline(log, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, buffer_line)) continue;
    const long from = std::stol(m[3]);
    const long to = std::stol(m[4]);
    if (in_play) gaps.push_back(from - last_end);
    last_end = to;
    // A play ends with a short or cut buffer; the next buffer starts a new play.
    in_play = !(m[2].matched || std::stol(m[1]) < 24000);
  }
  return gaps;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s path/to/telvane\n", argv[0]);
    return 2;
  }
  const std::string program = argv[1];
  const auto dir =
      std::filesystem::temp_directory_path() / ("telvane_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  WriteSineWav(dir / "message.wav", 10.0);
  const auto log = dir / "events.log";
  {
    // The greeting of the program's folder lasts a little over five seconds; the key comes
    // when the listener has heard seven seconds, that is during the second greeting.
    std::ofstream lines(dir / "lines.ini");
    lines << "[line Bench Line]\ndriver = sim\nmedia = voice\n"
             "default = answer after=1000; keys=heard+7000:5\n";
  }
  const std::vector<std::string> args = {(dir / "message.wav").string(), "-phone:5551234"};
  const std::vector<std::string> env = {"TELVANE_LINES=" + (dir / "lines.ini").string(),
                                        "TELVANE_STATE_DIR=" + (dir / "state").string(),
                                        "TELVANE_LINES_LOG=" + log.string()};

  const Measure real = RunCall(program, args, env);
  const std::vector<long> gaps = BufferGaps(log);
  std::filesystem::remove(log);
  std::vector<std::string> virtual_env = env;
  virtual_env.push_back("TELVANE_CLOCK=virtual");
  const Measure virt = RunCall(program, args, virtual_env);

  std::printf("real-time call: wall %.2f s, CPU %.3f s (%.2f%% of wall), peak memory %ld KiB\n",
              real.wall_s, real.cpu_s, 100.0 * real.cpu_s / std::max(real.wall_s, 1e-9),
              real.peak_kib);
  std::printf("virtual-clock call: wall %.3f s, CPU %.3f s\n", virt.wall_s, virt.cpu_s);
  if (gaps.empty()) {
    std::printf("gaps between buffers of one play: none measured\n");
  } else {
    std::printf("gaps between buffers of one play (real time): %zu measured, largest %ld ms\n",
                gaps.size(), *std::max_element(gaps.begin(), gaps.end()));
  }
  std::filesystem::remove_all(dir);
  return real.exit_code == 0 && virt.exit_code == 0 ? 0 : 1;
}
