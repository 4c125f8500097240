// The sound of a SIP call in the codec the answer chose: line sound (8 kHz, 16-bit mono) into
// RTP payloads and back.
//
//   std::unique_ptr<VoiceCodec> codec = VoiceCodec::Create(SipCodec::kG722);  // null: no module
//   codec->Encode(frame, payload);                 // one byte per sample, whichever the codec
//   size_t n = codec->Decode(payload, samples);    // for keys heard as tones
//
// Every codec here makes one byte of payload per line sample: G.711 (PCMU, PCMA) codes each
// sample in a byte, and G.722 at 64 kbit/s codes a 16 kHz pair of samples in a byte. spandsp's
// G.722 coder takes and gives 8 kHz sound, so the line's sound needs no resampling; RTP counts
// G.722 in an 8000 Hz clock all the same (RFC 3551 4.5.2), so timestamps step as for G.711.
//
// G.711 is spandsp's inline coder. G.722 needs spandsp's library, which links image libraries
// (libtiff, libjpeg, libwebp...): it is in the module of its own that the in-band key receiver
// is in too (spandsp_module.h), loaded for the first call that needs one and then kept, so a
// call in G.711 never maps spandsp.
//
// A coder belongs to one call and keeps the codec's state between packets: not thread-safe,
// but it may be made on one thread and used on another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "linesvc/sip/sip_settings.h"

namespace telvane::linesvc {

class VoiceCodec {
 public:
  // A coder of its own for one call; null when the codec's module cannot be loaded.
  // Thread-safe.
  static std::unique_ptr<VoiceCodec> Create(SipCodec codec);

  virtual ~VoiceCodec() = default;

  // Writes the payload of `samples` (samples.size() bytes) to `payload`.
  virtual void Encode(std::span<const int16_t> samples, uint8_t* payload) = 0;
  // Writes the line sound of `payload` to `samples`, which has room for payload.size();
  // returns how many samples it wrote.
  virtual size_t Decode(std::span<const uint8_t> payload, int16_t* samples) = 0;
};

}  // namespace telvane::linesvc
