// Whole numbers as the settings file and "-retry:" read them.
#include "app/integer_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace telvane {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

// The settings integer converts the whole text or nothing.
TEST(SettingsIntegerTest, ConvertsWholeTextOrNothing) {
  struct Row {
    const char* text;
    std::optional<int32_t> expected;
  };
  const Row rows[] = {
      {"3x", std::nullopt},
      {"-2x", std::nullopt},
      {"-2", -2},
      {"$1A", 26},
      {"$1a", 26},
      {"x1A", 26},
      {"-x1A", -26},
      {"  7", 7},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"$", std::nullopt},
      {"+", std::nullopt},
      {"2147483647", kInt32Max},
      {"-2147483648", kInt32Min},
      {"2147483648", std::nullopt},
      {"$80000000", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\"");
    EXPECT_EQ(SettingsInteger(row.text), row.expected);
  }
}

// The retry value stops at the first stray character, which also drops the sign, and holds
// values beyond the 32-bit range at its ends.
TEST(RetryCountValueTest, ConvertsDigitsBeforeFirstStrayCharacter) {
  struct Row {
    const char* text;
    int32_t expected;
  };
  const Row rows[] = {
      {"3x", 3},
      {"-2x", 2},
      {"-2", -2},
      {"$1A", 26},
      {"0x1A", 26},
      {"x1A", 26},
      {"-0x1A", -26},
      {"  7", 7},
      {"7 ", 7},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"-abc", 0},
      {"$1G", 1},
      {"0", 0},
      {"2147483647", kInt32Max},
      {"-2147483648", kInt32Min},
      {"99999999999", kInt32Max},
      {"-99999999999", kInt32Min},
      {"-99999999999x", kInt32Max},
      {"999999999999999999999999999999", kInt32Max},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\"");
    EXPECT_EQ(RetryCountValue(row.text), row.expected);
  }
}

}  // namespace
}  // namespace telvane
