// The built program run as a user runs it, against simulated lines on the virtual clock: the
// cases that run on both systems (on Windows telvane.exe under wine, whose lines end in CR LF
// and are otherwise the same).
#include "tests/e2e/telvane_e2e.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

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
  EXPECT_THAT(run.lines, ElementsAreArray(ThenUsage({})));
}

// Validation errors: the time-stamped error, two empty lines, the usage; a missing or absent
// message file (a folder is none) is reported first, even when the phone is missing too.
TEST_F(TelvaneE2eTest, BadArgumentsPrintErrorAndUsage) {
  const std::string file_error = "[T]\tError. File name is required.";
  const std::string phone_error = "[T]\tError. Primary phone number is required.";
  const struct {
    std::vector<std::string> arguments;
    const std::string& error;
  } rows[] = {
      {{"-phone:123"}, file_error},
      {{"-debug"}, file_error},
      {{"nofile.wav", "-phone:1"}, file_error},
      {{dir_.Path().string(), "-phone:1"}, file_error},
      {{"nofile.wav"}, file_error},
      {{message_}, phone_error},
      {{message_, "-phone:"}, phone_error},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.front());
    EXPECT_THAT(Run(row.arguments).lines, ElementsAreArray(ThenUsage({row.error, "", ""})));
  }
}

// Without a lines file there is no line device.
TEST_F(TelvaneE2eTest, NoLinesMeansNoDevice) {
  EXPECT_THAT(Run({message_, "-phone:5551234"}).lines,
              ElementsAre("[T]\tError : Tapi device not found"));
}

// A named data line is found but cannot carry voice; unnamed, no voice line is found.
TEST_F(TelvaneE2eTest, DataLineCannotCarryVoice) {
  WriteLines(testing::SimLines().Line("Sim Data", "data"));
  EXPECT_THAT(Run({message_, "-phone:1", "-tapidevice:SIM DATA"}).lines,
              ElementsAre("[T]\tError : Modem does not support voice calls"));
  EXPECT_THAT(Run({message_, "-phone:1"}).lines, ElementsAre("[T]\tError : Tapi device not found"));
}

// A busy primary and an unanswered backup, in both orders, each attempt on its own line.
TEST_F(TelvaneE2eTest, BusyAndNoAnswerOverTheDialPlan) {
  WriteLines(testing::SimLines()
                 .Line("Sim Voice")
                 .Number("111", "busy")
                 .Number("222", "noanswer ring=60000"));
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
  WriteLines(testing::SimLines().Line("Sim Voice"));
  EXPECT_TRUE(Run({message_, "-phone:1", "-retry:-1"}).lines.empty());
}

// The listener presses a key during the second greeting: the greeting stops, the message
// plays whole, the call completes and the dial plan stops.
TEST_F(TelvaneE2eTest, KeyDuringSecondGreetingCompletesTheCall) {
  WriteLines(VoiceLine("answer after=2000; keys=heard+7000:5"));
  EXPECT_THAT(Run({message_, "-phone:5551234", "-backupphone:999", "-retry:2"}).lines,
              ElementsAre("[T]\tDialing 5551234", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("5551234", 1), ElementsAre(kGreeting, kGreetingCut, kMessage));
}

// With -skipintro the message repeats back to back until the time limit has passed.
TEST_F(TelvaneE2eTest, SkipIntroRepeatsTheMessageUntilTheLimit) {
  WriteLines(VoiceLine("answer after=1000"));
  EXPECT_THAT(Run({message_, "-phone:1", "-skipintro"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tResult : Play message duration exceeded"));
  // 50 s at 7.8 s a play: the seventh play ends after the limit.
  EXPECT_THAT(Heard("1", 1), ElementsAreArray(std::vector<Play>(7, kMessage)));
}

// -debug shows the call's statuses and play states.
TEST_F(TelvaneE2eTest, DebugShowsStatusesAndStates) {
  WriteLines(VoiceLine("answer after=2000; keys=heard+1000:5"));
  const std::vector<std::string> lines = Run({message_, "-phone:1", "-debug"}).lines;
  EXPECT_THAT(lines, ::testing::Contains("[T]\tStatus : Connected!"));
  EXPECT_THAT(lines, ::testing::Contains("[T]\tHit"));
  EXPECT_THAT(lines, ::testing::Contains("[T]\tPlaying Message Done"));
  EXPECT_EQ(lines.back(), "[T]\tCall Completed");
}

// With -exitcode the exit code tells the outcome; the same runs without it exit 0.
TEST_F(TelvaneE2eTest, ExitCodeTellsTheOutcome) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:5")
                 .Number("111", "busy")
                 .Number("222", "answer after=1000"));
  EXPECT_EQ(Run({message_, "-phone:1", "-exitcode"}, 0).lines.back(), "[T]\tCall Completed");
  EXPECT_EQ(Run({message_, "-phone:111", "-exitcode"}, 1).lines.back(),
            "[T]\tResult : Error : Tapi device is not ready");
  Run({message_, "-exitcode"}, 2);
  Run({"-exitcode", "-phone:1"}, 2);
  EXPECT_EQ(Run({message_, "-phone:1", "-exitcode", "-retry:-1"}, 1).lines,
            std::vector<std::string>{});
  // Played to someone who pressed no key: 4, so a script can tell it from an acknowledgement.
  EXPECT_EQ(Run({message_, "-phone:222", "-exitcode"}, 4).lines.back(), "[T]\tCall Completed");
  EXPECT_EQ(Run({message_, "-phone:222"}, 0).lines.back(), "[T]\tCall Completed");
  WriteLines(testing::SimLines());
  EXPECT_THAT(Run({message_, "-phone:1", "-exitcode"}, 3).lines,
              ElementsAre("[T]\tError : Tapi device not found"));
}

// With -ack a call nobody acknowledged fails once the message has played, and the dial plan
// goes on to the backup, where a key during the first greeting completes the call.
TEST_F(TelvaneE2eTest, AckNeedsAKeyDuringTheGreetings) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:5").Number("111", "answer after=1000"));
  EXPECT_THAT(Run({message_, "-phone:111", "-backupphone:222", "-ack", "-exitcode"}, 0).lines,
              ElementsAre("[T]\tDialing 111", "[T]\tResult : No key pressed", "[T]\tDialing 222",
                          "[T]\tCall Completed"));
  EXPECT_THAT(Heard("111", 1),
              ElementsAre(kGreeting, kGreeting, kGreeting, kGreeting, kGreeting, kMessage));
  EXPECT_THAT(Run({message_, "-phone:111", "-ack", "-exitcode"}, 1).lines.back(),
              "[T]\tResult : No key pressed");
}

// With -ack and -skipintro the message repeats until a key: the play it cuts ends the call.
TEST_F(TelvaneE2eTest, AckWithSkipIntroRepeatsUntilAKey) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+10000:5"));
  EXPECT_THAT(Run({message_, "-phone:1", "-skipintro", "-ack", "-exitcode"}, 0).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("1", 1), ElementsAre(kMessage, kMessageCut));
}

}  // namespace
}  // namespace telvane::e2e
