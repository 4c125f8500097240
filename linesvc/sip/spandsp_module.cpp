// The spandsp module, libtelvane_spandsp.so: spandsp's DTMF receiver behind InbandDtmf and its
// G.722 coder behind VoiceCodec. The SIP driver loads it for the first call that needs one of
// them, so spandsp and the image libraries it links are mapped only then (spandsp_module.h).
#include "linesvc/sip/spandsp_module.h"

#include <type_traits>

#include "linesvc/driver_kit.h"
#include "linesvc/sip/sip_keys.h"
#include "linesvc/sip/voice_codec.h"

// Last, because spandsp's base header turns lrint and lrintf into truncating macros for C++.
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/complex.h>
#include <spandsp/logging.h>
#include <spandsp/queue.h>
#include <spandsp/tone_detect.h>
#include <spandsp/tone_generate.h>
#include <spandsp/super_tone_rx.h>
#include <spandsp/dtmf.h>
#include <spandsp/g722.h>
#undef lrint
#undef lrintf
// clang-format on

namespace telvane::linesvc {
namespace {

class SpandspDtmf final : public InbandDtmf {
 public:
  SpandspDtmf()
      : rx_(dtmf_rx_init(
            nullptr,
            [](void* data, const char* digits, int count) {
              static_cast<SpandspDtmf*>(data)->keys_.append(digits, static_cast<size_t>(count));
            },
            this)) {}
  ~SpandspDtmf() override { dtmf_rx_free(rx_); }
  SpandspDtmf(const SpandspDtmf&) = delete;
  SpandspDtmf& operator=(const SpandspDtmf&) = delete;

  bool Ready() const { return rx_ != nullptr; }

  std::string Feed(std::span<const int16_t> samples) override {
    keys_.clear();
    if (!samples.empty()) dtmf_rx(rx_, samples.data(), static_cast<int>(samples.size()));
    return keys_;
  }

 private:
  dtmf_rx_state_t* const rx_;
  std::string keys_;
};

// G.722 at 64 kbit/s with 8 kHz sound on the line side.
class SpandspG722 final : public VoiceCodec {
 public:
  SpandspG722()
      : encoder_(g722_encode_init(nullptr, kBitRate, G722_SAMPLE_RATE_8000)),
        decoder_(g722_decode_init(nullptr, kBitRate, G722_SAMPLE_RATE_8000)) {}
  ~SpandspG722() override {
    if (encoder_ != nullptr) g722_encode_free(encoder_);
    if (decoder_ != nullptr) g722_decode_free(decoder_);
  }
  SpandspG722(const SpandspG722&) = delete;
  SpandspG722& operator=(const SpandspG722&) = delete;

  bool Ready() const { return encoder_ != nullptr && decoder_ != nullptr; }

  void Encode(std::span<const int16_t> samples, uint8_t* payload) override {
    g722_encode(encoder_, payload, samples.data(), static_cast<int>(samples.size()));
  }
  size_t Decode(std::span<const uint8_t> payload, int16_t* samples) override {
    return static_cast<size_t>(
        g722_decode(decoder_, samples, payload.data(), static_cast<int>(payload.size())));
  }

 private:
  static constexpr int kBitRate = 64000;
  g722_encode_state_t* const encoder_;
  g722_decode_state_t* const decoder_;
};

}  // namespace
}  // namespace telvane::linesvc

extern "C" TELVANE_DRIVER_EXPORT bool TelvaneNewG722Codec(
    std::unique_ptr<telvane::linesvc::VoiceCodec>* coder) {
  using namespace telvane::linesvc;
  static_assert(std::is_same_v<decltype(TelvaneNewG722Codec), G722CodecEntry>);
  auto made = std::make_unique<SpandspG722>();
  if (!made->Ready()) return false;
  *coder = std::move(made);
  return true;
}

extern "C" TELVANE_DRIVER_EXPORT bool TelvaneNewInbandDtmf(
    std::unique_ptr<telvane::linesvc::InbandDtmf>* receiver) {
  using namespace telvane::linesvc;
  static_assert(std::is_same_v<decltype(TelvaneNewInbandDtmf), InbandDtmfEntry>);
  auto made = std::make_unique<SpandspDtmf>();
  if (!made->Ready()) return false;
  *receiver = std::move(made);
  return true;
}
