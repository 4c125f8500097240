// The run over a simulated voice line on the virtual clock: its checks around the
// greeting file and the dial plan after a failed attempt (the end-to-end tests run the program
// for everything else the user sees).

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/run.h"
#include "platform/tapi_binding.h"
#include "tests/support/app_fixture.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane {
namespace {

class RunTelvaneTest : public telvane::testing::AppFixture {
 protected:
  RunTelvaneTest() {
    platform::SetTapiLibraryName(TELVANE_LINESVC_PATH);
    testing::SetEnvironment(
        "TELVANE_LINES",
        WriteFile("lines.ini",
                  testing::SimLines().Line("Sim Voice Line").Default("refuse").Text()));
    message_file_ = WriteFile("alert.wav", testing_wave::LineWave(testing_wave::Ramp(800)));
  }
  ~RunTelvaneTest() override { platform::UnbindTapi(); }

  void WriteGreeting() {
    WriteFile("PressAnyKey.wav", testing_wave::LineWave(testing_wave::Ramp(800)));
  }

  // Runs the program; returns its lines after the banner with every time stamp as "[T]".
  std::vector<std::string> Run(const std::vector<std::string>& arguments) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunTelvane(arguments, program_dir_), 0);
    std::string text = ::testing::internal::GetCapturedStdout();
    for (const std::string& banner : {BannerText(false), BannerText(true)}) {
      if (text.rfind(banner, 0) == 0) text.erase(0, banner.size());
    }
    std::istringstream out(text);
    static const std::regex kStamp(R"(^\[[^\]\n]+\]\t)");
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);) {
      lines.push_back(std::regex_replace(line, kStamp, "[T]\t"));
    }
    return lines;
  }

  std::string message_file_;
};

using Lines = std::vector<std::string>;

// The greeting is looked for once the device is chosen, in the program's folder or where the
// settings say, and its absence stops the run with the same wording; a negative retry count
// dials nothing but still makes the checks.
TEST_F(RunTelvaneTest, MissingGreetingStopsTheRun) {
  const Lines missing = {"[T]\tError : PressAnyKey.wav file does not exist."};
  EXPECT_EQ(Run({message_file_, "-phone:555"}), missing);
  EXPECT_EQ(Run({message_file_, "-phone:555", "-retry:-1"}), missing);
  WriteGreeting();
  EXPECT_EQ(Run({message_file_, "-phone:555", "-retry:-1"}), Lines{});
  WriteSettings("[General]\nPressAnyKeyFile=" + (dir_ / "hello.wav").string() + "\n");
  EXPECT_EQ(Run({message_file_, "-phone:555"}), missing);
}

// With -skipintro the greeting file is not looked for and the number is dialled.
TEST_F(RunTelvaneTest, SkipIntroDoesNotLookForGreeting) {
  EXPECT_EQ(Run({message_file_, "-phone:555", "-skipintro"}),
            (Lines{"[T]\tDialing 555", "[T]\tResult : Error : Tapi device is not ready"}));
}

// With -skipintro, a listener who hangs up in the pause after the answer heard nothing: the
// attempt fails and the backup is called.
TEST_F(RunTelvaneTest, SkipIntroHangUpBeforeTheMessageCallsTheBackup) {
  testing::SetEnvironment(
      "TELVANE_LINES",
      WriteFile("lines.ini", testing::SimLines()
                                 .Line("Sim Voice Line")
                                 .Number("555", "answer after=1000; hangup after=500")
                                 .Default("answer after=1000")
                                 .Text()));
  WriteSettings("[General]\nAfterConnectPause=2000\n");
  const Lines lines = Run({message_file_, "-phone:555", "-backupphone:556", "-skipintro"});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "[T]\tDialing 555");
  EXPECT_EQ(lines[1], "[T]\tResult : Disconnected by remote");
  EXPECT_EQ(lines[2], "[T]\tDialing 556");
}

}  // namespace
}  // namespace telvane
