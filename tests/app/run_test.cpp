// The run: command line, option normalising, the dial plan, and the checks a run makes
// before it dials (whole runs over simulated lines are the end-to-end tests' and those in
// run_telvane_test.cpp).
#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "app/telvane_utils.h"
#include "platform/os.h"
#include "tests/support/app_fixture.h"

namespace telvane {
namespace {

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
      {{"-phone:ABC-12"}, [](RunOptions& o) { o.Phone = "ABC-12"; }},
      {{"-Phone:sip:Bob.Smith@Host"}, [](RunOptions& o) { o.Phone = "sip:Bob.Smith@Host"; }},
      {{"-X-PHONE:Ab"}, [](RunOptions& o) { o.Phone = "-XAb"; }},
      {{"-x-phone:123"}, [](RunOptions& o) { o.Phone = "-x123"; }},
      {{"-phone:-phone:1"}, [](RunOptions& o) { o.Phone = "-phone:1"; }},
      {{"-phone:1", "-phone:2"}, [](RunOptions& o) { o.Phone = "2"; }},
      {{"-BackupPhone:777"}, [](RunOptions& o) { o.BackupPhone = "777"; }},
      {{"-BACKUPPHONE:Callee"}, [](RunOptions& o) { o.BackupPhone = "Callee"; }},
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

// Where file names are case-sensitive the message file keeps its case; so does a phone number
// (a SIP URI's user part is case-sensitive).
TEST(ParseCommandLineTest, FileNameKeepsCaseOnCaseSensitiveFileSystems) {
  const RunOptions options = Parsed({"/Alerts/Router.WAV", "-PHONE:ABC"});
  EXPECT_EQ(options.FileName,
            platform::CaseSensitiveFileNames() ? "/Alerts/Router.WAV" : "/alerts/router.wav");
  EXPECT_EQ(options.Phone, "ABC");
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

using RunCheckTest = telvane::testing::AppFixture;

// An invalid command line stops the run before the settings are read.
TEST_F(RunCheckTest, InvalidCommandLineStopsBeforeTheSettings) {
  WriteSettings("[General]\nConnectTimeOut=1\n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunTelvane({(dir_ / "absent.wav").string(), "-phone:123"}), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Error. File name is required."), std::string::npos) << out;
  EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
}

}  // namespace
}  // namespace telvane
