// What of a SIP message goes into the event log: its first line's method or status and its
// Call-ID, never its other headers (an Authorization header holds a digest response), and
// only printable ASCII of what the far end wrote.
//
//   log("received " + SipMessageSummary(packet));   // "received 180 Ringing (call a84b4c76e66710)"
//
// Plain functions: any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace telvane::linesvc {

// At most `limit` characters of the text, each outside printable ASCII as '?'.
std::string SipPrintable(std::string_view text, size_t limit);

// The request's method or the response's code and reason, and the Call-ID in parentheses.
std::string SipMessageSummary(std::string_view packet);

}  // namespace telvane::linesvc
