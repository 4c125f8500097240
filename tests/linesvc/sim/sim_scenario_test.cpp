// The scenario language of the simulated line: what each clause means and how mistakes are
// reported.
#include <gtest/gtest.h>

#include "linesvc/sim/sim_driver.h"
#include "linesvc/sim/sim_script.h"

namespace telvane::linesvc {
namespace {

Scenario Parse(const std::string& text) {
  Scenario scenario;
  std::string error;
  EXPECT_TRUE(ParseScenario(text, &scenario, &error)) << text << ": " << error;
  return scenario;
}

std::string Error(const std::string& text) {
  Scenario scenario;
  std::string error;
  EXPECT_FALSE(ParseScenario(text, &scenario, &error)) << text;
  return error;
}

// A full answered script: delay, keys with their anchors, hang-up.
TEST(SimScenarioTest, AnswerWithKeysAndHangUp) {
  const Scenario s = Parse("answer after=2000; keys=1500:5, dial+4000:#,3000:a; hangup after=9000");
  EXPECT_EQ(s.outcome, Scenario::Outcome::kAnswer);
  EXPECT_EQ(s.outcome_ms, 2000);
  ASSERT_EQ(s.keys.size(), 3u);
  EXPECT_EQ(s.keys[0].digit, '5');
  EXPECT_EQ(s.keys[0].at.anchor, SimTime::Anchor::kAnswer);
  EXPECT_EQ(s.keys[0].at.ms, 1500);
  EXPECT_EQ(s.keys[1].digit, '#');
  EXPECT_EQ(s.keys[1].at.anchor, SimTime::Anchor::kDial);
  EXPECT_EQ(s.keys[1].at.ms, 4000);
  EXPECT_EQ(s.keys[2].digit, 'A');
  ASSERT_TRUE(s.hangup.has_value());
  EXPECT_EQ(s.hangup->ms, 9000);
  EXPECT_FALSE(s.refuse_digits.has_value());
}

// Each outcome with its defaults, and the refusals with their errors.
TEST(SimScenarioTest, OutcomesAndRefusals) {
  EXPECT_EQ(Parse("").outcome, Scenario::Outcome::kAnswer);
  EXPECT_EQ(Parse("keys=1:1").outcome_ms, 3000);
  EXPECT_EQ(Parse("busy").outcome, Scenario::Outcome::kBusy);
  const Scenario noanswer = Parse("noanswer ring=30000");
  EXPECT_EQ(noanswer.outcome, Scenario::Outcome::kNoAnswer);
  EXPECT_EQ(noanswer.outcome_ms, 30000);
  EXPECT_EQ(Parse("reject").outcome, Scenario::Outcome::kReject);
  EXPECT_EQ(Parse("unreachable").outcome, Scenario::Outcome::kUnreachable);
  EXPECT_EQ(Parse("nodialtone").outcome, Scenario::Outcome::kNoDialTone);
  const Scenario refuse = Parse("refuse error=0x80000048");
  EXPECT_EQ(refuse.outcome, Scenario::Outcome::kRefuse);
  EXPECT_EQ(refuse.error, LINEERR_OPERATIONFAILED);
  EXPECT_EQ(Parse("refuse").error, LINEERR_CALLUNAVAIL);
  EXPECT_EQ(Parse("fail").error, LINEERR_OPERATIONFAILED);
  EXPECT_EQ(Parse("nodigits").refuse_digits, LINEERR_OPERATIONUNAVAIL);
  EXPECT_EQ(Parse("nodigits error=2147483720").refuse_digits, LINEERR_OPERATIONFAILED);
  EXPECT_EQ(Parse("nowave").refuse_wave, LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(Parse("nowave").refuse_wave_from, 1);
  EXPECT_EQ(Parse("nowave from=2").refuse_wave_from, 2);
  EXPECT_EQ(Parse("lineclose after=dial+10").line_close->anchor, SimTime::Anchor::kDial);
}

// Mistakes are refused with a sentence that points at them.
TEST(SimScenarioTest, MistakesAreExplained) {
  EXPECT_NE(Error("answr").find("unknown clause 'answr'"), std::string::npos);
  EXPECT_NE(Error("busy; reject").find("more than one outcome"), std::string::npos);
  EXPECT_NE(Error("answer after=-5").find("after=MS"), std::string::npos);
  EXPECT_NE(Error("noanswer after=10").find("ring=MS"), std::string::npos);
  EXPECT_NE(Error("keys=100:X").find("bad key '100:X'"), std::string::npos);
  EXPECT_NE(Error("keys=100").find("bad key"), std::string::npos);
  EXPECT_NE(Error("hangup").find("after=TIME"), std::string::npos);
  EXPECT_NE(Error("hangup after=later+5").find("after=TIME"), std::string::npos);
  EXPECT_NE(Error("refuse error=5").find("error=LINEERR"), std::string::npos);
  EXPECT_NE(Error("nowave from=0").find("error=LINEERR (e.g. 0x80000048) and from=N"),
            std::string::npos);
  EXPECT_NE(Error("nodigits from=2").find("not 'from=2'"), std::string::npos);
  EXPECT_NE(Error("answer 2000").find("not name=value"), std::string::npos);
  EXPECT_NE(Error("tones=1").find("unknown clause 'tones='"), std::string::npos);
}

// Every character a lines file can hold is handled: clauses made only of other white space
// (vertical tab, form feed, a carriage return) are empty like ";;", and bytes that are no
// part of the language are refused with a sentence instead of read as something else.
TEST(SimScenarioTest, AnyCharacterIsHandled) {
  EXPECT_EQ(Parse("answer after=1000;\v;\f").outcome_ms, 1000);
  EXPECT_EQ(Parse("busy; \r ;keys=5:1").outcome, Scenario::Outcome::kBusy);
  EXPECT_EQ(Parse("answer\rafter=20\v").outcome_ms, 20);
  EXPECT_NE(Error("keys=1500:\xB5").find("bad key"), std::string::npos);
  EXPECT_NE(Error(std::string("busy\0", 5)).find("unknown clause"), std::string::npos);
}

// The sim driver's own keys are checked when the line is made.
TEST(SimScenarioTest, DriverKeysAreChecked) {
  std::string error;
  EXPECT_NE(CreateSimDriver({{"wave", "7", 3}, {"number.555 123", "busy", 4}}, 0, &error), nullptr)
      << error;
  EXPECT_EQ(CreateSimDriver({{"wave", "seven", 3}}, 0, &error), nullptr);
  EXPECT_EQ(error, "line 3: wave takes a device number from 0 to 4294967294, not 'seven'");
  EXPECT_EQ(CreateSimDriver({{"wave", "4294967295", 3}}, 0, &error), nullptr);
  EXPECT_EQ(error,
            "line 3: wave 4294967295 is the number of the default sound output, not of a line's "
            "wave device");
  EXPECT_EQ(CreateSimDriver({{"wave", "-1", 3}}, 0, &error), nullptr);
  EXPECT_NE(error.find("from 0 to 4294967294"), std::string::npos) << error;
  EXPECT_EQ(CreateSimDriver({{"number.1", "busy; busy", 5}}, 0, &error), nullptr);
  EXPECT_EQ(error.rfind("line 5: number.1: more than one outcome", 0), 0u) << error;
  EXPECT_EQ(CreateSimDriver({{"port", "/dev/ttyS0", 6}}, 0, &error), nullptr);
  EXPECT_EQ(error, "line 6: unknown key 'port' for the sim driver");
}

}  // namespace
}  // namespace telvane::linesvc
