#include "app/integer_text.h"

#include <algorithm>
#include <limits>

namespace telvane {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What reading an integer text found: the digits read before anything stopped them.
struct IntegerScan {
  int64_t magnitude = 0;  // held at 2^32 once it grows past any 32-bit value
  bool negative = false;
  bool any_digit = false;
  bool stray = false;  // a character that is not a digit ended the number
};

IntegerScan ScanInteger(const std::string& text, bool accept_0x) {
  IntegerScan scan;
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
    scan.negative = text[at] == '-';
    ++at;
  }
  int base = 10;
  if (at < text.size() && (text[at] == '$' || text[at] == 'x' || text[at] == 'X')) {
    base = 16;
    ++at;
  } else if (accept_0x && at + 1 < text.size() && text[at] == '0' &&
             (text[at + 1] == 'x' || text[at + 1] == 'X')) {
    base = 16;
    at += 2;
  }
  constexpr int64_t kCeiling = int64_t{1} << 32;
  for (; at < text.size(); ++at) {
    const int digit = HexDigitValue(text[at]);
    if (digit < 0 || digit >= base) {
      scan.stray = true;
      break;
    }
    scan.any_digit = true;
    scan.magnitude = std::min(scan.magnitude * base + digit, kCeiling);
  }
  return scan;
}

}  // namespace

std::optional<int32_t> SettingsInteger(const std::string& text) {
  const IntegerScan scan = ScanInteger(text, /*accept_0x=*/false);
  if (scan.stray || !scan.any_digit) return std::nullopt;
  const int64_t value = scan.negative ? -scan.magnitude : scan.magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

int32_t RetryCountValue(const std::string& text) {
  const IntegerScan scan = ScanInteger(text, /*accept_0x=*/true);
  const int64_t value = (scan.negative && !scan.stray) ? -scan.magnitude : scan.magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace telvane
