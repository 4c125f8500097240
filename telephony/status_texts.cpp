#include "telephony/status_texts.h"

#include "platform/errors.h"
#include "telephony/tapi_events.h"

namespace telvane {

namespace {

constexpr int32_t kCallStateBase = 13500;
constexpr int32_t kDevStateBase = 13532;
constexpr int32_t kReplyBase = 13564;
constexpr int32_t kDeviceReportBase = 13596;
constexpr int32_t kDisconnectReasonBase = 13650;
constexpr int32_t kTapiErrorBase = 13800;

// Replaces the first occurrence of a printf-style placeholder; a text without one is
// returned unchanged.
std::string FillPlaceholder(std::string text, const std::string& placeholder,
                            const std::string& value) {
  const size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
  return text;
}

int32_t BaseFor(int32_t message) {
  switch (message) {
    case kLineCallStateMessage:
      return kCallStateBase;
    case kLineDevStateMessage:
      return kDevStateBase;
    case kLineReplyMessage:
      return kReplyBase;
    default:
      return kDeviceReportBase;
  }
}

// Text of a caller-ID party (number or name) of a call-information block: the flags say
// when the party is blocked, out of area, unknown or unavailable; otherwise the text is the
// party's bytes without their terminating NUL.
std::string PartyText(const platform::TapiBlock<LINECALLINFO>& block, bool check_address_flag,
                      DWORD size, DWORD offset) {
  const DWORD flags = block->dwCallerIDFlags;
  if (!check_address_flag || (flags & LINECALLPARTYID_ADDRESS) == 0) {
    if ((flags & LINECALLPARTYID_BLOCKED) != 0) return MessageForCode(ecTapiCIDBlocked);
    if ((flags & LINECALLPARTYID_OUTOFAREA) != 0) return MessageForCode(ecTapiCIDOutOfArea);
    if ((flags & LINECALLPARTYID_UNKNOWN) != 0) return "Unknown";
    if ((flags & LINECALLPARTYID_UNAVAIL) != 0) return "Unavailable";
  }
  if (size == 0) return {};
  const std::span<const uint8_t> text = block.Part(offset, size - 1);
  return std::string(text.begin(), text.end());
}

}  // namespace

int32_t LowestBitPosition(uint32_t value) {
  int32_t position = 1;
  while (position < 33 && (value & 1u) == 0) {
    value >>= 1;
    ++position;
  }
  return position;
}

std::string StatusText(int32_t message, int32_t state, int32_t param, int32_t retry_countdown) {
  // The code is formed in 16 bits, as the catalogue lookup reads it.
  const auto code =
      static_cast<int16_t>(BaseFor(message) + LowestBitPosition(static_cast<uint32_t>(state)));
  const std::string text = MessageForCode(code);
  if (message == kDeviceStatusMessage && state == kRetryWaitState) {
    return FillPlaceholder(text, "%d", std::to_string(retry_countdown));
  }
  if (state == kCallStateDisconnected) {
    const std::string reason =
        MessageForCode(kDisconnectReasonBase + LowestBitPosition(static_cast<uint32_t>(param)));
    return FillPlaceholder(text, "%s", reason);
  }
  return text;
}

std::string FailureText(int32_t code) {
  if (code < 0) {
    return MessageForCode(static_cast<int16_t>((code & 0xFFFF) + kTapiErrorBase));
  }
  return StatusText(kLineCallStateMessage, kCallStateDisconnected, code, 0);
}

std::string CallerIDNumberText(const platform::TapiBlock<LINECALLINFO>& info) {
  if (!info) return {};
  return PartyText(info, /*check_address_flag=*/true, info->dwCallerIDSize, info->dwCallerIDOffset);
}

std::string CallerIDNameText(const platform::TapiBlock<LINECALLINFO>& info) {
  if (!info) return {};
  return PartyText(info, /*check_address_flag=*/false, info->dwCallerIDNameSize,
                   info->dwCallerIDNameOffset);
}

}  // namespace telvane
