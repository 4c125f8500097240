// The keys a telephone's keypad sends as DTMF tones: '0'-'9', 'A'-'D', '*' and '#', as the
// drivers report them, the modem and the SIP peer send them and call scripts name them.
#pragma once

namespace telvane::linesvc {

constexpr bool IsDtmfKey(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'D') || c == '*' || c == '#';
}

}  // namespace telvane::linesvc
