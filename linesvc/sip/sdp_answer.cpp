// The offer and the answer of a SIP call, through libre's SDP coder.
#include "linesvc/sip/sdp_answer.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "linesvc/sip/re_include.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

constexpr uint32_t kClockRate = 8000;  // G.722's too, by RFC 3551
constexpr int kDefaultPacketMs = 20;
constexpr const char* kPlainProfile = "RTP/AVP";
constexpr const char* kSecureProfile = "RTP/SAVP";

int StaticPayload(SipCodec codec) {
  switch (codec) {
    case SipCodec::kPcmu:
      return 0;
    case SipCodec::kPcma:
      return 8;
    case SipCodec::kG722:
      return 9;
  }
  return 0;
}

struct MemDeref {
  void operator()(void* object) const { mem_deref(object); }
};
template <typename T>
using ReObject = std::unique_ptr<T, MemDeref>;

ReObject<sdp_session> MakeOffer(const SdpOffer& offer, sdp_media** media, int* err,
                                std::string* text = nullptr) {
  struct sa local {};
  sa_set_sa(&local, reinterpret_cast<const sockaddr*>(&offer.local.storage));
  sdp_session* session = nullptr;
  *err = sdp_session_alloc(&session, &local);
  ReObject<sdp_session> owned(session);
  const bool secure_only = offer.srtp == SipSrtp::kRequired;
  if (*err == 0) {
    *err = sdp_media_add(media, session, "audio", sa_port(&local),
                         secure_only ? kSecureProfile : kPlainProfile);
  }
  // With keys offered, an answer may come in either profile: a peer that takes the keys of a
  // best-effort offer may say RTP/SAVP, one that insists may still say RTP/AVP.
  if (*err == 0 && offer.srtp != SipSrtp::kNo) {
    *err = sdp_media_set_alt_protos(*media, 2, kPlainProfile, kSecureProfile);
  }
  for (const SipCodec codec : offer.codecs) {
    if (*err != 0) break;
    const std::string id = std::to_string(StaticPayload(codec));
    *err = sdp_format_add(nullptr, *media, false, id.c_str(), CodecName(codec), kClockRate, 1,
                          nullptr, nullptr, nullptr, false, nullptr);
  }
  if (*err == 0 && (offer.dtmf == SipDtmf::kAuto || offer.dtmf == SipDtmf::kRfc4733)) {
    const std::string id = std::to_string(kOfferedEventPayload);
    *err = sdp_format_add(nullptr, *media, false, id.c_str(), "telephone-event", kClockRate, 1,
                          nullptr, nullptr, nullptr, false, "0-15");
  }
  if (*err == 0) *err = sdp_media_set_lattr(*media, true, "ptime", "%d", kDefaultPacketMs);
  if (offer.srtp != SipSrtp::kNo) {
    for (const SdesCrypto& crypto : offer.crypto) {
      if (*err == 0) {
        *err = sdp_media_set_lattr(*media, false, "crypto", "%s", FormatSdesCrypto(crypto).c_str());
      }
    }
  }
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
std::optional<SipCodec> CodecOf(const sdp_format& format, const std::vector<SipCodec>& offered) {
  if (!IsPayloadType(format.pt)) return std::nullopt;
  for (const SipCodec codec : offered) {
    const bool named = format.name != nullptr;
    if (named ? str_casecmp(format.name, CodecName(codec)) == 0 && format.srate == kClockRate &&
                    format.ch <= 1
              : format.pt == StaticPayload(codec)) {
      return codec;
    }
  }
  return std::nullopt;
}

std::string OfferedNames(const std::vector<SipCodec>& codecs) {
  std::string names;
  for (const SipCodec codec : codecs) {
    names += std::string(names.empty() ? "" : ", ") + CodecName(codec);
  }
  return names;
}

// The answer's ptime, when it is one the line sends: 10 to 60 ms in steps of 10.
int PacketMs(const char* ptime) {
  int64_t ms = 0;
  if (ptime == nullptr || !platform::ParseInteger(ptime, 10, 60, &ms) || ms % 10 != 0) {
    return kDefaultPacketMs;
  }
  return static_cast<int>(ms);
}

SdpAnswer Refused(std::string why) { return {std::nullopt, std::move(why)}; }

std::vector<std::string> CryptoLines(const sdp_media* media) {
  std::vector<std::string> lines;
  sdp_media_rattr_apply(
      media, "crypto",
      [](const char*, const char* value, void* arg) {
        static_cast<std::vector<std::string>*>(arg)->emplace_back(value != nullptr ? value : "");
        return false;  // all of them
      },
      &lines);
  return lines;
}

// The profile of the answer's (first) audio stream, which libre does not keep: "RTP/AVP"...
std::string_view AudioProfile(std::string_view answer) {
  for (size_t at = 0; at < answer.size();) {
    const size_t end = std::min(answer.find('\n', at), answer.size());
    std::string_view line = answer.substr(at, end - at);
    at = end + 1;
    if (line.rfind("m=audio ", 0) != 0) continue;
    line.remove_prefix(8);
    line.remove_prefix(std::min(line.find(' '), line.size()));  // the port
    line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
    return line.substr(0, line.find_first_of(" \r"));
  }
  return {};
}

// What the answer makes of SRTP: no keys and no refusal (plain RTP), the keys of both
// directions, or a refusal.
struct SrtpOfAnswer {
  std::optional<SrtpKeys> keys;
  std::string refusal;
};

SrtpOfAnswer RefusedSrtp(std::string why) { return {std::nullopt, std::move(why)}; }

SrtpOfAnswer ReadSrtp(const SdpOffer& offer, const sdp_media* media, std::string_view answer) {
  const std::vector<std::string> lines = CryptoLines(media);
  if (lines.empty()) {
    if (offer.srtp == SipSrtp::kRequired) {
      return RefusedSrtp(
          "the answer takes no SRTP key, and the line requires SRTP (srtp = required)");
    }
    if (AudioProfile(answer) == kSecureProfile) {
      // It would send SRTP that cannot be read, and take ours for noise.
      return RefusedSrtp("the answer asks for SRTP (RTP/SAVP) without a key");
    }
    return {};
  }
  if (offer.srtp == SipSrtp::kNo) {
    return RefusedSrtp("the answer holds an SRTP key, but none was offered (srtp = no)");
  }
  if (lines.size() > 1) {
    return RefusedSrtp("the answer holds " + std::to_string(lines.size()) +
                       " SRTP keys (a=crypto), where one is taken");
  }
  std::string why;
  std::optional<SdesCrypto> theirs = ParseSdesCrypto(lines[0], &why);
  if (!theirs) {
    return RefusedSrtp("the answer's SRTP key is refused: " + why);
  }
  for (const SdesCrypto& ours : offer.crypto) {
    if (ours.tag != theirs->tag) continue;
    if (ours.suite != theirs->suite) break;
    return {SrtpKeys{ours.suite, ours.key, theirs->key}, {}};
  }
  return RefusedSrtp("the answer's SRTP key is refused: it answers none of the keys offered (tag " +
                     std::to_string(theirs->tag) + ", " + SrtpSuiteName(theirs->suite) + ")");
}

// Telephone-event's payload types: the one the answer names, and ours when the answer uses it
// for nothing else.
void ReadEventPayloads(const SdpOffer& offer, const sdp_media* media, SipMedia* result) {
  if (offer.dtmf != SipDtmf::kAuto && offer.dtmf != SipDtmf::kRfc4733) return;
  const sdp_format* event = sdp_media_rformat(media, "telephone-event");
  if (event == nullptr || !IsPayloadType(event->pt) || event->srate != kClockRate ||
      event->pt == result->payload) {
    return;
  }
  result->event_payload = static_cast<uint8_t>(event->pt);
  for (le* element = list_head(sdp_media_format_lst(media, false)); element != nullptr;
       element = element->next) {
    const auto* format = static_cast<const sdp_format*>(element->data);
    if (format->pt == kOfferedEventPayload && format != event) return;
  }
  if (event->pt != kOfferedEventPayload) result->offered_event_payload = kOfferedEventPayload;
}

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
    if (const std::optional<SipCodec> codec = CodecOf(*format, offer.codecs)) {
      result.codec = *codec;
      result.payload = static_cast<uint8_t>(format->pt);
      found = true;
    }
  }
  if (!found) {
    return Refused("the answer takes none of the codecs offered (" + OfferedNames(offer.codecs) +
                   ")");
  }
  SrtpOfAnswer srtp = ReadSrtp(offer, media, answer);
  if (!srtp.refusal.empty()) return Refused(std::move(srtp.refusal));
  result.srtp = std::move(srtp.keys);
  result.packet_ms = PacketMs(sdp_media_session_rattr(media, session.get(), "ptime"));
  ReadEventPayloads(offer, media, &result);
  result.keys = result.event_payload ? SipKeyPath::kRfc4733
                : offer.dtmf == SipDtmf::kInfo || offer.dtmf == SipDtmf::kRfc4733
                    ? SipKeyPath::kInfo
                    : SipKeyPath::kInband;
  return {result, {}};
}

}  // namespace telvane::linesvc
