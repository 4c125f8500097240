// The built program run as a user runs it, against simulated lines on the virtual clock:
// its lines (time stamps masked), its exit code, and nothing on standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/program_runner.h"
#include "tests/support/usage_text.h"
#include "tests/voice/wave_files.h"

namespace telvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// The 16-bit samples of a WAV file's data chunk, found by walking its chunks.
std::vector<int16_t> DataSamples(const std::filesystem::path& path) {
  const std::string bytes = testing_wave::ReadFile(path);
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
  };
  for (size_t at = 12; at + 8 <= bytes.size(); at += 8 + u32(at + 4) + (u32(at + 4) & 1)) {
    if (bytes.compare(at, 4, "data") != 0) continue;
    const size_t count = std::min<size_t>(u32(at + 4), bytes.size() - at - 8) / 2;
    std::vector<int16_t> samples(count);
    std::memcpy(samples.data(), bytes.data() + at + 8, count * 2);
    return samples;
  }
  ADD_FAILURE() << "no data chunk in " << path;
  return {};
}

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

// Rebuilds the plays from the line's event log (buffer by buffer) and names each one by the
// file whose beginning the recording holds at that place.
std::vector<Play> HeardPlays(const std::filesystem::path& log_path,
                             const std::filesystem::path& recording,
                             const std::map<std::string, std::vector<int16_t>>& files) {
  static const std::regex buffer_line(
      R"(audio: buffer of (\d+) samples(?: cut after (\d+),)? heard from \d+ to \d+ ms, )"
      R"((first of the call|no gap|after a gap of \d+ ms))");
  constexpr size_t kFullBuffer = 24000;
  const std::vector<int16_t> heard = testing_wave::ReadRecording(recording);
  std::ifstream log(log_path);
  std::string line;
  std::vector<Play> plays;
  size_t position = 0;
  size_t play_start = 0;
  bool in_play = false;
  bool seamless = true;
  auto finish = [&](bool cut) {
    const size_t length = position - play_start;
    Play play{"?", false, seamless};
    for (const auto& [name, samples] : files) {
      if (length <= samples.size() && play_start + length <= heard.size() &&
          std::equal(samples.begin(), samples.begin() + static_cast<long>(length),
                     heard.begin() + static_cast<long>(play_start))) {
        play.file = name;
        play.whole = !cut && length == samples.size();
      }
    }
    plays.push_back(play);
    in_play = false;
  };
  // Only the buffers of this recording's call: from its "recording to" line to the next one.
  bool in_call = false;
  while (std::getline(log, line)) {
    if (line.find("audio: recording to ") != std::string::npos) {
      in_call = line.find("audio: recording to " + recording.string()) != std::string::npos;
      continue;
    }
    std::smatch match;
    if (!in_call || !std::regex_search(line, match, buffer_line)) continue;
    const size_t size = std::stoul(match[1]);
    const bool cut = match[2].matched;
    const size_t samples = cut ? std::stoul(match[2]) : size;
    if (!in_play) {
      in_play = true;
      play_start = position;
      seamless = true;
    } else if (match[3] != "no gap") {
      seamless = false;
    }
    position += samples;
    if (cut || size < kFullBuffer) finish(cut);
  }
  if (in_play) finish(true);
  EXPECT_EQ(position, heard.size()) << "the log and the recording disagree";
  return plays;
}

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

  // A voice line recording what the callee hears, with the given default script.
  void WriteVoiceLine(const std::string& script, const std::string& extra = "") {
    WriteLines("[line Sim Voice]\ndriver = sim\nmedia = voice\nrecord = " +
               (dir_ / "heard-%n-%c.wav").string() + "\ndefault = " + script + "\n" + extra);
  }

  std::vector<Play> Heard(const std::string& number, int call) {
    return HeardPlays(
        dir_ / "events.log", dir_ / ("heard-" + number + "-" + std::to_string(call) + ".wav"),
        {{"greeting", DataSamples(TELVANE_GREETING)}, {"message", DataSamples(message_)}});
  }

  std::filesystem::path dir_;
  std::string message_;
};

