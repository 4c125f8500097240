// The fault soak: the built program run many times on the virtual clock, each time against
// random call scripts drawn from every clause of the simulated line, with random options and
// settings. Whatever happens on the line, every run must keep the program's promises: it ends,
// exits with 0, prints exactly one result line per "Dialing" line, dials the numbers of its
// dial plan in order (stopping at the first completed call), and never says "Call Completed"
// for a call that was not answered.
//
// Each batch makes TELVANE_SOAK_RUNS runs (20 by default) from the seed TELVANE_SOAK_SEED plus
// its number; a failure names the seed and the run, and shows the lines file, the settings and
// the command line, so `scripts/soak.sh RUNS SEED` repeats it. scripts/soak.sh makes more runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane::e2e {
namespace {

constexpr const char* kPrimary = "5551000";
constexpr const char* kBackup = "5552000";
// No run on the virtual clock comes near this much real time, unless it hangs.
constexpr double kRunLimitS = 30;

int64_t EnvironmentNumber(const char* name, int64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoll(text, nullptr, 10) : fallback;
}

// One random run: what the line does, how the program is called and set up, and the dial
// plan that follows from it.
class RandomRun {
 public:
  explicit RandomRun(uint64_t seed) : rng_(seed) {
    Options();
    Settings();
  }

  std::string LinesText(const std::filesystem::path& dir) {
    testing::SimLines lines;
    lines.Line("Sim Voice").Record((dir / "heard-%n-%c.wav").string());
    if (Chance(70)) lines.Default(Script());
    lines.Number(kPrimary, Script());
    if (Chance(80)) lines.Number(kBackup, Script());
    lines.Raw("[line Sim Data]\ndriver = sim\nmedia = data\n");
    return lines.Text();
  }

  const std::vector<std::string>& Arguments() const { return arguments_; }
  const std::string& SettingsText() const { return settings_; }

  // The numbers of the whole dial plan, in order.
  std::vector<std::string> Plan() const {
    std::vector<std::string> plan;
    for (int round = 0; round < attempts_; ++round) {
      plan.push_back(kPrimary);
      if (backup_ && !ptb_) plan.push_back(kBackup);
    }
    if (backup_ && ptb_) plan.insert(plan.end(), static_cast<size_t>(attempts_), kBackup);
    return plan;
  }

  void SetFiles(const std::string& message, const std::string& greeting) {
    arguments_.insert(arguments_.begin(), message);
    settings_ += "PressAnyKeyFile=" + greeting + "\n";
  }

 private:
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  bool Chance(int percent) { return Uniform(1, 100) <= percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& choices) {
    return choices[static_cast<size_t>(Uniform(0, static_cast<int>(choices.size()) - 1))];
  }

  std::string Ms(int high) { return std::to_string(Uniform(0, high)); }

  // A time of the script language: from the answer, from the dialling, or of sound heard.
  std::string Time(bool heard_allowed) {
    const std::vector<std::string> anchors =
        heard_allowed ? std::vector<std::string>{"", "answer+", "dial+", "heard+"}
                      : std::vector<std::string>{"", "answer+", "dial+"};
    return Pick(anchors) + Ms(12000);
  }

