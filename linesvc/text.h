// Small text helpers of the telephony service, written once: ASCII case, blanks at the ends,
// whole numbers. The lines file, the sim scripts and the modem's answers all go through them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvane::linesvc {

std::string Lower(std::string_view text);
std::string Upper(std::string_view text);

// The text without the blanks (by default spaces and tabs) at either end.
std::string Trim(std::string_view text, std::string_view blanks = " \t");

// A decimal whole number that is the whole text, within [low, high]; false otherwise.
bool ParseInteger(std::string_view text, int64_t low, int64_t high, int64_t* value);

}  // namespace telvane::linesvc
