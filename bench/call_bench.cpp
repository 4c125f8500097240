// Measures one whole simulated call of the built program: greeting twice, a key during the
// second greeting, then a 10-second message.
//
//   build/bench/call_bench build/telvane
//
// Prints the CPU time and peak memory of the real-time call as shares of its wall time, the
// wall time of the same call on the virtual clock, and the gaps between consecutive buffers
// as the line heard them (from the service's event log).
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/support/heard_log.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace {

using telvane::testing::ProgramRun;

// Gaps between consecutive buffers of one play, in ms.
std::vector<int64_t> BufferGaps(const std::filesystem::path& log) {
  std::vector<int64_t> gaps;
  for (const auto& play : telvane::testing::HeardPlays(telvane::testing::ReadHeardBuffers(log))) {
    gaps.insert(gaps.end(), play.gaps_ms.begin(), play.gaps_ms.end());
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
  const telvane::testing::ScratchDir dir("bench");
  const std::string message = dir.Write(
      "message.wav",
      telvane::testing_wave::LineWave(telvane::testing_wave::Sine(80000, 440, 8000, 8000)));
  const auto log = dir / "events.log";
  // The greeting of the program's folder lasts a little over five seconds; the key comes when
  // the listener has heard seven seconds, that is during the second greeting.
  dir.Write("lines.ini", telvane::testing::SimLines()
                             .Line("Bench Line")
                             .Default("answer after=1000; keys=heard+7000:5")
                             .Text());
  const std::vector<std::string> args = {message, "-phone:5551234"};
  std::map<std::string, std::string> env = telvane::testing::ProgramEnvironment(dir.Path());

  const ProgramRun real = telvane::testing::RunProgram(program, args, env);
  const std::vector<int64_t> gaps = BufferGaps(log);
  std::filesystem::remove(log);
  env["TELVANE_CLOCK"] = "virtual";
  const ProgramRun virt = telvane::testing::RunProgram(program, args, env);

  std::printf("real-time call: wall %.2f s, CPU %.3f s (%.2f%% of wall), peak memory %ld KiB\n",
              real.wall_s, real.cpu_s, 100.0 * real.cpu_s / std::max(real.wall_s, 1e-9),
              real.peak_kib);
  std::printf("virtual-clock call: wall %.3f s, CPU %.3f s\n", virt.wall_s, virt.cpu_s);
  if (gaps.empty()) {
    std::printf("gaps between buffers of one play: none measured\n");
  } else {
    std::printf("gaps between buffers of one play (real time): %zu measured, largest %lld ms\n",
                gaps.size(), static_cast<long long>(*std::max_element(gaps.begin(), gaps.end())));
  }
  return real.exit_code == 0 && virt.exit_code == 0 ? 0 : 1;
}
