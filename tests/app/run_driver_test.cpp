// The run driver: command line, option normalising, the dial plan and whole runs of the
// program against a scripted line device on the virtual clock.
#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/telvane_utils.h"
#include "platform/os.h"
#include "tests/support/app_fixture.h"
#include "tests/support/scripted_tapi_device.h"

namespace telvane {
namespace {

using telvane::testing::CallScript;
using telvane::testing::ScriptedLine;
using telvane::testing::ScriptedTapiDevice;

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

RunOptions Parsed(const std::vector<std::string>& arguments) {
  RunOptions options;
  ParseCommandLine(arguments, options);
  return options;
}

void ExpectSameOptions(const RunOptions& actual, const RunOptions& expected) {
  EXPECT_EQ(actual.FileName, expected.FileName);
  EXPECT_EQ(actual.Phone, expected.Phone);
  EXPECT_EQ(actual.BackupPhone, expected.BackupPhone);
  EXPECT_EQ(actual.RetryMode, expected.RetryMode);
  EXPECT_EQ(actual.RetryCount, expected.RetryCount);
  EXPECT_EQ(actual.ShowUsage, expected.ShowUsage);
  EXPECT_EQ(actual.UseBackup, expected.UseBackup);
  EXPECT_EQ(actual.TapiDevice, expected.TapiDevice);
  EXPECT_EQ(actual.Debug, expected.Debug);
  EXPECT_EQ(actual.SkipIntro, expected.SkipIntro);
  EXPECT_EQ(actual.CallCompleted, expected.CallCompleted);
  EXPECT_EQ(actual.UseExitCode, expected.UseExitCode);
  EXPECT_EQ(actual.RequireAck, expected.RequireAck);
}

// Without any argument the run shows the usage and nothing else is set.
TEST(ParseCommandLineTest, NoArgumentsAsksForUsage) {
  RunOptions expected;
  expected.ShowUsage = true;
  ExpectSameOptions(Parsed({}), expected);
}

// Options are found anywhere in a lower-cased argument, in a fixed order of precedence.
TEST(ParseCommandLineTest, OptionsAreFoundByContainmentInFixedOrder) {
  struct Row {
    std::vector<std::string> arguments;
    void (*expect)(RunOptions&);  // turns default options into the expected ones
  };
  const Row rows[] = {
      {{"-PHONE:555"}, [](RunOptions& o) { o.Phone = "555"; }},
      {{"-phone:ABC-12"}, [](RunOptions& o) { o.Phone = "abc-12"; }},
      {{"-x-phone:123"}, [](RunOptions& o) { o.Phone = "-x123"; }},
      {{"-phone:-phone:1"}, [](RunOptions& o) { o.Phone = "-phone:1"; }},
      {{"-phone:1", "-phone:2"}, [](RunOptions& o) { o.Phone = "2"; }},
      {{"-BackupPhone:777"}, [](RunOptions& o) { o.BackupPhone = "777"; }},
      {{"-backupphone:"}, [](RunOptions& /*o*/) {}},
      {{"-RetryMode:PTB"}, [](RunOptions& o) { o.RetryMode = "ptb"; }},
      {{"-retrymode:abc"}, [](RunOptions& o) { o.RetryMode = "abc"; }},
      {{"-no-debug"}, [](RunOptions& o) { o.Debug = true; }},
      {{"-DEBUG"}, [](RunOptions& o) { o.Debug = true; }},
      {{"-SkipIntro"}, [](RunOptions& o) { o.SkipIntro = true; }},
      {{"-TapiDevice:USB Modem"}, [](RunOptions& o) { o.TapiDevice = "usb modem"; }},
      // An earlier rule wins over a later one found in the same argument.
      {{"-debug-phone:5"}, [](RunOptions& o) { o.Phone = "-debug5"; }},
      {{"-tapidevice:my-debug-modem"}, [](RunOptions& o) { o.Debug = true; }},
      {{"-tapidevice:usbdebugmodem"}, [](RunOptions& o) { o.TapiDevice = "usbdebugmodem"; }},
      // What is left, "-skipintro2", is converted as a whole: a sign, then a stray letter.
      {{"-skipintro-retry:2"}, [](RunOptions& o) { o.RetryCount = 0; }},
      // The opt-in additions are matched like the others, after all of them.
      {{"-ExitCode"}, [](RunOptions& o) { o.UseExitCode = true; }},
      {{"-ACK"}, [](RunOptions& o) { o.RequireAck = true; }},
      {{"-tapidevice:my-ack-modem"}, [](RunOptions& o) { o.TapiDevice = "my-ack-modem"; }},
      {{"-skipintro-ack"}, [](RunOptions& o) { o.SkipIntro = true; }},
      {{"-exitcode-ack"}, [](RunOptions& o) { o.UseExitCode = true; }},
      // Unknown options are ignored without a word.
      {{"-x"}, [](RunOptions& /*o*/) {}},
      {{"-retry"}, [](RunOptions& /*o*/) {}},
      {{"a.wav", "b.wav"}, [](RunOptions& o) { o.FileName = "b.wav"; }},
      {{"-phone:1", "-backupphone:2", "-retry:3", "-retrymode:ptb", "-debug", "-skipintro",
        "-tapidevice:line", "msg.wav"},
       [](RunOptions& o) {
         o.Phone = "1";
         o.BackupPhone = "2";
         o.RetryCount = 3;
         o.RetryMode = "ptb";
         o.Debug = true;
         o.SkipIntro = true;
         o.TapiDevice = "line";
         o.FileName = "msg.wav";
       }},
  };
  for (const Row& row : rows) {
    std::string trace;
    for (const std::string& argument : row.arguments) trace += argument + " ";
    SCOPED_TRACE(trace);
    RunOptions expected;
    row.expect(expected);
    ExpectSameOptions(Parsed(row.arguments), expected);
  }
}

// The retry value keeps the digits before a stray character and drops the sign then.
TEST(ParseCommandLineTest, RetryValueConversions) {
  const struct {
    const char* argument;
    int32_t count;
  } rows[] = {
      {"-retry:3", 3},    {"-retry:3x", 3},   {"-retry:-2x", 2},
      {"-retry:-2", -2},  {"-retry:$1A", 26}, {"-retry:0x1A", 26},
      {"-retry:x1a", 26}, {"-retry:  7", 7},  {"-retry:", 0},
      {"-retry:abc", 0},  {"-retry:0", 0},    {"-retry:99999999999", kInt32Max},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.argument);
    EXPECT_EQ(Parsed({row.argument}).RetryCount, row.count);
  }
}

// Where file names are case-sensitive the message file keeps its case; options do not.
TEST(ParseCommandLineTest, FileNameKeepsCaseOnCaseSensitiveFileSystems) {
  const RunOptions options = Parsed({"/Alerts/Router.WAV", "-PHONE:ABC"});
  EXPECT_EQ(options.FileName,
            platform::CaseSensitiveFileNames() ? "/Alerts/Router.WAV" : "/alerts/router.wav");
  EXPECT_EQ(options.Phone, "abc");
}

// Normalising turns a zero count into one, any mode but "ptb" into "pab", and notes a backup.
TEST(NormaliseOptionsTest, FixesCountModeAndBackup) {
  const struct {
    int32_t count;
    const char* mode;
    const char* backup;
    int32_t normal_count;
    const char* normal_mode;
    bool use_backup;
  } rows[] = {
      {0, "pab", "", 1, "pab", false},   {1, "ptb", "2", 1, "ptb", true},
      {-3, "abc", "", -3, "pab", false}, {5, "", "x", 5, "pab", true},
      {2, "PTB", "", 2, "pab", false},   {2, "ptbx", "", 2, "pab", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.count) + " " + row.mode + " " + row.backup);
    RunOptions options;
    options.RetryCount = row.count;
    options.RetryMode = row.mode;
    options.BackupPhone = row.backup;
    NormaliseOptions(options);
    EXPECT_EQ(options.RetryCount, row.normal_count);
    EXPECT_EQ(options.RetryMode, row.normal_mode);
    EXPECT_EQ(options.UseBackup, row.use_backup);
  }
}

