// The fixture of the end-to-end tests: the built program run as a user runs it, against
// simulated lines on the virtual clock, in a folder of the test's own; its lines (time stamps
// masked; on Windows every line ends in CR LF), its exit code, nothing on standard error, and
// what the callee heard.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "tests/support/heard_log.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane::e2e {

using testing::ProgramRun;
using testing::RunProgram;

using Play = testing::NamedPlay;

class TelvaneE2eTest : public ::testing::Test {
 protected:
  TelvaneE2eTest() : message_((dir_ / "alert.wav").string()) {
    std::filesystem::copy_file(TELVANE_EXAMPLES "/routerfailure.wav", message_);
  }

  void WriteLines(const testing::SimLines& lines) { dir_.Write("lines.ini", lines.Text()); }

  // The program's environment: its settings come from config/telvane/telvane.ini under the
  // test's directory, and its temporary files go to tmp/ there.
  std::map<std::string, std::string> Environment() const {
    std::filesystem::create_directories(dir_ / "tmp");
    std::map<std::string, std::string> environment = testing::ProgramEnvironment(dir_.Path());
    environment.insert(
        {{"TELVANE_CLOCK", "virtual"}, {"TMPDIR", (dir_ / "tmp").string()}, {"LC_ALL", "C"}});
    return environment;
  }

  ProgramRun Run(const std::vector<std::string>& arguments, int exit_code = 0) {
    ProgramRun run = RunProgram(TELVANE_PROGRAM, arguments, Environment());
    EXPECT_EQ(run.exit_code, exit_code);
    EXPECT_EQ(run.standard_error, "");
    EXPECT_FALSE(run.bare_line_feed) << "every line ends in CR LF on Windows";
    return run;
  }

  // A voice line recording what the callee hears, with the given default script.
  testing::SimLines VoiceLine(const std::string& script) {
    return testing::SimLines()
        .Line("Sim Voice")
        .Record((dir_ / "heard-%n-%c.wav").string())
        .Default(script);
  }

  void WriteSettings(const std::string& text) const {
    std::filesystem::create_directories(dir_ / "config" / "telvane");
    dir_.Write("config/telvane/telvane.ini", text);
  }

  std::vector<Play> Heard(const std::string& number, int call) {
    return Heard(number, call, testing_wave::DataChunkSamples(TELVANE_GREETING),
                 testing_wave::DataChunkSamples(message_));
  }
  std::vector<Play> Heard(const std::string& number, int call, const std::vector<int16_t>& greeting,
                          const std::vector<int16_t>& message) {
    return testing::HeardFiles(dir_ / "events.log",
                               dir_ / ("heard-" + number + "-" + std::to_string(call) + ".wav"),
                               {{"greeting", greeting}, {"message", message}});
  }

  const testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  const std::string message_;
};

inline const Play kGreeting{"greeting", true, true};
inline const Play kGreetingCut{"greeting", false, true};
inline const Play kMessage{"message", true, true};
inline const Play kMessageCut{"message", false, true};

// The usage text as the program's own printer writes it, line by line, after `head`.
inline std::vector<std::string> ThenUsage(std::vector<std::string> head) {
  ::testing::internal::CaptureStdout();
  PrintUsage(/*start_directly=*/true);
  std::istringstream text(::testing::internal::GetCapturedStdout());
  for (std::string line; std::getline(text, line);) head.push_back(line);
  return head;
}

}  // namespace telvane::e2e