  // A script drawn from every clause of the simulated line.
  std::string Script() {
    std::vector<std::string> clauses;
    const std::vector<std::string> errors = {"0x80000005", "0x80000048", "0x80000001", "0x8000004B",
                                             "0x80000023"};
    switch (Uniform(0, 9)) {
      case 0:
      case 1:
      case 2:
        clauses.push_back("answer after=" + Ms(6000));
        break;
      case 3:
        clauses.push_back("busy after=" + Ms(2000));
        break;
      case 4:
        clauses.push_back("noanswer ring=" + Ms(20000));
        break;
      case 5:
        clauses.push_back("reject after=" + Ms(4000));
        break;
      case 6:
        clauses.push_back(
            Pick(std::vector<std::string>{"unreachable after=", "nodialtone after="}) + Ms(4000));
        break;
      case 7:
        clauses.push_back(Pick(std::vector<std::string>{"refuse", "fail"}) +
                          (Chance(50) ? " error=" + Pick(errors) : ""));
        break;
      default:
        break;  // the default: answered after 3 s
    }
    if (Chance(60)) {
      std::string keys = "keys=";
      const int count = Uniform(1, 3);
      for (int i = 0; i < count; ++i) {
        keys +=
            (i > 0 ? "," : "") + Time(true) + ":" + Pick(std::vector<std::string>{"5", "#", "A"});
      }
      clauses.push_back(keys);
    }
    if (Chance(40)) clauses.push_back("hangup after=" + Time(true));
    if (Chance(10)) clauses.push_back("nodigits");
    if (Chance(10)) {
      clauses.push_back("nowave" + (Chance(50) ? " from=" + std::to_string(Uniform(1, 3)) : ""));
    }
    if (Chance(5)) clauses.push_back("outofservice after=" + Time(false));
    if (Chance(5)) clauses.push_back("lineclose after=" + Time(false));
    std::shuffle(clauses.begin(), clauses.end(), rng_);
    std::string script;
    for (const std::string& clause : clauses) script += (script.empty() ? "" : "; ") + clause;
    return script;
  }

  void Options() {
    arguments_.push_back("-phone:" + std::string(kPrimary));
    // The retry count as written, and the attempts per number it means.
    const std::vector<std::pair<std::string, int>> retries = {
        {"", 1},          {"-retry:0", 1},   {"-retry:1", 1},  {"-retry:2", 2}, {"-retry:3", 3},
        {"-retry:-1", 0}, {"-retry:abc", 1}, {"-retry:2x", 2}, {"-RETRY:1", 1}};
    const auto& [retry, attempts] = Pick(retries);
    if (!retry.empty()) arguments_.push_back(retry);
    attempts_ = attempts;
    const std::vector<std::string> modes = {"", "-retrymode:PAB", "-retrymode:ptb",
                                            "-retrymode:xyz"};
    const std::string mode = Pick(modes);
    if (!mode.empty()) arguments_.push_back(mode);
    ptb_ = mode == "-retrymode:ptb";
    backup_ = Chance(60);
    if (backup_) arguments_.push_back("-backupphone:" + std::string(kBackup));
    if (Chance(40)) arguments_.push_back("-skipintro");
    if (Chance(30)) arguments_.push_back("-debug");
    std::shuffle(arguments_.begin(), arguments_.end(), rng_);
  }

  void Settings() {
    settings_ = "[General]\n";
    if (Chance(80)) settings_ += "MaxGreetingsCount=" + std::to_string(Uniform(-1, 4)) + "\n";
    if (Chance(80)) settings_ += "ConnectTimeOut=" + std::to_string(Uniform(-10, 15000)) + "\n";
    if (Chance(80)) settings_ += "AfterConnectPause=" + std::to_string(Uniform(0, 3000)) + "\n";
    if (Chance(80)) settings_ += "PlayMessageDurationSec=" + std::to_string(Uniform(0, 8)) + "\n";
  }

