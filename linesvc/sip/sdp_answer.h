// The SDP of an outgoing SIP call: the offer the INVITE carries, and what the final answer
// makes of it. Only the answer in the 2xx decides where the sound goes; the SDP of a 183
// (early media) is never read for it.
//
//   SdpOffer offer{rtp_address_with_port, settings.codecs, settings.dtmf, settings.srtp};
//   if (offer.srtp != SipSrtp::kNo && !NewSdesCrypto(&offer.crypto, &error)) ...
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
//
// SRTP (SDES, RFC 4568): with srtp = required the offer is RTP/SAVP with our keys, and an
// answer without an acceptable key is refused. With srtp = offer it is RTP/AVP with our keys as
// well: the "best effort" form, which a peer without SRTP takes as plain RTP (it ignores the
// attribute it does not know), while RTP/SAVP would be refused by it outright; the call is
// encrypted when the answer holds a key. An answer's key must answer one of our crypto lines
// (same tag, same suite) and be well formed (sdes_crypto.h); a malformed one is refused, never
// taken for plain RTP.
//
// The answer's ptime (10 to 60 ms in steps of 10; anything else counts as 20) is the size of
// the packets we send. Its telephone-events are taken on the payload type it names and on the
// one we offered (RFC 3264 lets the far end send with either).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sdes_crypto.h"
#include "linesvc/sip/sip_settings.h"

namespace telvane::linesvc {

// What our INVITE offers.
struct SdpOffer {
  SocketAddress local;           // our RTP address, with the socket's port
  std::vector<SipCodec> codecs;  // in order of preference
  SipDtmf dtmf = SipDtmf::kAuto;
  SipSrtp srtp = SipSrtp::kNo;
  std::vector<SdesCrypto> crypto = {};  // our keys, unless srtp is kNo
};

// The payload type of telephone-event in our offer.
inline constexpr uint8_t kOfferedEventPayload = 101;

// The body of the INVITE; false with the reason in *error.
bool OfferText(const SdpOffer& offer, std::string* text, std::string* error);

// The media the final answer agreed on, or nullopt with a sentence in `refusal`.
struct SdpAnswer {
  std::optional<SipMedia> media;
  std::string refusal;
};

SdpAnswer ReadSdpAnswer(const SdpOffer& offer, std::string_view answer);

}  // namespace telvane::linesvc