const Play kGreeting{"greeting", true, true};
const Play kGreetingCut{"greeting", false, true};
const Play kMessage{"message", true, true};
const Play kMessageCut{"message", false, true};

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

// The listener presses a key during the second greeting: the greeting stops, the message
// plays whole, the call completes and the dial plan stops.
TEST_F(TelvaneE2eTest, KeyDuringSecondGreetingCompletesTheCall) {
  WriteVoiceLine("answer after=2000; keys=heard+7000:5");
  EXPECT_THAT(Run({message_, "-phone:5551234", "-backupphone:999", "-retry:2"}).lines,
              ElementsAre("[T]\tDialing 5551234", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("5551234", 1), ElementsAre(kGreeting, kGreetingCut, kMessage));
}

// Nobody presses a key: the greeting plays MaxGreetingsCount (5) times, then the message.
TEST_F(TelvaneE2eTest, GreetingCountUsedUpThenMessage) {
  WriteVoiceLine("answer after=1000");
  EXPECT_THAT(Run({message_, "-phone:1"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("1", 1),
              ElementsAre(kGreeting, kGreeting, kGreeting, kGreeting, kGreeting, kMessage));
}

// A key during the message stops it (the line interrupts playback on a key) and the call
// still counts as completed.
TEST_F(TelvaneE2eTest, KeyDuringMessage) {
  WriteVoiceLine("answer after=1000; keys=heard+1000:1,heard+4000:2");
  EXPECT_THAT(Run({message_, "-phone:1"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("1", 1), ElementsAre(kGreetingCut, kMessageCut));
}

// The listener hangs up during the greeting: the attempt fails and the backup is dialled;
// a hang-up during the message (the rest of it unheard) still completes the call.
TEST_F(TelvaneE2eTest, RemoteHangUpDuringGreetingAndDuringMessage) {
  WriteVoiceLine("answer after=1000; keys=heard+1000:1; hangup after=heard+3000",
                 "number.111 = answer after=1000; hangup after=heard+2000\n");
  EXPECT_THAT(Run({message_, "-phone:111", "-backupphone:222"}).lines,
              ElementsAre("[T]\tDialing 111", "[T]\tResult : Disconnected by remote",
                          "[T]\tDialing 222", "[T]\tCall Completed"));
  EXPECT_THAT(Heard("111", 1), ElementsAre(kGreetingCut));
  EXPECT_THAT(Heard("222", 2), ElementsAre(kGreetingCut, kMessageCut));  // the line's 2nd call
}

// With -skipintro the message repeats back to back until the time limit has passed.
TEST_F(TelvaneE2eTest, SkipIntroRepeatsTheMessageUntilTheLimit) {
  WriteVoiceLine("answer after=1000");
  EXPECT_THAT(Run({message_, "-phone:1", "-skipintro"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tResult : Play message duration exceeded"));
  // 50 s at 7.8 s a play: the seventh play ends after the limit.
  EXPECT_THAT(Heard("1", 1), ElementsAreArray(std::vector<Play>(7, kMessage)));
}

// -debug shows the call's statuses and play states.
TEST_F(TelvaneE2eTest, DebugShowsStatusesAndStates) {
  WriteVoiceLine("answer after=2000; keys=heard+1000:5");
  const std::vector<std::string> lines = Run({message_, "-phone:1", "-debug"}).lines;
  EXPECT_THAT(lines, ::testing::Contains("[T]\tStatus : Connected!"));
  EXPECT_THAT(lines, ::testing::Contains("[T]\tHit"));
  EXPECT_THAT(lines, ::testing::Contains("[T]\tPlaying Message Done"));
  EXPECT_EQ(lines.back(), "[T]\tCall Completed");
}

}  // namespace
}  // namespace telvane::e2e
