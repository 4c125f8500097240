// The catalogue and the lookup of a code's text, with its fallback to the system text.
#include "platform/message_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "platform/errors.h"

namespace telvane {
namespace {

// A system text source whose answer the test sets, and which records what it was asked.
struct FakeSystemText {
  static inline std::string text;
  static inline uint32_t asked = 0;
  static inline int calls = 0;
  static std::string Get(uint32_t number) {
    asked = number;
    ++calls;
    return text;
  }
};

class MessageForCodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeSystemText::text = "system text";
    FakeSystemText::asked = 0;
    FakeSystemText::calls = 0;
  }
  static std::string Lookup(int32_t code) { return MessageForCode(code, &FakeSystemText::Get); }
};

// The sign and the bits above the low 16 do not matter; the low 16 bits are read as signed.
TEST_F(MessageForCodeTest, LooksUpAbsoluteValueOfLow16Bits) {
  EXPECT_EQ(Lookup(-13930), "No TAPI device selected");
  EXPECT_EQ(Lookup(13930), "No TAPI device selected");
  EXPECT_EQ(Lookup(65538), "File not found");
  EXPECT_EQ(Lookup(51600), "TAPI wave file error");
  EXPECT_EQ(Lookup(static_cast<int32_t>(0x80000005u + 13800u)), "Call unavailable");
  EXPECT_EQ(Lookup(0), "OK");
  EXPECT_EQ(FakeSystemText::calls, 0);
}

// Stored texts come back exactly, placeholders and misspellings included.
TEST_F(MessageForCodeTest, ReturnsCatalogueTextsVerbatim) {
  EXPECT_EQ(Lookup(13515), "Call disconnected (%s)");
  EXPECT_EQ(Lookup(13600), "Waiting for retry in %d seconds");
  EXPECT_EQ(Lookup(13542), "Ppen change");
  EXPECT_EQ(Lookup(13556), "Compltion cancel");
  EXPECT_EQ(Lookup(-13933), "TAPI disabled for 16-bit environments");
  EXPECT_EQ(Lookup(-13950), "Voice over IP not available (requires Windows 2000 and above)");
}

// Empty and missing entries ask the system for the catalogue number.
TEST_F(MessageForCodeTest, FallsBackToSystemTextForEmptyOrMissingEntries) {
  EXPECT_EQ(Lookup(4200), "system text");
  EXPECT_EQ(FakeSystemText::asked, 4200u);
  EXPECT_EQ(Lookup(-13849), "system text");
  EXPECT_EQ(FakeSystemText::asked, 13849u);
  EXPECT_EQ(Lookup(-32768), "system text");
  EXPECT_EQ(FakeSystemText::asked, 32768u);

  FakeSystemText::text.clear();
  EXPECT_EQ(Lookup(15100), "");
}

// Control characters become spaces and runs of spaces shrink to one; nothing is trimmed.
TEST_F(MessageForCodeTest, CleansSystemText) {
  FakeSystemText::text = "a\r\nb  c\r\n";
  EXPECT_EQ(Lookup(4200), "a b c ");
  FakeSystemText::text = "\t\tDevice\x01  busy.";
  EXPECT_EQ(Lookup(4200), " Device busy.");
  // Letters of the upper half of the code page are text, not control characters.
  FakeSystemText::text = "Ger\xE4t belegt.\r\n";
  EXPECT_EQ(Lookup(4200), "Ger\xE4t belegt. ");
}

// A long system text is cut to the length limit before it is cleaned.
TEST_F(MessageForCodeTest, CutsSystemTextToLengthLimit) {
  FakeSystemText::text = std::string(300, 'x');
  EXPECT_EQ(Lookup(4200), std::string(kMaxMessageLength, 'x'));
  FakeSystemText::text = std::string(kMaxMessageLength - 1, 'x') + "\r\n" + "tail";
  EXPECT_EQ(Lookup(4200), std::string(kMaxMessageLength - 1, 'x') + " ");
}

// Only the numbers reserved for system texts are stored without a text.
TEST(MessageTableTest, ExactlyTheReservedNumbersHaveEmptyTexts) {
  std::set<int32_t> empty;
  for (const MessageEntry& entry : MessageTable()) {
    if (entry.text.empty()) empty.insert(entry.code);
  }
  const std::set<int32_t> reserved = {4200, 4600, 4630, 4660,  4725, 4726,
                                      4727, 4728, 4730, 10000, 15100};
  EXPECT_EQ(empty, reserved);
}

// Status and information texts are stored positive, errors negative.
TEST(MessageTableTest, SignsSeparateStatusTextsFromErrors) {
  auto is_status = [](int32_t magnitude) {
    auto in = [magnitude](int32_t first, int32_t last) {
      return magnitude >= first && magnitude <= last;
    };
    return in(4101, 4843) || in(9001, 11004) || in(13501, 13670) || magnitude == 13933 ||
           in(15001, 15742);
  };
  for (const MessageEntry& entry : MessageTable()) {
    const int32_t magnitude = entry.code < 0 ? -entry.code : entry.code;
    if (magnitude == 0) continue;
    EXPECT_EQ(entry.code > 0, is_status(magnitude)) << entry.code << " " << entry.text;
  }
}

}  // namespace
}  // namespace telvane
