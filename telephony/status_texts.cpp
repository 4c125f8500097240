#include "telephony/status_texts.h"

#include "platform/errors.h"
#include "platform/tapi.h"
#include "telephony/line_reports.h"

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
    case LINE_CALLSTATE:
      return kCallStateBase;
    case LINE_LINEDEVSTATE:
      return kDevStateBase;
    case LINE_REPLY:
      return kReplyBase;
    default:
      return kDeviceReportBase;
  }
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
  if (state == LINECALLSTATE_DISCONNECTED) {
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
  return StatusText(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, code, 0);
}

}  // namespace telvane
