// The SDP of an outgoing SIP call: the offer the INVITE carries, what the final answer makes
// of it, and, in the answered call, what a new offer of the far end makes of it and our answer
// to that. Only the answer in the 2xx decides where the sound goes; the SDP of a 183 (early
// media) is never read for it.
//
//   SdpOffer offer{rtp_address_with_port, settings.codecs, settings.dtmf, settings.srtp};
//   if (offer.srtp != SipSrtp::kNo && !NewSdesCrypto(&offer.crypto, &error)) ...
//   std::string body;
//   if (!OfferText(offer, &body, &error)) ...
//   SdpVersions versions(body);             // the o= line of every body the call sends
//   ... the 2xx comes ...
//   SdpAnswer answer = ReadSdpAnswer(offer, body_of_the_2xx);
//   if (!answer.media) ... no usable audio: answer.refusal says why
//   ... a re-INVITE or an UPDATE brings a new offer ...
//   SdpOfferTaken taken = ReadSdpOffer(offer, current_media, body_of_the_request);
//   if (taken.media) reply 200 with versions.Stamp(taken.answer); else 488 (taken.refusal)
//
// Audio is usable only in a stream that has a port, an address we can reach, a codec we
// offered, and that takes our sound (not sendonly or inactive). What the far end writes is
// untrusted input: it is read by libre's SDP decoder into a session of its own, and every
// number taken from it is checked. Plain functions: any thread, no running libre loop needed.
//
// SRTP (SDES, RFC 4568): with srtp = required the offer is RTP/SAVP with our keys, and an
// answer without an acceptable key is refused. With srtp = offer it is RTP/AVP with our keys as
// well: the "best effort" form, which a peer without SRTP takes as plain RTP (it ignores the
// attribute it does not know), while RTP/SAVP would be refused by it outright; the call is
// encrypted when the answer holds a key. An answer's key must answer one of our crypto lines
// (same tag, same suite) and be well formed (sdes_crypto.h); a malformed one is refused, never
// taken for plain RTP. Once the call is encrypted, it stays so: an answer or a new offer
// without a key is refused.
//
// A new offer of the far end may list several keys: our answer names exactly one, with the
// offer's tag for the suite the call uses (else for the 80-bit tag suite, else the 32-bit one),
// and our own key of our first offer for that suite, so our direction goes on as it was; the
// far end's key is taken from the line chosen. Our answer has the offer's profile (RTP/AVP or
// RTP/SAVP), one m= line for each of the offer's (the others refused with port 0), and of the
// audio only the codec chosen and telephone-event when it is taken.
//
// The answer's (or the new offer's) ptime (10 to 60 ms in steps of 10; anything else counts as
// 20) is the size of the packets we send. Its telephone-events are taken on the payload type it
// names and on the one we offered (RFC 3264 lets the far end send with either).
#pragma once

#include <cstdint>
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

// Whether the answered call's sound is encrypted already; the first answer comes to a call
// that is not.
enum class CallEncryption { kNone, kSrtp };

// Reads the answer to `offer`: the 2xx's, or the one in the ACK to our offer in the 2xx of a
// re-INVITE without one (then `so_far` says whether the call is encrypted).
SdpAnswer ReadSdpAnswer(const SdpOffer& offer, std::string_view answer,
                        CallEncryption so_far = CallEncryption::kNone);

// A new offer of the far end in the answered call, and what we make of it: the media it moves
// the call to and our answer's body, or nullopt with a sentence in `refusal` (the request is
// refused, the call goes on as it was).
struct SdpOfferTaken {
  std::optional<SipMedia> media;
  std::string answer;  // our answer's body, whose o= line SdpVersions::Stamp makes ours
  std::string refusal;
};

// `ours` is the offer of our INVITE (its codecs, key path and keys), `current` the media the
// call has now.
SdpOfferTaken ReadSdpOffer(const SdpOffer& ours, const SipMedia& current, std::string_view offer);

// The origin line (o=) of the SDP bodies we send in a call (RFC 3264 8): the session id of our
// first offer throughout, and a version that moves on only when a body differs from the one
// sent before it (the origin line aside). Not thread-safe: one call's, on one thread.
class SdpVersions {
 public:
  SdpVersions() = default;
  // `first`: the body of our INVITE, as OfferText wrote it; it counts as sent.
  explicit SdpVersions(std::string_view first);

  // `body` (as OfferText or ReadSdpOffer wrote it) with our origin line and the version due;
  // the body counts as sent.
  std::string Stamp(std::string_view body);

 private:
  std::string prefix_;  // "o=- 1234567 "
  uint64_t version_ = 0;
  std::string suffix_;  // " IN IP4 192.0.2.10"
  std::string last_;    // the last body sent, without its origin line
};

}  // namespace telvane::linesvc
