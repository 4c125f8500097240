// The three ways a SIP call hears the remote side's keys, as plain decoders the session feeds:
// RFC 4733 telephone-events in RTP, the body of a SIP INFO, and DTMF tones in the sound.
//
//   TelephoneEvents events;
//   if (std::optional<char> key = events.OnPacket(rtp_timestamp, payload)) ...  // once per press
//
// Not thread-safe: each decoder belongs to one call, used on one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace telvane::linesvc {

// RFC 4733 telephone-events. A press is sent as several packets with the same RTP timestamp
// (the start, updates, and usually three copies of the end); the key is reported on the first
// packet of an event and never again for the same timestamp.
class TelephoneEvents {
 public:
  std::optional<char> OnPacket(uint32_t timestamp, std::span<const uint8_t> payload);

 private:
  std::optional<uint32_t> last_timestamp_;
};

// The key a SIP INFO carries: "application/dtmf-relay" ("Signal=5" on a line of its own, as
// Cisco and most PBXs send it) or "application/dtmf" (the key alone). Nullopt for other types
// or a body without a key.
std::optional<char> InfoDigit(std::string_view content_type, std::string_view body);

// The key of a telephone-event code (0-9, '*', '#', 'A'-'D'), or nullopt for other codes.
std::optional<char> EventDigit(int code);

// DTMF tones in the line sound (8 kHz, 16-bit), heard with spandsp's receiver, which is in the
// spandsp module (spandsp_module.h): loaded for the first call whose keys come as tones, so a
// call with telephone-events or SIP INFO never maps it.
class InbandDtmf {
 public:
  // A receiver of its own for one call; null when the module cannot be loaded. Thread-safe.
  static std::unique_ptr<InbandDtmf> Create();

  virtual ~InbandDtmf() = default;

  // Returns the keys whose tones the samples complete, in order (usually none).
  virtual std::string Feed(std::span<const int16_t> samples) = 0;
};

}  // namespace telvane::linesvc
