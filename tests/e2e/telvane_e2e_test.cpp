// The built program run as a user runs it, against simulated lines on the virtual clock:
// its lines (time stamps masked), its exit code, and nothing on standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/program_runner.h"
#include "tests/support/usage_text.h"

namespace telvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class TelvaneE2eTest : public ::testing::Test {
 protected:
  TelvaneE2eTest() {
    dir_ = std::filesystem::temp_directory_path() /
           ("telvane_e2e_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    message_ = (dir_ / "alert.wav").string();
    std::filesystem::copy_file(TELVANE_EXAMPLES "/routerfailure.wav", message_);
  }
  ~TelvaneE2eTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void WriteLines(const std::string& text) { std::ofstream(dir_ / "lines.ini") << text; }

  ProgramRun Run(const std::vector<std::string>& arguments) {
    ProgramRun run = RunProgram(TELVANE_PROGRAM, arguments,
                                {{"TELVANE_CLOCK", "virtual"},
                                 {"TELVANE_LINES", (dir_ / "lines.ini").string()},
                                 {"TELVANE_STATE_DIR", (dir_ / "state").string()},
                                 {"TELVANE_LINES_LOG", (dir_ / "events.log").string()},
                                 {"LC_ALL", "C"}});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.standard_error, "");
    return run;
  }

  std::filesystem::path dir_;
  std::string message_;
};

using telvane::testing::kUsage;

std::vector<std::string> Concat(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// No arguments: the banner in code page 437 on a non-UTF-8 console, then the usage.
TEST_F(TelvaneE2eTest, NoArgumentsPrintBannerAndUsage) {
  const ProgramRun run = Run({});
  const std::string top = "\xDA\xC4\xFE\xFE\xFE" + std::string(73, '\xC4') + "\xB7\n";
  const std::string bottom = "\xD4" + std::string(77, '\xCD') + "\xBC\n";
  EXPECT_EQ(run.standard_output.substr(0, top.size()), top);
  EXPECT_NE(
      run.standard_output.find(bottom + " Purpose: calls specified phone number and plays wav file "
                                        "using voice modem\n\n"),
      std::string::npos);
  EXPECT_THAT(run.lines, ElementsAreArray(kUsage));
}

// Validation errors: the time-stamped error, two empty lines, the usage; file first.
TEST_F(TelvaneE2eTest, BadArgumentsPrintErrorAndUsage) {
  EXPECT_THAT(Run({"nofile.wav", "-phone:1"}).lines,
              ElementsAreArray(Concat({"[T]\tError. File name is required.", "", ""}, kUsage)));
  EXPECT_THAT(Run({"nofile.wav"}).lines,
              ElementsAreArray(Concat({"[T]\tError. File name is required.", "", ""}, kUsage)));
  EXPECT_THAT(
      Run({message_}).lines,
      ElementsAreArray(Concat({"[T]\tError. Primary phone number is required.", "", ""}, kUsage)));
}

// Without a lines file there is no line device.
TEST_F(TelvaneE2eTest, NoLinesMeansNoDevice) {
  EXPECT_THAT(Run({message_, "-phone:5551234"}).lines,
              ElementsAre("[T]\tError : Tapi device not found"));
}

// A named data line is found but cannot carry voice; unnamed, no voice line is found.
TEST_F(TelvaneE2eTest, DataLineCannotCarryVoice) {
  WriteLines("[line Sim Data]\ndriver = sim\nmedia = data\n");
  EXPECT_THAT(Run({message_, "-phone:1", "-tapidevice:SIM DATA"}).lines,
              ElementsAre("[T]\tError : Modem does not support voice calls"));
  EXPECT_THAT(Run({message_, "-phone:1"}).lines, ElementsAre("[T]\tError : Tapi device not found"));
}

// A busy primary and an unanswered backup, in both orders, each attempt on its own line.
TEST_F(TelvaneE2eTest, BusyAndNoAnswerOverTheDialPlan) {
  WriteLines(
      "[line Sim Voice]\ndriver = sim\nmedia = voice\n"
      "number.111 = busy\nnumber.222 = noanswer ring=60000\n");
  const std::string busy = "[T]\tResult : Error : Tapi device is not ready";
  EXPECT_THAT(Run({message_, "-phone:111", "-backupphone:222", "-retry:2"}).lines,
              ElementsAre("[T]\tDialing 111", "busy", busy, "[T]\tDialing 222", busy,
                          "[T]\tDialing 111", "busy", busy, "[T]\tDialing 222", busy));
  EXPECT_THAT(Run({message_, "-phone:111", "-backupphone:222", "-retry:2", "-retrymode:ptb"}).lines,
              ElementsAre("[T]\tDialing 111", "busy", busy, "[T]\tDialing 111", "busy", busy,
                          "[T]\tDialing 222", busy, "[T]\tDialing 222", busy));
}

// A negative retry count dials nothing but still checks the device.
TEST_F(TelvaneE2eTest, NegativeRetryDialsNothing) {
  WriteLines("[line Sim Voice]\ndriver = sim\nmedia = voice\n");
  EXPECT_TRUE(Run({message_, "-phone:1", "-retry:-1"}).lines.empty());
}

}  // namespace
}  // namespace telvane::e2e
