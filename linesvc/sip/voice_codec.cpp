// G.711 from spandsp's inline coder; G.722 from the spandsp module.
#include "linesvc/sip/voice_codec.h"

#include "linesvc/sip/spandsp_module.h"
#include "platform/lazy_library.h"

// Last, because spandsp's base header turns lrint and lrintf into truncating macros for
// C++, which would break any standard header included after it; the macros go again at once.
// Its G.711 coder is inline: nothing links spandsp for it.
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#undef lrint
#undef lrintf
// clang-format on

namespace telvane::linesvc {

namespace {

class G711Codec final : public VoiceCodec {
 public:
  explicit G711Codec(SipCodec law) : a_law_(law == SipCodec::kPcma) {}

  void Encode(std::span<const int16_t> samples, uint8_t* payload) override {
    for (const int16_t sample : samples) {
      *payload++ = a_law_ ? linear_to_alaw(sample) : linear_to_ulaw(sample);
    }
  }
  size_t Decode(std::span<const uint8_t> payload, int16_t* samples) override {
    for (const uint8_t byte : payload)
      *samples++ = a_law_ ? alaw_to_linear(byte) : ulaw_to_linear(byte);
    return payload.size();
  }

 private:
  const bool a_law_;
};

}  // namespace

std::unique_ptr<VoiceCodec> VoiceCodec::Create(SipCodec codec) {
  if (codec != SipCodec::kG722) return std::make_unique<G711Codec>(codec);
  auto* entry = platform::KeptLibrary(kSpandspModule).Entry<G722CodecEntry>(kG722CodecEntryName);
  std::unique_ptr<VoiceCodec> coder;
  if (entry == nullptr || !entry(&coder)) return nullptr;
  return coder;
}

}  // namespace telvane::linesvc
