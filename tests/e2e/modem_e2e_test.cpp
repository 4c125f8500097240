// The built program places a whole call through the modem driver to the modem emulator on a
// pseudo-terminal, in real time: dial, greeting, key, message, hang-up; the emulator's record
// of what it played holds the start of the greeting and the whole message.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "tests/linesvc/modem_emulator.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wave_files.h"

namespace telvane::e2e {
namespace {

// A modem emulator answering with a key after half a second of sound, a lines file naming
// it, and a one-second message, in a directory of the test's own.
class ModemE2eTest : public ::testing::Test {
 protected:
  ModemE2eTest() : dir_(testing::ScratchDir::ForCurrentTest()), modem_(Script()) {
    message_file_ = dir_.Write("msg.wav", testing_wave::LineWave(message_));
    dir_.Write("lines.ini", "[line USB Modem]\ndriver = modem\ndevice = " + modem_.Path() +
                                "\nlockdir = " + dir_.Path().string() + "\ncodec = linear16\n");
  }

  static linesvc::ModemEmulator::Script Script() {
    linesvc::ModemEmulator::Script script;
    script.keys = {{500, '5'}};
    return script;
  }

  // Runs the program on the modem line; `name` tells its state folder and event log apart.
  testing::ProgramRun Run(const std::string& name) {
    std::map<std::string, std::string> environment = testing::ProgramEnvironment(dir_.Path());
    environment["TELVANE_STATE_DIR"] = (dir_ / ("state-" + name)).string();
    environment["TELVANE_LINES_LOG"] = (dir_ / (name + ".log")).string();
    environment["LC_ALL"] = "C";
    return testing::RunProgram(TELVANE_PROGRAM, {message_file_, "-phone:5551234", "-exitcode"},
                               environment);
  }

  static void ExpectCompleted(const testing::ProgramRun& run) {
    EXPECT_EQ(run.exit_code, 0) << run.standard_output;
    EXPECT_EQ(run.standard_error, "");
    EXPECT_EQ(run.lines, (std::vector<std::string>{"[T]\tDialing 5551234", "[T]\tCall Completed"}));
  }

