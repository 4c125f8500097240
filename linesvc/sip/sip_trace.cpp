// What of a SIP message goes into the event log.
#include "linesvc/sip/sip_trace.h"

#include "platform/text.h"

namespace telvane::linesvc {

std::string SipPrintable(std::string_view text, size_t limit) {
  std::string out;
  for (const char c : text.substr(0, limit)) {
    out += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return out;
}

std::string SipMessageSummary(std::string_view packet) {
  const std::string_view first = packet.substr(0, packet.find("\r\n"));
  std::string what;
  if (first.rfind("SIP/2.0 ", 0) == 0) {
    what = SipPrintable(first.substr(8), 40);
  } else {
    what = SipPrintable(first.substr(0, first.find(' ')), 20);
  }
  std::string call_id;
  size_t pos = 0;
  while ((pos = packet.find("\r\n", pos)) != std::string_view::npos) {
    pos += 2;
    std::string_view line = packet.substr(pos, packet.find("\r\n", pos) - pos);
    if (line.empty()) break;  // the body starts
    const size_t colon = line.find(':');
    std::string name = platform::LowerCase(line.substr(0, colon));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (colon != std::string_view::npos && (name == "call-id" || name == "i")) {
      line.remove_prefix(colon + 1);
      while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
      call_id = SipPrintable(line, 80);
      break;
    }
  }
  return what + " (call " + call_id + ")";
}

}  // namespace telvane::linesvc
