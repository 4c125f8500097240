// What the modem says and how the driver speaks to it: result lines and DLE events, digits in
// both styles, codec and line-state lists in both forms, coding, shielding, dial strings, and
// the UUCP lock.
#include "linesvc/modem/modem_protocol.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "linesvc/modem/uucp_lock.h"

namespace telvane::linesvc {
namespace {

// Events between and inside result lines are split out; empty lines vanish.
TEST(ModemReaderTest, SplitsLinesAndEventsAnywhere) {
  ModemReader reader;
  std::vector<ModemReader::Item> items = reader.Feed(std::string("\r\nO") + kDle + "bK\r");
  items.push_back(reader.Feed("\n\r\nBUSY\r\n").at(0));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].event, 'b');
  EXPECT_EQ(items[1].line, "OK");
  EXPECT_EQ(items[2].line, "BUSY");
  EXPECT_EQ(ClassifyLine("NO DIAL TONE"), ModemResult::kNoDialTone);
  EXPECT_EQ(ClassifyLine("#VCON"), ModemResult::kVcon);
  EXPECT_FALSE(IsFinal(ClassifyLine("RINGING")));
}

// One code per press, or start/repeats/end: each key counts once; DEL also ends a tone.
TEST(DigitTrackerTest, CountsEachKeyOnceInBothStyles) {
  DigitTracker tracker;
  std::string digits;
  for (char e : std::string("5/777~#/99\x7F"
                            "b")) {
    if (auto d = tracker.OnEvent(e)) digits += *d;
  }
  EXPECT_EQ(digits, "57#9");
}

// +VSM lists in every vendor's form; choice by name and width, not number.
TEST(ModemCodecTest, ParsesBothListFormsAndChoosesByName) {
  const std::vector<ModemCodec> v253 = ParseVsmList(
      {R"(1,"UNSIGNED PCM",8,0,(8000),(0),(0))", R"(129,"IMA ADPCM",4,0,(8000),(0),(0))",
       R"(133,"16-BIT LINEAR",16,0,(8000),(0),(0))", "OK"});
  ASSERT_EQ(v253.size(), 3u);
  EXPECT_FALSE(v253[1].coding.has_value());
  EXPECT_EQ(ChooseCodec(v253, std::nullopt)->cml, 1);
  EXPECT_EQ(ChooseCodec(v253, ModemCoding::kLinear16)->cml, 133);
  const std::vector<ModemCodec> lucent =
      ParseVsmList({R"(+VSM: 131,"ULAW",8,0,8000,0,0)", R"(+VSM: 132,"IMA ADPCM",4,0,8000,0,0)"});
  ASSERT_EQ(lucent.size(), 2u);
  EXPECT_EQ(ChooseCodec(lucent, std::nullopt)->cml, 131);
  EXPECT_FALSE(ChooseCodec(ParseVsmList({R"(2,"IMA ADPCM",4,0,(8000),(0),(0))"}), std::nullopt));
  // Lucent/Agere: three fields, the width in the name, 131 is mu-law there.
  const std::vector<ModemCodec> agere =
      ParseVsmList({R"(128,"8-BIT LINEAR",(7200,8000,11025))",
                    R"(129,"16-BIT LINEAR",(7200,8000,11025))", R"(130,"8-BIT ALAW",(8000))",
                    R"(131,"8-BIT ULAW",(8000))", R"(132,"IMA ADPCM",(7200,8000,11025))"});
  ASSERT_EQ(agere.size(), 5u);
  EXPECT_EQ(ChooseCodec(agere, std::nullopt)->cml, 131);
  EXPECT_EQ(ChooseCodec(agere, ModemCoding::kAlaw)->cml, 130);
  EXPECT_EQ(ChooseCodec(agere, ModemCoding::kLinear16)->cml, 129);
  EXPECT_EQ(agere[0].rates, (std::vector<int>{7200, 8000, 11025}));
  EXPECT_FALSE(agere[4].coding.has_value());
  // The line's rate first, then the nearest the modem lists (7200 when it lists none).
  EXPECT_EQ(RatesToTry(agere[0]), (std::vector<int>{8000, 7200, 11025}));
  EXPECT_EQ(RatesToTry(ModemCodec{}), (std::vector<int>{8000, 7200}));
  const std::vector<ModemLineState> states =
      ParseVlsList({R"(0,"",00000000,00000000,00000000)", R"(1,"T",0A3C0000,0,FFFFFFFF)"});
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states[1].tx_events, 0x0A3C0000u);
  EXPECT_EQ(ParseClassList({"(0-2,8)"}), (std::set<std::string>{"0", "1", "2", "8"}));
  EXPECT_EQ(ParseClassList({"0,1,2.0"}).count("8"), 0u);
}

