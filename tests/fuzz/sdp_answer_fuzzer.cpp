// The final answer's SDP as the SIP driver reads it: whatever the far end writes, the media it
// accepts hold only payload types of 7 bits, an address of the offer's family with a port, a
// packet time the line sends, and SRTP keys only for a suite offered (always when SRTP is
// required); a refusal always says why. The first byte chooses the offer (codecs, key path,
// SRTP).
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "linesvc/sip/sdp_answer.h"

using namespace telvane::linesvc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SdpOffer offer{*SocketAddress::Parse("127.0.0.1", 10000), {SipCodec::kPcmu, SipCodec::kPcma}};
  if ((data[0] & 1) != 0) offer.codecs = {SipCodec::kPcma};
  offer.dtmf = static_cast<SipDtmf>((data[0] >> 1) % 4);
  offer.srtp = static_cast<SipSrtp>((data[0] >> 3) % 3);
  if ((data[0] & 0x20) != 0) offer.codecs.push_back(SipCodec::kG722);
  std::string error;
  if (offer.srtp != SipSrtp::kNo && !NewSdesCrypto(&offer.crypto, &error)) __builtin_trap();
  const SdpAnswer answer =
      ReadSdpAnswer(offer, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  if (!answer.media) {
    if (answer.refusal.empty()) __builtin_trap();
    return 0;
  }
  const SipMedia& media = *answer.media;
  if (media.payload > 127 || (media.event_payload && *media.event_payload > 127) ||
      (media.offered_event_payload && !media.event_payload)) {
    __builtin_trap();
  }
  if (media.remote.storage.ss_family != AF_INET || media.remote.ToString().ends_with(":0")) {
    __builtin_trap();
  }
  if (media.packet_ms < 10 || media.packet_ms > 60 || media.packet_ms % 10 != 0) __builtin_trap();
  if ((offer.srtp == SipSrtp::kRequired && !media.srtp) ||
      (offer.srtp == SipSrtp::kNo && media.srtp)) {
    __builtin_trap();
  }
  return 0;
}
