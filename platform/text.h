// The small text helpers of the program and the telephony service, each in one place: the
// settings and lines files, the command line, the sim scripts and the modem's answers all go
// through them.
//
// Names, keys, commands and option texts are ASCII: case is folded for the letters A-Z only,
// so a byte of another character set is never changed by the user's locale. Thread-safe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace telvane::platform {

// Spaces and tabs: what surrounds names and values in settings and lines files.
inline constexpr std::string_view kBlanks = " \t";

// The character in lower case if it is a letter A-Z, or in upper case if a-z; else unchanged.
constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The text with its letters A-Z in lower case, or a-z in upper case; other bytes unchanged.
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);

// Whether two texts are equal when the letters A-Z are taken without case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The text without the characters of `chars` at either end.
std::string Trim(std::string_view text, std::string_view chars = kBlanks);

// The text without the characters at either end for which is_trimmed(character) holds.
template <typename Predicate>
std::string TrimIf(std::string_view text, Predicate is_trimmed) {
  const auto keep = [&](char c) { return !is_trimmed(static_cast<unsigned char>(c)); };
  const auto first = std::find_if(text.begin(), text.end(), keep);
  const auto last = std::find_if(text.rbegin(), text.rend(), keep).base();
  return first < last ? std::string(first, last) : std::string();
}

// The value without one pair of enclosing quotes (double or single, the same at both ends).
std::string Unquote(std::string_view value);

// The text with its control characters (below 32, and DEL) shown as escapes: "\r", "\n",
// "\t" and "\xHH" for the others. Every other byte is kept, so UTF-8 text stays as it is.
std::string EscapeControls(std::string_view text);

// A decimal whole number that is the whole text, within [low, high]; false otherwise, and
// *value is then left as it was.
bool ParseInteger(std::string_view text, int64_t low, int64_t high, int64_t* value);

}  // namespace telvane::platform
