// The in-band DTMF module, libtelvane_dtmf.so: spandsp's DTMF receiver behind InbandDtmf. The
// SIP driver loads it for the first call that listens for tones, so spandsp and the image
// libraries it links are mapped only then.
#include <type_traits>

#include "linesvc/driver_kit.h"
#include "linesvc/sip/sip_keys.h"

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

}  // namespace
}  // namespace telvane::linesvc

extern "C" TELVANE_DRIVER_EXPORT bool TelvaneNewInbandDtmf(
    std::unique_ptr<telvane::linesvc::InbandDtmf>* receiver) {
  using namespace telvane::linesvc;
  static_assert(std::is_same_v<decltype(TelvaneNewInbandDtmf), InbandDtmfEntry>);
  auto made = std::make_unique<SpandspDtmf>();
  if (!made->Ready()) return false;
  *receiver = std::move(made);
  return true;
}
