// Measures how choosing the line and placing the call grow with the number of lines: the
// built program calls once through the first line that takes voice calls, which comes after
// N lines that take data only.
//
//   build/bench/line_choice_bench build/telvane [count]
//
// Prints, for N = count (8,000 by default), N/4 and N/2 data lines before the voice line,
// the wall time of the whole run on the virtual clock (the call itself takes no real time
// there) and the time per line. A time per line that stays flat as N grows means finding
// the line is linear.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace {

using telvane::testing::ProgramRun;

std::string Lines(int data_lines) {
  telvane::testing::SimLines lines;
  for (int i = 0; i < data_lines; ++i) lines.Line("Data " + std::to_string(i), "data");
  return lines.Line("Voice").Default("answer after=1000; keys=heard+500:5").Text();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s path/to/telvane [count]\n", argv[0]);
    return 2;
  }
  const std::string program = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 8000;
  const telvane::testing::ScratchDir dir("bench");
  const std::string message =
      dir.Write("message.wav", telvane::testing_wave::LineWave(telvane::testing_wave::Ramp(8000)));
  std::map<std::string, std::string> env = telvane::testing::ProgramEnvironment(dir.Path());
  env["TELVANE_CLOCK"] = "virtual";
  int failed = 0;
  for (const int lines : {count / 4, count / 2, count}) {
    dir.Write("lines.ini", Lines(lines));
    const ProgramRun run =
        telvane::testing::RunProgram(program, {message, "-phone:5551234", "-exitcode"}, env);
    if (run.exit_code != 0) ++failed;
    std::printf("%6d data lines before the voice line: %.3f s (%.1f us a line)%s\n", lines,
                run.wall_s, 1e6 * run.wall_s / (lines + 1), run.exit_code == 0 ? "" : ", FAILED");
  }
  return failed == 0 ? 0 : 1;
}
