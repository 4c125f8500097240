// Benchmark of a SIP call: the built program plays a 10-second message to an auto-answering
// baresip on 127.0.0.1, then baresip itself, as the caller, plays the same message to the same
// callee. For each caller it prints the wall time, the CPU time (user + system) as a share of
// the wall time, and the peak resident memory of its whole process.
//
//   build/bench/sip_bench build/telvane
//
// Target: our caller uses at most a third of baresip's CPU, and less memory.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "tests/linesvc/sip/sip_peers.h"
#include "tests/support/program_runner.h"
#include "tests/support/wave_files.h"

namespace {

using telvane::linesvc::testing_sip::Baresip;
using telvane::linesvc::testing_sip::PeerDir;

struct Figures {
  double wall_s = 0;
  double cpu_s = 0;
  long peak_kib = 0;
};

Figures FiguresOf(const rusage& usage, double wall_s) {
  Figures f;
  f.wall_s = wall_s;
  f.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  f.peak_kib = usage.ru_maxrss;
  return f;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Print(const char* who, const Figures& f) {
  std::printf("%-22s wall %6.2f s   CPU %6.3f s (%5.2f%% of wall)   peak RSS %6.1f MiB\n", who,
              f.wall_s, f.cpu_s, 100.0 * f.cpu_s / f.wall_s,
              static_cast<double>(f.peak_kib) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <path of the built telvane>\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path program = fs::absolute(argv[1]);
  const telvane::testing::ScratchDir scratch = PeerDir("sip_bench");
  const fs::path dir = scratch.Path();
  // The program from a folder of its own, so that its settings play the message once, at once.
  fs::copy_file(program, dir / "telvane");
  fs::create_symlink(program.parent_path() / "libTAPI32.so", dir / "libTAPI32.so");
  fs::create_symlink(program.parent_path() / "PressAnyKey.wav", dir / "PressAnyKey.wav");
  telvane::testing_wave::WriteFile(dir / "telvane.ini", "[General]\nPlayMessageDurationSec=1\n");
  std::vector<int16_t> message(8000 * 10);
  for (size_t i = 0; i < message.size(); ++i) {
    message[i] =
        static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000));
  }
  telvane::testing_wave::WriteFile(dir / "msg.wav", telvane::testing_wave::LineWave(message));
  telvane::testing_wave::WriteFile(
      dir / "callee.wav", telvane::testing_wave::LineWave(std::vector<int16_t>(8000 * 60, 0)));
  Baresip callee(dir / "callee.wav");
  if (callee.Port() == 0) {
    std::fprintf(stderr, "baresip did not start\n");
    return 1;
  }

  // Our caller: the message once (-skipintro), then the call ends.
  telvane::testing_wave::WriteFile(dir / "lines.ini",
                                   "[line SIP]\ndriver = sip\nuri = sip:bench@127.0.0.1\n");
  const telvane::testing::ProgramRun ours = telvane::testing::RunProgram(
      (dir / "telvane").string(),
      {(dir / "msg.wav").string(), "-phone:" + callee.Uri(), "-skipintro"},
      telvane::testing::ProgramEnvironment(dir));
  const Figures telvane{ours.wall_s, ours.cpu_s, ours.peak_kib};
  callee.WaitForEvent("CALL_CLOSED", 5000);

  // baresip as the caller: it plays the same file and hangs up when the file ends.
  const auto start = std::chrono::steady_clock::now();
  Baresip caller(dir / "msg.wav", Baresip::Answer::kAuto, "baresip_caller");
  caller.Dial(callee.Uri());
  caller.WaitForEvent("CALL_CLOSED", 30000);
  const Figures baresip = FiguresOf(caller.Quit(), Since(start));

  std::printf("A 10 s message to an auto-answering baresip on 127.0.0.1, whole processes:\n");
  Print("telvane (SIP line)", telvane);
  Print("baresip as the caller", baresip);
  std::printf(
      "CPU time of telvane / baresip: %.2f (target at most 0.33); "
      "peak memory: %.2f (target below 1)\n",
      telvane.cpu_s / baresip.cpu_s,
      static_cast<double>(telvane.peak_kib) / static_cast<double>(baresip.peak_kib));
  return 0;
}
