// RTP packets as the SIP driver reads them: each header parsed, its payload within the
// packet, and telephone-events (RFC 4733) decoded from the payloads of type 101, once per
// press and only as keys. The input is a run of packets, each after a byte of its length.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sip_keys.h"

using namespace telvane::linesvc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  TelephoneEvents events;
  for (size_t at = 0; at < input.size();) {
    const size_t length = std::min<size_t>(input[at], input.size() - at - 1);
    const std::span<const uint8_t> packet = input.subspan(at + 1, length);
    at += 1 + length;
    const std::optional<RtpHeader> header = ParseRtpHeader(packet);
    if (!header) continue;
    if (header->payload.data() < packet.data() ||
        header->payload.data() + header->payload.size() > packet.data() + packet.size()) {
      __builtin_trap();
    }
    if (header->payload_type != 101) continue;
    if (const std::optional<char> key = events.OnPacket(header->timestamp, header->payload)) {
      if (std::string_view("0123456789*#ABCD").find(*key) == std::string_view::npos) {
        __builtin_trap();
      }
      // The same press again never counts twice.
      if (events.OnPacket(header->timestamp, header->payload)) __builtin_trap();
    }
  }
  return 0;
}