  std::mt19937_64 rng_;
  std::vector<std::string> arguments_;
  std::string settings_;
  int attempts_ = 1;
  bool ptb_ = false;
  bool backup_ = false;
};

// Whether each call of the run was answered, in the order the calls were placed, from the
// telephony service's event log.
std::vector<bool> AnsweredCalls(const std::filesystem::path& log_path) {
  std::vector<bool> answered;
  std::ifstream log(log_path);
  for (std::string line; std::getline(log, line);) {
    if (line.find("Sim Voice: dialling ") != std::string::npos &&
        (line.find(" (request ") != std::string::npos ||
         line.find(" refused: 0x") != std::string::npos)) {
      answered.push_back(false);
    } else if (line.find("Sim Voice: state CONNECTED") != std::string::npos && !answered.empty()) {
      answered.back() = true;
    }
  }
  return answered;
}

class SoakTest : public ::testing::TestWithParam<int> {};

// Every run keeps the program's promises, whatever the line and the options.
TEST_P(SoakTest, RandomCallsKeepThePromises) {
  const int64_t runs = EnvironmentNumber("TELVANE_SOAK_RUNS", 20);
  const int64_t seed = EnvironmentNumber("TELVANE_SOAK_SEED", 20260) + GetParam();
  const testing::ScratchDir dir = testing::ScratchDir::ForCurrentTest();
  const std::string message =
      dir.Write("message.wav", testing_wave::LineWave(testing_wave::Ramp(6000)));
  const std::string greeting = dir.Write(
      "greeting.wav",
      testing_wave::Riff(
          "WAVE",
          testing_wave::Chunk("fmt ", testing_wave::PcmFormat(1, 22050, 16)) +
              testing_wave::Chunk("data", testing_wave::Samples16(testing_wave::Ramp(11025)))));
  std::mt19937_64 seeds(static_cast<uint64_t>(seed));
  for (int64_t index = 0; index < runs; ++index) {
    RandomRun run(seeds());
    run.SetFiles(message, greeting);
    const std::string run_name = "run" + std::to_string(index);
    const std::filesystem::path run_dir = dir / run_name;
    std::filesystem::create_directories(run_dir / "config" / "telvane");
    const std::string lines = run.LinesText(run_dir);
    dir.Write(run_name + "/lines.ini", lines);
    dir.Write(run_name + "/config/telvane/telvane.ini", run.SettingsText());
    std::map<std::string, std::string> environment = testing::ProgramEnvironment(run_dir);
    environment.insert(
        {{"TELVANE_CLOCK", "virtual"}, {"TMPDIR", run_dir.string()}, {"LC_ALL", "C"}});
    const testing::ProgramRun result =
        testing::RunProgram(TELVANE_PROGRAM, run.Arguments(), environment, kRunLimitS);
    std::ostringstream arguments;
    for (const std::string& argument : run.Arguments()) arguments << " " << argument;
    SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(index) + "\ntelvane" +
                 arguments.str() + "\n--- lines.ini\n" + lines + "--- telvane.ini\n" +
                 run.SettingsText() + "--- output\n" + result.standard_output);

    ASSERT_FALSE(result.timed_out) << "the run never ended";
    ASSERT_EQ(result.exit_code, 0);
    ASSERT_EQ(result.standard_error, "");
    // The "Dialing" and result lines, in the order printed: the debug and status lines
    // between them are left out.
    std::vector<std::string> dialled;
    std::vector<bool> completed;
    for (const std::string& line : result.lines) {
      if (line.rfind("[T]\tDialing ", 0) == 0) {
        ASSERT_EQ(completed.size(), dialled.size()) << "no result line for the call before";
        dialled.push_back(line.substr(12));
      } else if (line == "[T]\tCall Completed" || line.rfind("[T]\tResult : ", 0) == 0) {
        ASSERT_EQ(completed.size() + 1, dialled.size()) << "a result line without a call";
        completed.push_back(line == "[T]\tCall Completed");
      }
    }
    ASSERT_EQ(completed.size(), dialled.size()) << "no result line for the last call";
    // The dial plan, up to and including the first completed call.
    std::vector<std::string> plan = run.Plan();
    for (size_t i = 0; i < completed.size(); ++i) {
      if (completed[i]) plan.resize(i + 1);
    }
    ASSERT_EQ(dialled, plan);
    const std::vector<bool> answered = AnsweredCalls(run_dir / "events.log");
    ASSERT_EQ(answered.size(), dialled.size()) << "calls in the event log";
    for (size_t i = 0; i < completed.size(); ++i) {
      EXPECT_FALSE(completed[i] && !answered[i]) << "call " << i + 1 << " was never answered";
    }
    std::filesystem::remove_all(run_dir);
  }
}

INSTANTIATE_TEST_SUITE_P(Batches, SoakTest, ::testing::Range(0, 10));

}  // namespace
}  // namespace telvane::e2e
