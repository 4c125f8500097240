// The message catalogue behind MessageForCode, for the error code and its tests only.
//
// Each entry pairs a code, stored with its sign, with its text. Entries are ordered strictly by
// the absolute value of the code, because a lookup goes by absolute value alone: an error and a
// status text never share a number. An entry with an empty text makes the lookup fall back to
// the platform's system text for that number. Everything here is constant and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace telvane {

struct MessageEntry {
  int32_t code;
  std::string_view text;
};

// The longest text a lookup returns; system texts are cut to it as well.
inline constexpr std::size_t kMaxMessageLength = 255;

// The whole catalogue, constant for the life of the process. Thread-safe.
std::span<const MessageEntry> MessageTable();

// Where MessageForCode gets the system text for a number it has no catalogue text for.
using SystemTextSource = std::string (*)(uint32_t number);

// MessageForCode with the system text taken from `system_text` instead of the platform, so the
// fallback and its cleaning can be checked with a fake source. Thread-safe if the source is.
std::string MessageForCode(int32_t code, SystemTextSource system_text);

}  // namespace telvane
