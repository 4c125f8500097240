// The far end's SDP as the SIP driver reads it, the final answer or a new offer in the answered
// call: whatever the far end writes, the media it accepts hold only payload types of 7 bits, an
// address of the offer's family with a port, a packet time the line sends, and SRTP keys only
// for a suite offered (always when SRTP is required, or the call is encrypted); our answer to
// a new offer names one key exactly when the media take one; a refusal always says why. The
// first byte chooses the offer (codecs, key path, SRTP) and which SDP is read.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "linesvc/sip/sdp_answer.h"

using namespace telvane::linesvc;

namespace {

size_t Count(std::string_view text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SdpOffer offer{*SocketAddress::Parse("127.0.0.1", 10000), {SipCodec::kPcmu, SipCodec::kPcma}};
  if ((data[0] & 1) != 0) offer.codecs = {SipCodec::kPcma};
  offer.dtmf = static_cast<SipDtmf>((data[0] >> 1) % 4);
  offer.srtp = static_cast<SipSrtp>((data[0] >> 3) % 3);
  if ((data[0] & 0x20) != 0) offer.codecs.push_back(SipCodec::kG722);
  std::string error;
  if (offer.srtp != SipSrtp::kNo && !NewSdesCrypto(&offer.crypto, &error)) __builtin_trap();
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  // A new offer comes to a call that is encrypted (with the line's keys), or not.
  const bool new_offer = (data[0] & 0x40) != 0;
  SipMedia current;
  if ((data[0] & 0x80) != 0 && !offer.crypto.empty()) {
    current.srtp = SrtpKeys{offer.crypto[1].suite, offer.crypto[1].key, offer.crypto[1].key};
  }
  std::optional<SipMedia> media;
  std::string refusal;
  if (new_offer) {
    const SdpOfferTaken taken = ReadSdpOffer(offer, current, text);
    media = taken.media;
    refusal = taken.refusal;
    if (media && Count(taken.answer, "\na=crypto:") != (media->srtp ? 1u : 0u)) __builtin_trap();
  } else {
    const SdpAnswer answer = ReadSdpAnswer(offer, text);
    media = answer.media;
    refusal = answer.refusal;
  }
  if (!media) {
    if (refusal.empty()) __builtin_trap();
    return 0;
  }
  if (media->payload > 127 || (media->event_payload && *media->event_payload > 127) ||
      (media->offered_event_payload && !media->event_payload)) {
    __builtin_trap();
  }
  if (media->remote.storage.ss_family != AF_INET || media->remote.ToString().ends_with(":0")) {
    __builtin_trap();
  }
  if (media->packet_ms < 10 || media->packet_ms > 60 || media->packet_ms % 10 != 0) {
    __builtin_trap();
  }
  if (((offer.srtp == SipSrtp::kRequired || (new_offer && current.srtp)) && !media->srtp) ||
      (offer.srtp == SipSrtp::kNo && media->srtp)) {
    __builtin_trap();
  }
  return 0;
}
