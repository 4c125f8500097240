// Decoders of the remote side's keys on a SIP call.
#include "linesvc/sip/sip_keys.h"

#include <algorithm>

#include "linesvc/dtmf_key.h"
#include "linesvc/sip/spandsp_module.h"
#include "platform/lazy_library.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

std::optional<char> KeyOf(std::string_view untrimmed) {
  const std::string text = platform::Trim(untrimmed, " \t\r\n");
  if (text.size() == 1) {
    const char c = platform::UpperAscii(text[0]);
    if (IsDtmfKey(c)) return c;
  }
  // Some send the event code instead: 10 for '*', 11 for '#'.
  if (text == "10" || text == "11") return EventDigit(text == "10" ? 10 : 11);
  return std::nullopt;
}

}  // namespace

std::optional<char> EventDigit(int code) {
  static constexpr char kKeys[] = "0123456789*#ABCD";
  if (code < 0 || code > 15) return std::nullopt;
  return kKeys[code];
}

std::optional<char> TelephoneEvents::OnPacket(uint32_t timestamp,
                                              std::span<const uint8_t> payload) {
  if (payload.size() < 4) return std::nullopt;
  if (last_timestamp_ == timestamp) return std::nullopt;  // the same press again
  const std::optional<char> key = EventDigit(payload[0]);
  if (!key) return std::nullopt;
  last_timestamp_ = timestamp;
  return key;
}

std::optional<char> InfoDigit(std::string_view content_type, std::string_view body) {
  const std::string type =
      platform::LowerCase(platform::Trim(content_type.substr(0, content_type.find(';'))));
  if (type == "application/dtmf") return KeyOf(body);
  if (type != "application/dtmf-relay") return std::nullopt;
  while (!body.empty()) {
    const size_t end = std::min(body.find('\n'), body.size());
    const std::string_view line = body.substr(0, end);
    body.remove_prefix(std::min(end + 1, body.size()));
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos &&
        platform::LowerCase(platform::Trim(line.substr(0, eq), " \t\r")) == "signal") {
      return KeyOf(line.substr(eq + 1));
    }
  }
  return std::nullopt;
}

std::unique_ptr<InbandDtmf> InbandDtmf::Create() {
  auto* entry = platform::KeptLibrary(kSpandspModule).Entry<InbandDtmfEntry>(kInbandDtmfEntryName);
  std::unique_ptr<InbandDtmf> receiver;
  if (entry == nullptr || !entry(&receiver)) return nullptr;
  return receiver;
}

}  // namespace telvane::linesvc
