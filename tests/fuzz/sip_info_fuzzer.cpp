// The body of a SIP INFO as the SIP driver reads it: the first line is the Content-Type, the
// rest the body; a key found is always one of the sixteen.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "linesvc/sip/sip_keys.h"

using namespace telvane::linesvc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t end = input.find('\n');
  const std::string_view type = input.substr(0, end);
  const std::string_view body = end == std::string_view::npos ? "" : input.substr(end + 1);
  if (const std::optional<char> key = InfoDigit(type, body)) {
    if (std::string_view("0123456789*#ABCD").find(*key) == std::string_view::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
