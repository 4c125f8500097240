// The platform's own message text for a system error number.
//
// MessageForCode falls back to it for numbers the catalogue has no text for. On Windows the
// numbers share the system's error number space, so the system message table has texts for many
// of them; other platforms have no table for these numbers.
#pragma once

#include <cstdint>
#include <string>

namespace telvane {

// Returns the system's text for `number` as the system stores it (line breaks included), or an
// empty text when the system has none. Thread-safe.
std::string SystemErrorText(uint32_t number);

}  // namespace telvane
