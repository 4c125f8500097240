// Benchmark of a SIP call: the built program plays a 10-second message to an auto-answering
// baresip on 127.0.0.1, then baresip itself, as the caller, plays the same message to the same
// callee. For each caller it prints the wall time, the CPU time (user + system) as a share of
// the wall time, and the peak resident memory of its whole process.
//
//   build/bench/sip_bench build/telvane          G.711 (PCMU), plain RTP
//   build/bench/sip_bench build/telvane srtp     G.711 in SRTP (both callers and the callee
//                                                insist on it: RTP/SAVP, SDES keys)
//   build/bench/sip_bench build/telvane g722     G.722 alone
//
// Target: our caller uses at most a third of baresip's CPU, and less memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

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
  const std::string variant = argc == 3 ? argv[2] : "";
  if (argc < 2 || argc > 3 || (argc == 3 && variant != "srtp" && variant != "g722")) {
    std::fprintf(stderr, "usage: %s <path of the built telvane> [srtp | g722]\n", argv[0]);
    return 2;
  }
  using telvane::linesvc::testing_sip::BaresipMedia;
  BaresipMedia media;
  std::string line_keys;
  if (variant == "srtp") {
    media.srtp_mandatory = true;
    line_keys = "srtp = required\n";
  } else if (variant == "g722") {
    media.codecs = "G722/16000/1";  // baresip names it by its sound's rate
    line_keys = "codecs = g722\n";
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
  // Telvane's line is 8 kHz whatever the codec; baresip's file source must have the codec's
  // rate (16 kHz for G.722), so with G.722 its files are 16 kHz.
  namespace wave = telvane::testing_wave;
  const uint32_t rate = variant == "g722" ? 16000 : 8000;
  const auto wave_file = [](const std::vector<int16_t>& samples, uint32_t hz) {
    return wave::Riff("WAVE", wave::Chunk("fmt ", wave::PcmFormat(1, hz, 16)) +
                                  wave::Chunk("data", wave::Samples16(samples)));
  };
  wave::WriteFile(dir / "msg.wav", wave_file(wave::Sine(8000 * 10, 440, 8000, 8000), 8000));
  wave::WriteFile(dir / "caller.wav", wave_file(wave::Sine(rate * 10, 440, rate, 8000), rate));
  wave::WriteFile(dir / "callee.wav", wave_file(std::vector<int16_t>(rate * 60, 0), rate));
  Baresip callee(dir / "callee.wav", Baresip::Answer::kAuto, "baresip", {}, media);
  if (callee.Port() == 0) {
    std::fprintf(stderr, "baresip did not start\n");
    return 1;
  }

  // Our caller: the message once (-skipintro), then the call ends.
  telvane::testing_wave::WriteFile(
      dir / "lines.ini", "[line SIP]\ndriver = sip\nuri = sip:bench@127.0.0.1\n" + line_keys);
  const telvane::testing::ProgramRun ours = telvane::testing::RunProgram(
      (dir / "telvane").string(),
      {(dir / "msg.wav").string(), "-phone:" + callee.Uri(), "-skipintro"},
      telvane::testing::ProgramEnvironment(dir));
  const Figures telvane{ours.wall_s, ours.cpu_s, ours.peak_kib};
  // The callee takes nothing but the variant's media: a completed call used them.
  std::printf("telvane's result: %s\n", ours.lines.empty() ? "none" : ours.lines.back().c_str());
  callee.WaitForEvent("CALL_CLOSED", 5000);

  // baresip as the caller: it plays the same file and hangs up when the file ends.
  const auto start = std::chrono::steady_clock::now();
  Baresip caller(dir / "caller.wav", Baresip::Answer::kAuto, "baresip_caller", {}, media);
  caller.Dial(callee.Uri());
  caller.WaitForEvent("CALL_CLOSED", 30000);
  const long baresip_peak_kib = caller.PeakKib();
  Figures baresip = FiguresOf(caller.Quit(), Since(start));
  // Its own peak, as the program's is: ru_maxrss would count what the benchmark held when it
  // started baresip.
  baresip.peak_kib = baresip_peak_kib;

  std::printf("A 10 s message to an auto-answering baresip on 127.0.0.1 (%s), whole processes:\n",
              variant == "srtp"   ? "G.711 in SRTP"
              : variant == "g722" ? "G.722"
                                  : "G.711");
  Print("telvane (SIP line)", telvane);
  Print("baresip as the caller", baresip);
  std::printf(
      "CPU time of telvane / baresip: %.2f (target at most 0.33); "
      "peak memory: %.2f (target below 1)\n",
      telvane.cpu_s / baresip.cpu_s,
      static_cast<double>(telvane.peak_kib) / static_cast<double>(baresip.peak_kib));
  return 0;
}
