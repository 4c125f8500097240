// Whole numbers as a user writes them in the settings file and in "-retry:": blanks, an
// optional sign, then decimal digits, or hexadecimal digits after "$" or "x". The two
// readers differ in what a stray character does. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace telvane {

// A settings integer (the settings file turns a leading "0x" into "$" before converting).
// Empty when anything is wrong: a stray character, no digit, a value outside the signed
// 32-bit range.
std::optional<int32_t> SettingsInteger(const std::string& text);

// The "-retry:" value: "0x" also starts hexadecimal digits, and a stray character ends the
// number instead of failing it, which then loses its sign (3x gives 3, -2x gives 2, abc gives
// 0). Values beyond the signed 32-bit range are held at its ends.
int32_t RetryCountValue(const std::string& text);

}  // namespace telvane