// Coding round trips, and every DLE in the sound is doubled.
TEST(ModemCodingTest, RoundTripsAndShields) {
  const std::vector<int16_t> samples = {0, 1000, -1000, 0x1010, 32767, -32768};
  EXPECT_EQ(Decode(Encode(samples, ModemCoding::kLinear16), ModemCoding::kLinear16), samples);
  const std::vector<int16_t> ulaw = Decode(Encode(samples, ModemCoding::kUlaw), ModemCoding::kUlaw);
  ASSERT_EQ(ulaw.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_NEAR(ulaw[i], samples[i], 1100);
  EXPECT_EQ(Decode(Encode(samples, ModemCoding::kUnsigned8), ModemCoding::kUnsigned8)[1], 768);
  EXPECT_EQ(Shield(std::string("a\x10"
                               "b\x10\x10",
                               5)),
            std::string("a\x10\x10"
                        "b\x10\x10\x10\x10",
                        8));
}

// Separators are dropped; anything that is not a dial character refuses the number.
TEST(ModemDialStringTest, KeepsDialCharactersRefusesTheRest) {
  EXPECT_EQ(ModemDialString("+1 (555) 123-45.67"), "15551234567");
  EXPECT_EQ(ModemDialString("9w,555*#abcd!@pt"), "9W,555*#ABCD!@PT");
  for (const char* bad : {"555;", "5\r5", "ATH", "5$", "", "--"}) {
    EXPECT_FALSE(ModemDialString(bad).has_value()) << bad;
  }
}

class UucpLockTest : public testing::Test {
 protected:
  UucpLockTest() {
    dir_ = std::filesystem::temp_directory_path() /
           ("telvane_lock_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  ~UucpLockTest() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

// The lock holds our pid in ten columns and goes with the object; a second taker is refused.
TEST_F(UucpLockTest, LocksOnceAndUnlocksOnDestruction) {
  std::string reason;
  auto lock = UucpLock::Acquire("/dev/ttyACM7", dir_.string(), &reason);
  ASSERT_TRUE(lock) << reason;
  std::ifstream file(dir_ / "LCK..ttyACM7");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.size(), 11u);
  EXPECT_EQ(std::stoi(text), ::getpid());
  UucpLock::Failure failure = UucpLock::Failure::kNone;
  EXPECT_FALSE(UucpLock::Acquire("/dev/ttyACM7", dir_.string(), &reason, &failure));
  EXPECT_EQ(failure, UucpLock::Failure::kHeld);
  lock.reset();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "LCK..ttyACM7"));
  EXPECT_FALSE(UucpLock::Acquire("/dev/ttyACM7", (dir_ / "missing").string(), &reason));
}

// A lock of a process that has ended is stale and taken over.
TEST_F(UucpLockTest, StaleLockIsRecovered) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  std::ofstream(dir_ / "LCK..ttyS0") << "    " << child << "\n";
  std::string reason;
  EXPECT_TRUE(UucpLock::Acquire("/dev/ttyS0", dir_.string(), &reason)) << reason;
}

// The lock directory is writable by every user: links planted there never make us write
// through them, a planted lock that is no regular file cannot hang us, and no temporary file
// is left behind on any path.
TEST_F(UucpLockTest, PlantedLinksAreNeverFollowed) {
  const std::filesystem::path target = dir_ / "precious";
  std::ofstream(target) << "keep me";
  std::filesystem::create_symlink(target, dir_ / ("LTMP." + std::to_string(::getpid())));
  std::string reason;
  auto lock = UucpLock::Acquire("/dev/ttyACM3", dir_.string(), &reason);
  ASSERT_TRUE(lock) << reason;
  std::ifstream kept(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");

  std::filesystem::create_symlink("/dev/zero", dir_ / "LCK..ttyACM4");
  UucpLock::Failure failure = UucpLock::Failure::kNone;
  EXPECT_FALSE(UucpLock::Acquire("/dev/ttyACM4", dir_.string(), &reason, &failure));
  EXPECT_EQ(failure, UucpLock::Failure::kHeld);
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    const bool temporary = entry.path().filename().string().rfind("LTMP.", 0) == 0;
    EXPECT_FALSE(temporary && !entry.is_symlink()) << entry.path() << " left behind";
  }
}

}  // namespace
}  // namespace telvane::linesvc