  const testing::ScratchDir dir_;
  const std::vector<int16_t> message_ = testing_wave::Sine(8000, 440, 8000, 9000);
  linesvc::ModemEmulator modem_;
  std::string message_file_;
};

// The greeting is cut by the key after half a second of it; the one-second message plays whole
// and the call completes.
TEST_F(ModemE2eTest, WholeCallThroughTheModemDriver) {
  ASSERT_FALSE(modem_.Path().empty());
  ExpectCompleted(Run("only"));

  const std::vector<int16_t> heard = modem_.Recording();
  const std::vector<int16_t> greeting =
      testing_wave::ReadRecording(TELVANE_GREETING);  // already in the line's format
  ASSERT_GT(heard.size(), message_.size());
  const size_t cut = heard.size() - message_.size();
  EXPECT_GE(cut, 4000u) << "the key came after half a second of the greeting";
  EXPECT_LT(cut, greeting.size()) << "the key cut the greeting short";
  EXPECT_TRUE(std::equal(heard.begin(), heard.begin() + static_cast<long>(cut), greeting.begin()))
      << "the greeting's start, as sent";
  EXPECT_TRUE(std::equal(message_.begin(), message_.end(), heard.begin() + static_cast<long>(cut)))
      << "the whole message after it";
  EXPECT_FALSE(modem_.OffHook());
}

// Two alerts at once on one modem: the second run finds the port locked by the first, waits
// for it (and says so in its event log) instead of failing, and then places its own call.
TEST_F(ModemE2eTest, SecondRunWaitsForTheModemInUse) {
  ASSERT_FALSE(modem_.Path().empty());
  std::future<testing::ProgramRun> first =
      std::async(std::launch::async, [this] { return Run("first"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the first is on the phone
  std::future<testing::ProgramRun> second =
      std::async(std::launch::async, [this] { return Run("second"); });
  ExpectCompleted(first.get());
  ExpectCompleted(second.get());
  std::ostringstream log;
  log << std::ifstream(dir_ / "second.log").rdbuf();
  EXPECT_NE(log.str().find(" is in use by process"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("waiting up to 120 s for it"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("ms of waiting"), std::string::npos) << log.str();
}

// The run's lines are one failed attempt on each of `numbers` in turn.
void ExpectFailedAttempts(const testing::ProgramRun& run, const std::vector<std::string>& numbers) {
  ASSERT_EQ(run.lines.size(), 2 * numbers.size()) << run.standard_output;
  for (size_t i = 0; i < numbers.size(); ++i) {
    EXPECT_EQ(run.lines[2 * i], "[T]\tDialing " + numbers[i]);
    EXPECT_EQ(run.lines[2 * i + 1].rfind("[T]\tResult : ", 0), 0u) << run.lines[2 * i + 1];
  }
}

// A modem that answers the call but never the command to start the sound, each command
// given `timeout_ms`; a two-second message; the program's settings; in the test's own folder.
class MuteModemE2eTest : public ::testing::Test {
 protected:
  static linesvc::ModemEmulator::Script Script() {
    linesvc::ModemEmulator::Script script;
    script.answer_ms = 30;
    script.ignore = "AT+VTX";
    return script;
  }

  // Runs the program with the settings; a run that hangs is killed after a while.
  testing::ProgramRun Run(int timeout_ms, const std::string& settings,
                          std::vector<std::string> arguments) {
    dir_.Write("lines.ini", "[line USB Modem]\ndriver = modem\ndevice = " + modem_.Path() +
                                "\nlockdir = " + dir_.Path().string() +
                                "\ntimeout = " + std::to_string(timeout_ms) + "\n");
    std::filesystem::create_directories(dir_ / "config" / "telvane");
    dir_.Write("config/telvane/telvane.ini", "[General]\n" + settings);
    std::map<std::string, std::string> environment = testing::ProgramEnvironment(dir_.Path());
    environment["LC_ALL"] = "C";
    arguments.insert(arguments.begin(), message_file_);
    return testing::RunProgram(TELVANE_PROGRAM, arguments, environment, /*limit_s=*/30);
  }

  const testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  linesvc::ModemEmulator modem_{Script()};
  const std::string message_file_ =
      dir_.Write("msg.wav", testing_wave::LineWave(testing_wave::Sine(16000, 440, 8000, 9000)));
};

// With the default settings, nobody heard anything: neither attempt is completed and the
// backup number is called.
TEST_F(MuteModemE2eTest, ModemThatPlaysNothingNeverCompletes) {
  ASSERT_FALSE(modem_.Path().empty());
  const testing::ProgramRun run = Run(300, "", {"-phone:5551234", "-backupphone:777"});
  EXPECT_EQ(run.exit_code, 0);
  ExpectFailedAttempts(run, {"5551234", "777"});
  EXPECT_TRUE(modem_.Recording().empty());
}

// With one short greeting, the modem's time-out for the sound comes after the greeting would
// have played: the held greeting never counts as played, so the attempt fails in the greeting
// and the backup number is called, instead of a "completed" call nobody heard.
TEST_F(MuteModemE2eTest, OneGreetingFailsTheAttemptInTheGreeting) {
  ASSERT_FALSE(modem_.Path().empty());
  const std::string greeting =
      dir_.Write("greeting.wav", testing_wave::LineWave(testing_wave::Sine(800, 440, 8000, 9000)));
  const testing::ProgramRun run =
      Run(1500, "MaxGreetingsCount=1\nPressAnyKeyFile=" + greeting + "\n",
          {"-phone:5551234", "-backupphone:777"});
  EXPECT_FALSE(run.timed_out);
  ExpectFailedAttempts(run, {"5551234", "777"});
  EXPECT_TRUE(modem_.Recording().empty());
}

// With the greeting skipped the message is the first play, held by the mute line: the program
// neither waits for its end forever nor counts it heard when the modem gives up.
TEST_F(MuteModemE2eTest, SkippedIntroEndsFailedWithoutHanging) {
  ASSERT_FALSE(modem_.Path().empty());
  const testing::ProgramRun run = Run(500, "", {"-phone:5551234", "-skipintro", "-exitcode"});
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 1) << "all attempts failed";
  ExpectFailedAttempts(run, {"5551234"});
}

}  // namespace
}  // namespace telvane::e2e
