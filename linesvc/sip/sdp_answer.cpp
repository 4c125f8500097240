// The offer and the answer of a SIP call, through libre's SDP coder.
#include "linesvc/sip/sdp_answer.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "linesvc/sip/re_include.h"

namespace telvane::linesvc {

namespace {

constexpr int kCodecPayload[] = {0, 8};  // by G711Law: PCMU, PCMA
constexpr uint32_t kRate = 8000;

struct MemDeref {
  void operator()(void* object) const { mem_deref(object); }
};
template <typename T>
using ReObject = std::unique_ptr<T, MemDeref>;

// A session holding our offer, as libre needs it to read an answer (an answer is decoded
// against the formats offered), and the offer's text in *text unless null. Null with *err set
// when libre refuses.
ReObject<sdp_session> MakeOffer(const SdpOffer& offer, sdp_media** media, int* err,
                                std::string* text = nullptr) {
  struct sa local {};
  sa_set_sa(&local, reinterpret_cast<const sockaddr*>(&offer.local.storage));
  sdp_session* session = nullptr;
  *err = sdp_session_alloc(&session, &local);
  ReObject<sdp_session> owned(session);
  if (*err == 0) *err = sdp_media_add(media, session, "audio", sa_port(&local), "RTP/AVP");
  for (const G711Law law : offer.codecs) {
    if (*err != 0) break;
    const std::string id = std::to_string(kCodecPayload[static_cast<int>(law)]);
    *err = sdp_format_add(nullptr, *media, false, id.c_str(), G711Name(law), kRate, 1, nullptr,
                          nullptr, nullptr, false, nullptr);
  }
  if (*err == 0 && (offer.dtmf == SipDtmf::kAuto || offer.dtmf == SipDtmf::kRfc4733)) {
    *err = sdp_format_add(nullptr, *media, false, "101", "telephone-event", kRate, 1, nullptr,
                          nullptr, nullptr, false, "0-15");
  }
  if (*err == 0) *err = sdp_media_set_lattr(*media, true, "ptime", "20");
  // libre reads an answer only to an offer it has written.
  mbuf* encoded = nullptr;
  if (*err == 0) *err = sdp_encode(&encoded, session, true);
  const ReObject<mbuf> owned_text(encoded);
  if (*err != 0) return nullptr;
  if (text != nullptr) text->assign(reinterpret_cast<const char*>(encoded->buf), encoded->end);
  return owned;
}

bool IsPayloadType(int pt) { return pt >= 0 && pt <= 127; }

// A remote format is one of our codecs by its rtpmap name and rate, or, without an rtpmap,
// by its static payload type.
std::optional<G711Law> CodecOf(const sdp_format& format, const std::vector<G711Law>& offered) {
  if (!IsPayloadType(format.pt)) return std::nullopt;
  for (const G711Law law : offered) {
    const bool named = format.name != nullptr;
    if (named ? str_casecmp(format.name, G711Name(law)) == 0 && format.srate == kRate &&
                    format.ch <= 1
              : format.pt == kCodecPayload[static_cast<int>(law)]) {
      return law;
    }
  }
  return std::nullopt;
}

std::string OfferedNames(const std::vector<G711Law>& codecs) {
  std::string names;
  for (const G711Law law : codecs) names += std::string(names.empty() ? "" : ", ") + G711Name(law);
  return names;
}

SdpAnswer Refused(std::string why) { return {std::nullopt, std::move(why)}; }

}  // namespace

bool OfferText(const SdpOffer& offer, std::string* text, std::string* error) {
  sdp_media* media = nullptr;
  int err = 0;
  if (MakeOffer(offer, &media, &err, text)) return true;
  *error = "the SDP offer cannot be made: error " + std::to_string(err);
  return false;
}

SdpAnswer ReadSdpAnswer(const SdpOffer& offer, std::string_view answer) {
  if (answer.empty()) return Refused("the answer carries no SDP");
  sdp_media* media = nullptr;
  int err = 0;
  const ReObject<sdp_session> session = MakeOffer(offer, &media, &err);
  if (!session) return Refused("the answer cannot be read: error " + std::to_string(err));
  const ReObject<mbuf> body(mbuf_alloc(answer.size()));
  if (!body || mbuf_write_mem(body.get(), reinterpret_cast<const uint8_t*>(answer.data()),
                              answer.size()) != 0) {
    return Refused("the answer cannot be read: out of memory");
  }
  body->pos = 0;
  err = sdp_decode(session.get(), body.get(), false);
  if (err != 0) return Refused("the answer's SDP cannot be read: error " + std::to_string(err));

  const bool has_formats = list_head(sdp_media_format_lst(media, false)) != nullptr;
  if (sdp_media_rport(media) == 0) {
    return Refused(has_formats ? "the answer refuses the audio stream (port 0)"
                               : "the answer has no audio stream");
  }
  const struct sa* address = sdp_media_raddr(media);
  if (address == nullptr || !sa_isset(address, SA_ALL) || address->len > sizeof(sockaddr_storage)) {
    return Refused("the answer names no address for the audio (0.0.0.0: on hold)");
  }
  SipMedia result;
  std::memcpy(&result.remote.storage, &address->u, address->len);
  result.remote.length = address->len;
  if (result.remote.storage.ss_family != offer.local.storage.ss_family) {
    return Refused("the answer's audio address " + result.remote.ToString() +
                   " cannot be reached from " + offer.local.ToString());
  }
  if ((sdp_media_dir(media) & SDP_SENDONLY) == 0) {
    return Refused("the answer does not take our sound (" +
                   std::string(sdp_dir_name(sdp_media_rdir(media))) + ")");
  }
  // The first of the answer's formats that we offered.
  bool found = false;
  for (le* element = list_head(sdp_media_format_lst(media, false)); element != nullptr && !found;
       element = element->next) {
    const auto* format = static_cast<const sdp_format*>(element->data);
    if (const std::optional<G711Law> law = CodecOf(*format, offer.codecs)) {
      result.codec = *law;
      result.payload = static_cast<uint8_t>(format->pt);
      found = true;
    }
  }
  if (!found) {
    return Refused("the answer takes none of the codecs offered (" + OfferedNames(offer.codecs) +
                   ")");
  }
  const sdp_format* event = sdp_media_rformat(media, "telephone-event");
  if (event != nullptr && IsPayloadType(event->pt) && event->srate == kRate &&
      event->pt != result.payload &&
      (offer.dtmf == SipDtmf::kAuto || offer.dtmf == SipDtmf::kRfc4733)) {
    result.event_payload = static_cast<uint8_t>(event->pt);
  }
  result.keys = result.event_payload ? SipKeyPath::kRfc4733
                : offer.dtmf == SipDtmf::kInfo || offer.dtmf == SipDtmf::kRfc4733
                    ? SipKeyPath::kInfo
                    : SipKeyPath::kInband;
  return {result, {}};
}

}  // namespace telvane::linesvc