// Unparsable, empty and zero retry values all come to one attempt per number.
TEST(NormaliseOptionsTest, ZeroOrUnparsableRetryGivesOneAttempt) {
  for (const std::string retry : {"-retry:0", "-retry:", "-retry:abc"}) {
    SCOPED_TRACE(retry);
    RunOptions options = Parsed({"m.wav", "-phone:1", retry});
    NormaliseOptions(options);
    EXPECT_EQ(AttemptCount(options), 1);
    options = Parsed({"m.wav", "-phone:1", "-backupphone:2", retry});
    NormaliseOptions(options);
    EXPECT_EQ(AttemptCount(options), 2);
  }
}

// An empty backup option means no backup number at all.
TEST(NormaliseOptionsTest, EmptyBackupOptionMeansNoBackup) {
  RunOptions options = Parsed({"m.wav", "-phone:1", "-backupphone:", "-retry:2"});
  NormaliseOptions(options);
  EXPECT_FALSE(options.UseBackup);
  EXPECT_EQ(AttemptCount(options), 2);
}

std::string Plan(int32_t count, const std::string& backup, const std::string& mode) {
  RunOptions options;
  options.Phone = "P";
  options.BackupPhone = backup;
  options.RetryCount = count;
  options.RetryMode = mode;
  NormaliseOptions(options);
  std::string plan;
  for (int64_t attempt = 1; attempt <= AttemptCount(options); ++attempt) {
    plan += NumberForAttempt(options, attempt);
  }
  return plan;
}

