// The command line as the run reads it, and the dial plan it asks for (whole runs over
// simulated lines are the end-to-end tests' and those in run_telvane_test.cpp).
#include "app/options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/os.h"

namespace telvane {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

void ExpectSameOptions(const CommandLine& actual, const CommandLine& expected) {
  EXPECT_EQ(actual.file_name, expected.file_name);
  EXPECT_EQ(actual.phone, expected.phone);
  EXPECT_EQ(actual.backup_phone, expected.backup_phone);
  EXPECT_EQ(actual.retry_mode, expected.retry_mode);
  EXPECT_EQ(actual.retry_count, expected.retry_count);
  EXPECT_EQ(actual.show_usage, expected.show_usage);
  EXPECT_EQ(actual.tapi_device, expected.tapi_device);
  EXPECT_EQ(actual.debug, expected.debug);
  EXPECT_EQ(actual.skip_intro, expected.skip_intro);
  EXPECT_EQ(actual.use_exit_code, expected.use_exit_code);
  EXPECT_EQ(actual.require_ack, expected.require_ack);
}

// Without any argument the run shows the usage and nothing else is set.
TEST(ParseCommandLineTest, NoArgumentsAsksForUsage) {
  CommandLine expected;
  expected.show_usage = true;
  ExpectSameOptions(ParseCommandLine({}), expected);
}

// Options are found anywhere in a lower-cased argument, in a fixed order of precedence.
TEST(ParseCommandLineTest, OptionsAreFoundByContainmentInFixedOrder) {
  struct Row {
    std::vector<std::string> arguments;
    void (*expect)(CommandLine&);  // turns default options into the expected ones
  };
  const Row rows[] = {
      {{"-PHONE:555"}, [](CommandLine& o) { o.phone = "555"; }},
      {{"-phone:ABC-12"}, [](CommandLine& o) { o.phone = "ABC-12"; }},
      {{"-Phone:sip:Bob.Smith@Host"}, [](CommandLine& o) { o.phone = "sip:Bob.Smith@Host"; }},
      {{"-X-PHONE:Ab"}, [](CommandLine& o) { o.phone = "-XAb"; }},
      {{"-x-phone:123"}, [](CommandLine& o) { o.phone = "-x123"; }},
      {{"-phone:-phone:1"}, [](CommandLine& o) { o.phone = "-phone:1"; }},
      {{"-phone:1", "-phone:2"}, [](CommandLine& o) { o.phone = "2"; }},
      {{"-BackupPhone:777"}, [](CommandLine& o) { o.backup_phone = "777"; }},
      {{"-BACKUPPHONE:Callee"}, [](CommandLine& o) { o.backup_phone = "Callee"; }},
      {{"-backupphone:"}, [](CommandLine& /*o*/) {}},
      {{"-RetryMode:PTB"}, [](CommandLine& o) { o.retry_mode = "ptb"; }},
      {{"-retrymode:abc"}, [](CommandLine& o) { o.retry_mode = "abc"; }},
      {{"-no-debug"}, [](CommandLine& o) { o.debug = true; }},
      {{"-DEBUG"}, [](CommandLine& o) { o.debug = true; }},
      {{"-SkipIntro"}, [](CommandLine& o) { o.skip_intro = true; }},
      {{"-TapiDevice:USB Modem"}, [](CommandLine& o) { o.tapi_device = "usb modem"; }},
      // An earlier rule wins over a later one found in the same argument.
      {{"-debug-phone:5"}, [](CommandLine& o) { o.phone = "-debug5"; }},
      {{"-tapidevice:my-debug-modem"}, [](CommandLine& o) { o.debug = true; }},
      {{"-tapidevice:usbdebugmodem"}, [](CommandLine& o) { o.tapi_device = "usbdebugmodem"; }},
      // What is left, "-skipintro2", is converted as a whole: a sign, then a stray letter.
      {{"-skipintro-retry:2"}, [](CommandLine& o) { o.retry_count = 0; }},
      // The opt-in additions are matched like the others, after all of them.
      {{"-ExitCode"}, [](CommandLine& o) { o.use_exit_code = true; }},
      {{"-ACK"}, [](CommandLine& o) { o.require_ack = true; }},
      {{"-tapidevice:my-ack-modem"}, [](CommandLine& o) { o.tapi_device = "my-ack-modem"; }},
      {{"-skipintro-ack"}, [](CommandLine& o) { o.skip_intro = true; }},
      {{"-exitcode-ack"}, [](CommandLine& o) { o.use_exit_code = true; }},
      // Unknown options are ignored without a word.
      {{"-x"}, [](CommandLine& /*o*/) {}},
      {{"-retry"}, [](CommandLine& /*o*/) {}},
      {{"a.wav", "b.wav"}, [](CommandLine& o) { o.file_name = "b.wav"; }},
      {{"-phone:1", "-backupphone:2", "-retry:3", "-retrymode:ptb", "-debug", "-skipintro",
        "-tapidevice:line", "msg.wav"},
       [](CommandLine& o) {
         o.phone = "1";
         o.backup_phone = "2";
         o.retry_count = 3;
         o.retry_mode = "ptb";
         o.debug = true;
         o.skip_intro = true;
         o.tapi_device = "line";
         o.file_name = "msg.wav";
       }},
  };
  for (const Row& row : rows) {
    std::string trace;
    for (const std::string& argument : row.arguments) trace += argument + " ";
    SCOPED_TRACE(trace);
    CommandLine expected;
    row.expect(expected);
    ExpectSameOptions(ParseCommandLine(row.arguments), expected);
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
    EXPECT_EQ(ParseCommandLine({row.argument}).retry_count, row.count);
  }
}

// Where file names are case-sensitive the message file keeps its case; so does a phone number
// (a SIP URI's user part is case-sensitive).
TEST(ParseCommandLineTest, FileNameKeepsCaseOnCaseSensitiveFileSystems) {
  const CommandLine command_line = ParseCommandLine({"/Alerts/Router.WAV", "-PHONE:ABC"});
  EXPECT_EQ(command_line.file_name,
            platform::CaseSensitiveFileNames() ? "/Alerts/Router.WAV" : "/alerts/router.wav");
  EXPECT_EQ(command_line.phone, "ABC");
}

// The first occurrence of the prefix is replaced; without one the argument is unchanged.
TEST(ExtractOptionValueTest, ReplacesFirstOccurrenceOnly) {
  struct Row {
    const char* argument;
    const char* prefix;
    const char* replacement;
    const char* expected;
  };
  const Row rows[] = {
      {"-phone:555-1234", "-phone:", "", "555-1234"},
      {"-x-phone:123", "-phone:", "", "-x123"},
      {"-phone:-phone:1", "-phone:", "", "-phone:1"},
      {"-phone:", "-phone:", "", ""},
      {"-debug", "-phone:", "", "-debug"},
      {"a-b-a", "a", "X", "X-b-a"},
      {"abc", "", "X", "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.argument);
    EXPECT_EQ(ExtractOptionValue(row.argument, row.prefix, row.replacement), row.expected);
  }
}

std::string Plan(int32_t count, const std::string& backup, const std::string& mode) {
  CommandLine command_line;
  command_line.phone = "P";
  command_line.backup_phone = backup;
  command_line.retry_count = count;
  command_line.retry_mode = mode;
  const DialPlan plan(command_line);
  std::string numbers;
  for (int64_t attempt = 1; attempt <= plan.Attempts(); ++attempt) {
    numbers += plan.NumberFor(attempt);
  }
  return numbers;
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
    // Any mode but "ptb" (as lower-cased) dials as "pab" does.
    for (const char* mode : {"xyz", "PTB", "ptbx", ""})
      EXPECT_EQ(Plan(row.count, "B", mode), row.pab);
  }
}

// A backup number equal to the primary is still dialled in the backup's turns; an empty
// backup option means no backup; unparsable and zero retry values give one attempt each.
TEST(DialPlanTest, BackupAndRetryValuesAsWritten) {
  EXPECT_EQ(Plan(2, "P", "ptb"), "PPPP");
  EXPECT_EQ(
      DialPlan(ParseCommandLine({"m.wav", "-phone:1", "-backupphone:", "-retry:2"})).Attempts(), 2);
  for (const std::string retry : {"-retry:0", "-retry:", "-retry:abc"}) {
    SCOPED_TRACE(retry);
    EXPECT_EQ(DialPlan(ParseCommandLine({"m.wav", "-phone:1", retry})).Attempts(), 1);
    EXPECT_EQ(DialPlan(ParseCommandLine({"m.wav", "-phone:1", "-backupphone:2", retry})).Attempts(),
              2);
  }
}

// The attempt count of the largest retry count with a backup does not overflow.
TEST(DialPlanTest, LargestRetryCountWithBackupDoesNotOverflow) {
  CommandLine command_line;
  command_line.phone = "P";
  command_line.backup_phone = "B";
  command_line.retry_count = kInt32Max;
  command_line.retry_mode = "ptb";
  const DialPlan plan(command_line);
  EXPECT_EQ(plan.Attempts(), int64_t{2} * kInt32Max);
  EXPECT_EQ(plan.NumberFor(kInt32Max), "P");
  EXPECT_EQ(plan.NumberFor(int64_t{kInt32Max} + 1), "B");
  EXPECT_EQ(plan.NumberFor(int64_t{2} * kInt32Max), "B");
}

}  // namespace
}  // namespace telvane
