// The final answer's SDP as the SIP driver reads it: whatever the far end writes, the media it
// accepts hold only payload types of 7 bits and an address of the offer's family with a port,
// and a refusal always says why. The first byte chooses the offer (codecs, key path).
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "linesvc/sip/sdp_answer.h"

using namespace telvane::linesvc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SdpOffer offer{*SocketAddress::Parse("127.0.0.1", 10000), {G711Law::kMu, G711Law::kA}};
  if ((data[0] & 1) != 0) offer.codecs = {G711Law::kA};
  offer.dtmf = static_cast<SipDtmf>((data[0] >> 1) % 4);
  const SdpAnswer answer =
      ReadSdpAnswer(offer, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  if (!answer.media) {
    if (answer.refusal.empty()) __builtin_trap();
    return 0;
  }
  const SipMedia& media = *answer.media;
  if (media.payload > 127 || (media.event_payload && *media.event_payload > 127)) {
    __builtin_trap();
  }
  if (media.remote.storage.ss_family != AF_INET || media.remote.ToString().ends_with(":0")) {
    __builtin_trap();
  }
  return 0;
}
