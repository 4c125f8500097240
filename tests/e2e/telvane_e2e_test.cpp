// The built program run as a user runs it, against simulated lines on the virtual clock:
// its lines (time stamps masked), its exit code, and nothing on standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/telvane_utils.h"
#include "tests/support/heard_log.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::ProgramRun;
using testing::RunProgram;

// One play as the line heard it: which file, how much of it, and whether its buffers
// followed each other without a gap.
struct Play {
  std::string file;
  bool whole = false;
  bool seamless = true;
  bool operator==(const Play&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Play& play) {
  return out << play.file << (play.whole ? " whole" : " cut") << (play.seamless ? "" : " gappy");
}

// The plays of one call as the line heard them, each named by the file whose beginning the
// recording holds at its place.
std::vector<Play> HeardPlays(const std::filesystem::path& log_path,
                             const std::filesystem::path& recording,
                             const std::map<std::string, std::vector<int16_t>>& files) {
  const std::vector<int16_t> heard = testing_wave::ReadRecording(recording);
  const std::vector<testing::HeardBuffer> buffers = testing::ReadHeardBuffers(log_path, recording);
  std::vector<Play> plays;
  size_t position = 0;
  for (const testing::HeardPlay& heard_play : testing::HeardPlays(buffers)) {
    const bool seamless = std::all_of(heard_play.gaps_ms.begin(), heard_play.gaps_ms.end(),
                                      [](int64_t gap) { return gap == 0; });
    Play play{"?", false, seamless};
    for (const auto& [name, samples] : files) {
      if (heard_play.length <= samples.size() &&
          heard_play.start + heard_play.length <= heard.size() &&
          std::equal(samples.begin(), samples.begin() + static_cast<long>(heard_play.length),
                     heard.begin() + static_cast<long>(heard_play.start))) {
        play.file = name;
        play.whole = !heard_play.cut && heard_play.length == samples.size();
      }
    }
    plays.push_back(play);
    position = heard_play.start + heard_play.length;
  }
  EXPECT_EQ(position, heard.size()) << "the log and the recording disagree";
  return plays;
}

class TelvaneE2eTest : public ::testing::Test {
 protected:
  TelvaneE2eTest() : message_(dir_ / "alert.wav") {
    std::filesystem::copy_file(TELVANE_EXAMPLES "/routerfailure.wav", message_);
  }

  void WriteLines(const testing::SimLines& lines) { dir_.Write("lines.ini", lines.Text()); }

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

  // A voice line recording what the callee hears, with the given default script.
  testing::SimLines VoiceLine(const std::string& script) {
    return testing::SimLines()
        .Line("Sim Voice")
        .Record((dir_ / "heard-%n-%c.wav").string())
        .Default(script);
  }

  std::vector<Play> Heard(const std::string& number, int call) {
    return HeardPlays(dir_ / "events.log",
                      dir_ / ("heard-" + number + "-" + std::to_string(call) + ".wav"),
                      {{"greeting", testing_wave::DataChunkSamples(TELVANE_GREETING)},
                       {"message", testing_wave::DataChunkSamples(message_)}});
  }

  const testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  const std::string message_;
};

const Play kGreeting{"greeting", true, true};
const Play kGreetingCut{"greeting", false, true};
const Play kMessage{"message", true, true};
const Play kMessageCut{"message", false, true};

// The usage text as the program's own printer writes it, line by line, after `head`.
std::vector<std::string> ThenUsage(std::vector<std::string> head) {
  ::testing::internal::CaptureStdout();
  PrintUsage(/*start_directly=*/true);
  std::istringstream text(::testing::internal::GetCapturedStdout());
  for (std::string line; std::getline(text, line);) head.push_back(line);
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
  EXPECT_THAT(run.lines, ElementsAreArray(ThenUsage({})));
}

// Validation errors: the time-stamped error, two empty lines, the usage; file first.
TEST_F(TelvaneE2eTest, BadArgumentsPrintErrorAndUsage) {
  EXPECT_THAT(Run({"nofile.wav", "-phone:1"}).lines,
              ElementsAreArray(ThenUsage({"[T]\tError. File name is required.", "", ""})));
  EXPECT_THAT(Run({"nofile.wav"}).lines,
              ElementsAreArray(ThenUsage({"[T]\tError. File name is required.", "", ""})));
  EXPECT_THAT(
      Run({message_}).lines,
      ElementsAreArray(ThenUsage({"[T]\tError. Primary phone number is required.", "", ""})));
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

// Nobody presses a key: the greeting plays MaxGreetingsCount (5) times, then the message.
TEST_F(TelvaneE2eTest, GreetingCountUsedUpThenMessage) {
  WriteLines(VoiceLine("answer after=1000"));
  EXPECT_THAT(Run({message_, "-phone:1"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("1", 1),
              ElementsAre(kGreeting, kGreeting, kGreeting, kGreeting, kGreeting, kMessage));
}

// A key during the message stops it (the line interrupts playback on a key) and the call
// still counts as completed.
TEST_F(TelvaneE2eTest, KeyDuringMessage) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:1,heard+4000:2"));
  EXPECT_THAT(Run({message_, "-phone:1"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("1", 1), ElementsAre(kGreetingCut, kMessageCut));
}

// The listener hangs up during the greeting: the attempt fails and the backup is dialled;
// a hang-up during the message (the rest of it unheard) still completes the call.
TEST_F(TelvaneE2eTest, RemoteHangUpDuringGreetingAndDuringMessage) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:1; hangup after=heard+3000")
                 .Number("111", "answer after=1000; hangup after=heard+2000"));
  EXPECT_THAT(Run({message_, "-phone:111", "-backupphone:222"}).lines,
              ElementsAre("[T]\tDialing 111", "[T]\tResult : Disconnected by remote",
                          "[T]\tDialing 222", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("111", 1), ElementsAre(kGreetingCut));
  EXPECT_THAT(Heard("222", 2), ElementsAre(kGreetingCut, kMessageCut));  // the line's 2nd call
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

}  // namespace
}  // namespace telvane::e2e