// Which number each attempt dials, for each retry count and order.
TEST(DialPlanTest, NumbersPerAttempt) {
  const struct {
    int32_t count;
    const char* no_backup;
    const char* pab;
    const char* ptb;
  } rows[] = {
      {1, "P", "PB", "PB"}, {2, "PP", "PBPB", "PPBB"}, {3, "PPP", "PBPBPB", "PPPBBB"},
      {0, "P", "PB", "PB"}, {-1, "", "", ""},          {-7, "", "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.count);
    EXPECT_EQ(Plan(row.count, "", "pab"), row.no_backup);
    EXPECT_EQ(Plan(row.count, "", "ptb"), row.no_backup);
    EXPECT_EQ(Plan(row.count, "B", "pab"), row.pab);
    EXPECT_EQ(Plan(row.count, "B", "ptb"), row.ptb);
    // An unknown mode dials as "pab" does.
    EXPECT_EQ(Plan(row.count, "B", "xyz"), row.pab);
  }
}

// A backup number equal to the primary is still dialled in the backup's turns.
TEST(DialPlanTest, BackupEqualToPrimaryIsStillDialled) { EXPECT_EQ(Plan(2, "P", "ptb"), "PPPP"); }

// The attempt count of the largest retry count with a backup does not overflow.
TEST(DialPlanTest, LargestRetryCountWithBackupDoesNotOverflow) {
  RunOptions options;
  options.Phone = "P";
  options.BackupPhone = "B";
  options.RetryCount = kInt32Max;
  options.RetryMode = "ptb";
  NormaliseOptions(options);
  EXPECT_EQ(AttemptCount(options), int64_t{2} * kInt32Max);
  EXPECT_EQ(NumberForAttempt(options, kInt32Max), "P");
  EXPECT_EQ(NumberForAttempt(options, int64_t{kInt32Max} + 1), "B");
  EXPECT_EQ(NumberForAttempt(options, int64_t{2} * kInt32Max), "B");
}

// Whole runs of the program, output captured, time stamps masked.
class RunTelvaneTest : public telvane::testing::AppFixture {
 protected:
  RunTelvaneTest() { message_file_ = WriteFile("alert.wav", "RIFF"); }

  void WriteGreeting() { WriteFile("PressAnyKey.wav", "RIFF"); }

  // A factory for a scripted device with the given lines and call scripts.
  static TapiDeviceFactory Scripted(std::vector<ScriptedLine> lines,
                                    std::vector<CallScript> calls = {}) {
    return [lines, calls]() -> std::unique_ptr<TApdTapiDevice> {
      auto device = std::make_unique<ScriptedTapiDevice>(lines);
      for (const CallScript& call : calls) device->AddCall(call);
      return device;
    };
  }

  static TapiDeviceFactory VoiceLine(std::vector<CallScript> calls = {}) {
    return Scripted({{"Sim Voice Line", true}}, std::move(calls));
  }

  // Runs the program; returns its output after the banner, one entry per line, with every
  // time stamp written as "[T]".
  std::vector<std::string> Run(const std::vector<std::string>& arguments,
                               const TapiDeviceFactory& make_device = {}) {
    ::testing::internal::CaptureStdout();
    const int exit_code = RunTelvane(arguments, make_device);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(exit_code, 0);
    bool banner_seen = false;
    for (const std::string& banner : {BannerText(false), BannerText(true)}) {
      if (out.rfind(banner, 0) == 0) {
        out.erase(0, banner.size());
        banner_seen = true;
        break;
      }
    }
    EXPECT_TRUE(banner_seen) << "output does not start with the banner:\n" << out;
    std::vector<std::string> lines;
    std::istringstream in(out);
    static const std::regex kStamp(R"(^\[[^\]\n]+\]\t)");
    for (std::string line; std::getline(in, line);) {
      lines.push_back(std::regex_replace(line, kStamp, "[T]\t"));
    }
    return lines;
  }

  static std::vector<std::string> UsageLines() {
    ::testing::internal::CaptureStdout();
    PrintUsage(/*start_directly=*/true);
    std::istringstream in(::testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // An error line, two empty lines and the usage text.
  static std::vector<std::string> ErrorAndUsage(const std::string& error) {
    std::vector<std::string> lines = {"[T]\t" + error, "", ""};
    for (const std::string& line : UsageLines()) lines.push_back(line);
    return lines;
  }

  static CallScript Completing() {
    CallScript call;
    call.connect_after = 500;
    call.keys = {{1500, '1'}};
    return call;
  }

  static CallScript Busy() {
    CallScript call;
    call.busy_after = 300;
    return call;
  }

  static CallScript Refused() {
    CallScript call;
    call.refuse_dial = true;
    return call;
  }

  std::string message_file_;
};

// Without arguments the banner is followed directly by the usage text.
TEST_F(RunTelvaneTest, NoArgumentsPrintsBannerAndUsage) { EXPECT_EQ(Run({}), UsageLines()); }

// A missing or absent message file is reported first, even when the phone is missing too;
// a run that stops there never reads the settings.
TEST_F(RunTelvaneTest, InvalidCommandLinePrintsErrorAndUsage) {
  WriteSettings("[General]\nConnectTimeOut=1\n");
  const std::string absent = (dir_ / "absent.wav").string();
  const std::string file_error = "Error. File name is required.";
  const std::string phone_error = "Error. Primary phone number is required.";
  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } rows[] = {
      {{"-phone:123"}, file_error},
      {{"-debug"}, file_error},
      {{absent, "-phone:123"}, file_error},
      {{dir_.string(), "-phone:123"}, file_error},  // a directory is no message file
      {{absent}, file_error},
      {{message_file_}, phone_error},
      {{message_file_, "-phone:"}, phone_error},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error + " " + row.arguments.front());
    EXPECT_EQ(Run(row.arguments, VoiceLine()), ErrorAndUsage(row.error));
  }
  EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
}

// The device and greeting checks stop the run with their own error line.
TEST_F(RunTelvaneTest, SetUpChecksReportTheirErrors) {
  const struct {
    const char* what;
    std::vector<std::string> extra_arguments;
    TapiDeviceFactory device;
    bool greeting;
    std::string error;
  } rows[] = {
      {"real device, no lines", {}, {}, true, "Error : Tapi device not found"},
      {"no voice line",
       {},
       Scripted({{"Data Modem", false}}),
       true,
       "Error : Tapi device not found"},
      {"named line without voice",
       {"-tapidevice:DATA MODEM"},
       Scripted({{"Data Modem", false}}),
       true,
       "Error : Modem does not support voice calls"},
      {"greeting missing",
       {},
       VoiceLine({Refused()}),
       false,
       "Error : PressAnyKey.wav file does not exist."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(dir_ / "PressAnyKey.wav");
    if (row.greeting) WriteGreeting();
    std::vector<std::string> arguments = {message_file_, "-phone:555"};
    arguments.insert(arguments.end(), row.extra_arguments.begin(), row.extra_arguments.end());
    EXPECT_EQ(Run(arguments, row.device), std::vector<std::string>{"[T]\t" + row.error});
  }
}

// A greeting named in the settings that does not exist gets the same wording.
TEST_F(RunTelvaneTest, MissingConfiguredGreetingUsesSameWording) {
  WriteGreeting();
  WriteSettings("[General]\nPressAnyKeyFile=" + (dir_ / "hello.wav").string() + "\n");
  EXPECT_EQ(Run({message_file_, "-phone:555"}, VoiceLine({Refused()})),
            std::vector<std::string>{"[T]\tError : PressAnyKey.wav file does not exist."});
}

// With -skipintro the greeting file is not looked for and the number is dialled.
TEST_F(RunTelvaneTest, SkipIntroDoesNotLookForGreeting) {
  EXPECT_EQ(
      Run({message_file_, "-phone:555", "-skipintro"}, VoiceLine({Refused()})),
      (std::vector<std::string>{"[T]\tDialing 555", "[T]\tResult : Error : Call unavailable"}));
}

// A negative retry count dials nothing, but the set-up checks still run and report.
TEST_F(RunTelvaneTest, NegativeRetryDialsNothingButStillChecks) {
  WriteGreeting();
  EXPECT_EQ(Run({message_file_, "-phone:555", "-retry:-1"}, VoiceLine({Completing()})),
            std::vector<std::string>{});
  EXPECT_EQ(Run({message_file_, "-phone:555", "-retry:-2", "-backupphone:7"}),
            std::vector<std::string>{"[T]\tError : Tapi device not found"});
  std::filesystem::remove(dir_ / "PressAnyKey.wav");
  EXPECT_EQ(Run({message_file_, "-phone:555", "-retry:-1"}, VoiceLine({Completing()})),
            std::vector<std::string>{"[T]\tError : PressAnyKey.wav file does not exist."});
}

// In "pab" order with two tries, a completion on attempt 2 (the backup) ends the plan.
TEST_F(RunTelvaneTest, PabStopsAfterBackupCompletes) {
  WriteGreeting();
  EXPECT_EQ(Run({message_file_, "-phone:111", "-backupphone:222", "-retry:2"},
                VoiceLine({Busy(), Completing()})),
            (std::vector<std::string>{
                "[T]\tDialing 111",
                "busy",
                "[T]\tResult : Error : Tapi device is not ready",
                "[T]\tDialing 222",
                "[T]\tCall Completed",
            }));
}

// When every attempt fails each one prints its result, in "ptb" order.
TEST_F(RunTelvaneTest, AllAttemptsFailingPrintOneResultEach) {
  WriteGreeting();
  const std::string result = "[T]\tResult : Error : Call unavailable";
  EXPECT_EQ(Run({message_file_, "-phone:111", "-backupphone:222", "-retry:2", "-retrymode:PTB"},
                VoiceLine({Refused()})),
            (std::vector<std::string>{"[T]\tDialing 111", result, "[T]\tDialing 111", result,
                                      "[T]\tDialing 222", result, "[T]\tDialing 222", result}));
}

// With -skipintro a message repeated past the time limit fails the attempt, and the next
// attempt follows.
TEST_F(RunTelvaneTest, SkipIntroMessageTimeLimitFailsAttempt) {
  WriteSettings("[General]\nPlayMessageDurationSec=3\n");
  const std::string result = "[T]\tResult : Play message duration exceeded";
  CallScript answered;
  answered.connect_after = 200;
  EXPECT_EQ(Run({message_file_, "-phone:555", "-skipintro", "-retry:2"}, VoiceLine({answered})),
            (std::vector<std::string>{"[T]\tDialing 555", result, "[T]\tDialing 555", result}));
}

// Debug lines appear with -debug only, time-stamped like every other line.
TEST_F(RunTelvaneTest, DebugLinesOnlyWithDebugOption) {
  WriteGreeting();
  const std::vector<std::string> quiet =
      Run({message_file_, "-phone:555"}, VoiceLine({Completing()}));
  EXPECT_EQ(quiet, (std::vector<std::string>{"[T]\tDialing 555", "[T]\tCall Completed"}));

  const std::vector<std::string> debug =
      Run({message_file_, "-phone:555", "-debug"}, VoiceLine({Completing()}));
  ASSERT_GE(debug.size(), 3u);
  EXPECT_EQ(debug.front(), "[T]\tDialing 555");
  EXPECT_EQ(debug.back(), "[T]\tCall Completed");
  EXPECT_NE(std::find(debug.begin(), debug.end(), "[T]\tStatus : Connected!"), debug.end());
  EXPECT_NE(std::find(debug.begin(), debug.end(), "[T]\tHit"), debug.end());
  EXPECT_NE(std::find(debug.begin(), debug.end(), "[T]\tPlaying Message Done"), debug.end());
}

}  // namespace
}  // namespace telvane
