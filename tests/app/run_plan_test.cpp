// The run plan over the telephony service's simulated lines: which line is chosen, and what
// the settings and files make of the plan.
#include "app/run_plan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/tapi_binding.h"
#include "tests/support/app_fixture.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane {
namespace {

using testing::SimLines;

class RunPlanTest : public telvane::testing::AppFixture {
 protected:
  RunPlanTest() {
    platform::SetTapiLibraryName(TELVANE_LINESVC_PATH);
    testing::SetEnvironment("TELVANE_LINES_LOG", (dir_ / "events.log").string());
    message_ = WriteFile("alert.wav", testing_wave::LineWave(testing_wave::Ramp(800)));
  }
  ~RunPlanTest() override {
    device_.reset();
    platform::UnbindTapi();
  }

  LineDevice& Device(const SimLines& lines) {
    device_.reset();
    testing::SetEnvironment("TELVANE_LINES", WriteFile("lines.ini", lines.Text()));
    device_ = std::make_unique<LineDevice>();
    return *device_;
  }

  // The message ChooseLine raises, or the line it chose.
  std::string Chosen(const SimLines& lines, const std::string& wanted) {
    try {
      return ChooseLine(Device(lines), wanted);
    } catch (const Exception& error) {
      return "error: " + error.Message();
    }
  }

  int Logged(const std::string& text) const {
    std::ifstream log(dir_ / "events.log");
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos;
    return count;
  }

  std::unique_ptr<LineDevice> device_;
  std::string message_;
};

// The line is chosen by name ignoring case, else (no name, a name no line has) the first
// line that takes voice calls; a named line that does not is refused, and so is a list
// without a voice line.
TEST_F(RunPlanTest, ChooseLineByNameOrFirstVoiceLine) {
  const SimLines lines = SimLines().Line("Data Modem", "data").Line("Voice Modem");
  EXPECT_EQ(Chosen(lines, "voice MODEM"), "Voice Modem");
  EXPECT_EQ(Chosen(lines, "no such line"), "Voice Modem");
  EXPECT_EQ(Chosen(lines, ""), "Voice Modem");
  EXPECT_EQ(Chosen(lines, "data modem"), "error: Modem does not support voice calls");
  EXPECT_EQ(Chosen(SimLines().Line("Data Modem", "data").Line("Other Data", "data"), ""),
            "error: Tapi device not found");
  EXPECT_EQ(Chosen(SimLines(), ""), "error: Tapi device not found");
  // Choosing opens no line: only listing the voice line did, once for each of the four devices.
  EXPECT_EQ(Logged("Voice Modem: line opened"), 4);
}

// The settings name the line and the greeting (as written) when the command line does not;
// a greeting that is not there stops the plan, unless the greeting is skipped.
TEST_F(RunPlanTest, SettingsNameTheLineAndTheGreeting) {
  WriteFile("greet.wav", testing_wave::LineWave(testing_wave::Ramp(800)));
  Settings settings;
  settings.tapi_device_name = "VOICE two";
  settings.press_any_key_file = (dir_ / "greet.wav").string();
  settings.max_greetings_count = 2;
  CommandLine command_line = ParseCommandLine({message_, "-phone:1"});
  SpokenMessages spoken("en");
  LineDevice& device = Device(SimLines().Line("Voice One").Line("Voice Two"));
  RunPlan plan = ReadRunPlan(command_line, message_, settings, program_dir_, device, spoken);
  EXPECT_EQ(plan.call.line, "Voice Two");
  EXPECT_EQ(plan.call.greeting_file, settings.press_any_key_file);
  EXPECT_EQ(plan.call.message_file, message_);
  EXPECT_EQ(plan.call.max_greetings, 2);
  EXPECT_EQ(plan.dial.NumberFor(1), "1");

  command_line.tapi_device = "voice one";
  settings.press_any_key_file = "absent.wav";
  EXPECT_THROW(ReadRunPlan(command_line, message_, settings, program_dir_, device, spoken),
               Exception);
  command_line.skip_intro = true;
  plan = ReadRunPlan(command_line, message_, settings, program_dir_, device, spoken);
  EXPECT_EQ(plan.call.line, "Voice One");
  EXPECT_EQ(plan.call.greeting_file, "");
}

}  // namespace
}  // namespace telvane
