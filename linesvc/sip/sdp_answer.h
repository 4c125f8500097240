// The SDP of an outgoing SIP call: the offer the INVITE carries, and what the final answer
// makes of it. Only the answer in the 2xx decides where the sound goes; the SDP of a 183
// (early media) is never read for it.
//
//   SdpOffer offer{rtp_address_with_port, settings.codecs, settings.dtmf};
//   std::string body;
//   if (!OfferText(offer, &body, &error)) ...
//   ... the 2xx comes ...
//   SdpAnswer answer = ReadSdpAnswer(offer, body_of_the_2xx);
//   if (!answer.media) ... no usable audio: answer.refusal says why
//
// An answer is usable only with an audio stream that has a port, an address we can reach, a
// codec we offered, and that takes our sound (not sendonly or inactive). The answer is
// untrusted input: it is read by libre's SDP decoder into a session of its own, and every
// number taken from it is checked. Plain functions: any thread, no running libre loop needed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sip_settings.h"

namespace telvane::linesvc {

// What our INVITE offers.
struct SdpOffer {
  SocketAddress local;          // our RTP address, with the socket's port
  std::vector<G711Law> codecs;  // in order of preference
  SipDtmf dtmf = SipDtmf::kAuto;
};

// The body of the INVITE; false with the reason in *error.
bool OfferText(const SdpOffer& offer, std::string* text, std::string* error);

// The media the final answer agreed on, or nullopt with a sentence in `refusal`.
struct SdpAnswer {
  std::optional<SipMedia> media;
  std::string refusal;
};

SdpAnswer ReadSdpAnswer(const SdpOffer& offer, std::string_view answer);

}  // namespace telvane::linesvc
