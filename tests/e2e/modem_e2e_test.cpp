// The built program places a whole call through the modem driver to the modem emulator on a
// pseudo-terminal, in real time: dial, greeting, key, message, hang-up; the emulator's record
// of what it played holds the start of the greeting and the whole message.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/linesvc/modem_emulator.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wave_files.h"

namespace telvane::e2e {
namespace {

// The greeting is cut by the key after half a second of it; the one-second message plays whole
// and the call completes.
TEST(ModemE2eTest, WholeCallThroughTheModemDriver) {
  const testing::ScratchDir dir = testing::ScratchDir::ForCurrentTest();
  linesvc::ModemEmulator::Script script;
  script.keys = {{500, '5'}};
  linesvc::ModemEmulator modem(script);
  ASSERT_FALSE(modem.Path().empty());
  const std::vector<int16_t> message = testing_wave::Sine(8000, 440, 8000, 9000);
  const std::string message_file = dir.Write("msg.wav", testing_wave::LineWave(message));
  const std::string lines =
      dir.Write("lines.ini", "[line USB Modem]\ndriver = modem\ndevice = " + modem.Path() +
                                 "\nlockdir = " + dir.Path().string() + "\ncodec = linear16\n");

  const testing::ProgramRun run =
      testing::RunProgram(TELVANE_PROGRAM, {message_file, "-phone:5551234"},
                          {{"TELVANE_LINES", lines},
                           {"TELVANE_STATE_DIR", (dir / "state").string()},
                           {"TELVANE_LINES_LOG", (dir / "events.log").string()},
                           {"LC_ALL", "C"}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.standard_error, "");
  EXPECT_EQ(run.lines, (std::vector<std::string>{"[T]\tDialing 5551234", "[T]\tCall Completed"}));

  const std::vector<int16_t> heard = modem.Recording();
  const std::vector<int16_t> greeting =
      testing_wave::ReadRecording(TELVANE_GREETING);  // already in the line's format
  ASSERT_GT(heard.size(), message.size());
  const size_t cut = heard.size() - message.size();
  EXPECT_GE(cut, 4000u) << "the key came after half a second of the greeting";
  EXPECT_LT(cut, greeting.size()) << "the key cut the greeting short";
  EXPECT_TRUE(std::equal(heard.begin(), heard.begin() + static_cast<long>(cut), greeting.begin()))
      << "the greeting's start, as sent";
  EXPECT_TRUE(std::equal(message.begin(), message.end(), heard.begin() + static_cast<long>(cut)))
      << "the whole message after it";
  EXPECT_FALSE(modem.OffHook());
}

}  // namespace
}  // namespace telvane::e2e
