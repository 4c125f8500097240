// The offer and the answer of a SIP call, through libre's SDP coder.
#include "linesvc/sip/sdp_answer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
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

// A session of ours with its audio stream: the profile our offer names (with keys, the other
// profile as well, as an answer or a new offer may name either), `formats` and, with `crypto`,
// those keys.
struct LocalFormat {
  std::string id;
  const char* name;
  const char* params;
};

ReObject<sdp_session> MakeSession(const SdpOffer& offer, const std::vector<LocalFormat>& formats,
                                  const std::vector<SdesCrypto>& crypto, sdp_media** media,
                                  int* err) {
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
  for (const LocalFormat& format : formats) {
    if (*err != 0) break;
    *err = sdp_format_add(nullptr, *media, false, format.id.c_str(), format.name, kClockRate, 1,
                          nullptr, nullptr, nullptr, false, format.params);
  }
  if (*err == 0) *err = sdp_media_set_lattr(*media, true, "ptime", "%d", kDefaultPacketMs);
  for (const SdesCrypto& key : crypto) {
    if (*err == 0) {
      *err = sdp_media_set_lattr(*media, false, "crypto", "%s", FormatSdesCrypto(key).c_str());
    }
  }
  return *err == 0 ? std::move(owned) : nullptr;
}

bool TakesEvents(SipDtmf dtmf) { return dtmf == SipDtmf::kAuto || dtmf == SipDtmf::kRfc4733; }

// Our offer's session: our codecs, telephone-event unless keys come otherwise, our keys.
ReObject<sdp_session> MakeOffer(const SdpOffer& offer, sdp_media** media, int* err,
                                std::string* text = nullptr) {
  std::vector<LocalFormat> formats;
  for (const SipCodec codec : offer.codecs) {
    formats.push_back({std::to_string(StaticPayload(codec)), CodecName(codec), nullptr});
  }
  if (TakesEvents(offer.dtmf)) {
    formats.push_back({std::to_string(kOfferedEventPayload), "telephone-event", "0-15"});
  }
  const std::vector<SdesCrypto> none;
  ReObject<sdp_session> session =
      MakeSession(offer, formats, offer.srtp != SipSrtp::kNo ? offer.crypto : none, media, err);
  if (!session) return nullptr;
  // libre reads an answer only to an offer it has written.
  mbuf* encoded = nullptr;
  *err = sdp_encode(&encoded, session.get(), true);
  const ReObject<mbuf> owned_text(encoded);
  if (*err != 0) return nullptr;
  if (text != nullptr) text->assign(reinterpret_cast<const char*>(encoded->buf), encoded->end);
  return session;
}

bool IsPayloadType(int pt) { return pt >= 0 && pt <= 127; }

// A format of the far end's m= line whose name is its payload type: "0", not "0x" (which libre
// reads as 0, but matches by name).
bool IsWellNamed(const sdp_format& format) {
  return IsPayloadType(format.pt) && format.id != nullptr &&
         std::string_view(format.id) == std::to_string(format.pt);
}

// A remote format is one of our codecs by its rtpmap name and rate, or, without an rtpmap,
// by its static payload type.
std::optional<SipCodec> CodecOf(const sdp_format& format, const std::vector<SipCodec>& offered) {
  if (!IsWellNamed(format)) return std::nullopt;
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

// A line of `text` from `at` to its line break (which it leaves out), and where the next
// begins.
std::string_view LineAt(std::string_view text, size_t at, size_t* next) {
  const size_t end = std::min(text.find('\n', at), text.size());
  *next = end + 1;
  std::string_view line = text.substr(at, end - at);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// The profile of the (first) audio stream of the far end's SDP, which libre does not keep:
// "RTP/AVP"...
std::string_view AudioProfile(std::string_view sdp) {
  for (size_t at = 0; at < sdp.size();) {
    std::string_view line = LineAt(sdp, at, &at);
    if (line.rfind("m=audio ", 0) != 0) continue;
    line.remove_prefix(8);
    line.remove_prefix(std::min(line.find(' '), line.size()));  // the port
    line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
    return line.substr(0, line.find(' '));
  }
  return {};
}

// What the far end's SDP makes of SRTP: no keys and no refusal (plain RTP), the keys of both
// directions (and, for a new offer, the tag of the line chosen), or a refusal.
struct SrtpOfSdp {
  std::optional<SrtpKeys> keys;
  uint32_t tag = 0;
  std::string refusal;
};

SrtpOfSdp RefusedSrtp(std::string why) { return {std::nullopt, 0, std::move(why)}; }

// Why SDP without a key is no use to the call, if it is not: the line requires SRTP, or the
// call is encrypted already and never goes back to plain RTP.
std::string WhyKeyNeeded(const SdpOffer& offer, CallEncryption so_far) {
  if (so_far == CallEncryption::kSrtp) {
    return "the call is encrypted (it never goes back to plain RTP)";
  }
  if (offer.srtp == SipSrtp::kRequired) return "the line requires SRTP (srtp = required)";
  return {};
}

SrtpOfSdp ReadSrtp(const SdpOffer& offer, const sdp_media* media, std::string_view answer,
                   CallEncryption so_far) {
  const std::vector<std::string> lines = CryptoLines(media);
  if (lines.empty()) {
    if (const std::string why = WhyKeyNeeded(offer, so_far); !why.empty()) {
      return RefusedSrtp("the answer takes no SRTP key, and " + why);
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
    return {SrtpKeys{ours.suite, ours.key, theirs->key}, theirs->tag, {}};
  }
  return RefusedSrtp("the answer's SRTP key is refused: it answers none of the keys offered (tag " +
                     std::to_string(theirs->tag) + ", " + SrtpSuiteName(theirs->suite) + ")");
}

// The key of a new offer that our answer takes, of all it lists: the suite the call uses if
// there is one, else the 80-bit tag suite, else the 32-bit one; of a suite, its first line.
// Lines the line cannot use (another suite, an MKI, several keys...) are passed over, as RFC
// 4568 lets an answerer do. Our key is the one our first offer has for that suite.
SrtpOfSdp ChooseSrtp(const SdpOffer& ours, const SipMedia& current, const sdp_media* media,
                     std::string_view offer) {
  // The keys of a best-effort offer are no concern of a line without SRTP (ReadSdpOffer has
  // refused RTP/SAVP).
  if (ours.srtp == SipSrtp::kNo) return {};
  const bool secure_profile = AudioProfile(offer) == kSecureProfile;
  const std::vector<std::string> lines = CryptoLines(media);
  std::vector<SdesCrypto> usable;
  std::string first_refusal;
  for (const std::string& line : lines) {
    std::string why;
    if (std::optional<SdesCrypto> key = ParseSdesCrypto(line, &why)) {
      usable.push_back(std::move(*key));
    } else if (first_refusal.empty()) {
      first_refusal = why;
    }
  }
  std::vector<SrtpSuite> preferred;
  if (current.srtp) preferred.push_back(current.srtp->suite);
  preferred.insert(preferred.end(),
                   {SrtpSuite::kAesCm128HmacSha1_80, SrtpSuite::kAesCm128HmacSha1_32});
  for (const SrtpSuite suite : preferred) {
    const auto theirs = std::find_if(usable.begin(), usable.end(),
                                     [&](const SdesCrypto& key) { return key.suite == suite; });
    const auto mine = std::find_if(ours.crypto.begin(), ours.crypto.end(),
                                   [&](const SdesCrypto& key) { return key.suite == suite; });
    if (theirs != usable.end() && mine != ours.crypto.end()) {
      return {SrtpKeys{suite, mine->key, theirs->key}, theirs->tag, {}};
    }
  }
  const std::string none =
      lines.empty() ? "the offer holds no SRTP key"
                    : "none of the offer's " + std::to_string(lines.size()) +
                          " SRTP keys is one the line takes (the first: " + first_refusal + ")";
  const CallEncryption so_far = current.srtp ? CallEncryption::kSrtp : CallEncryption::kNone;
  if (const std::string why = WhyKeyNeeded(ours, so_far); !why.empty()) {
    return RefusedSrtp(none + ", and " + why);
  }
  if (secure_profile) return RefusedSrtp(none + ", and it asks for SRTP (RTP/SAVP)");
  return {};
}

// Telephone-event's payload types: the one the far end's SDP names, and ours when that SDP
// uses it for nothing else.
void ReadEventPayloads(const SdpOffer& offer, const sdp_media* media, SipMedia* result) {
  if (!TakesEvents(offer.dtmf)) return;
  const sdp_format* event = sdp_media_rformat(media, "telephone-event");
  if (event == nullptr || !IsWellNamed(*event) || event->srate != kClockRate ||
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

// Whose SDP libre reads: an answer to our offer, or a new offer of the far end.
enum class Role { kAnswer, kOffer };

const char* Noun(Role role) { return role == Role::kAnswer ? "answer" : "offer"; }

// The far end's SDP decoded into `session` (made by MakeOffer); empty, or why it cannot be
// read.
std::string Decode(sdp_session* session, std::string_view text, Role role) {
  const std::string noun = Noun(role);
  if (text.empty()) return "the " + noun + " carries no SDP";
  const ReObject<mbuf> body(mbuf_alloc(text.size()));
  if (!body ||
      mbuf_write_mem(body.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size()) != 0) {
    return "the " + noun + " cannot be read: out of memory";
  }
  body->pos = 0;
  const int err = sdp_decode(session, body.get(), role == Role::kOffer);
  if (err != 0) return "the " + noun + "'s SDP cannot be read: error " + std::to_string(err);
  return {};
}

// The audio stream of the far end's SDP: where the sound goes, in which codec and packets, and
// how keys come; empty, or why the audio is not usable.
std::string ReadAudio(const SdpOffer& offer, const sdp_session* session, const sdp_media* media,
                      Role role, SipMedia* result) {
  const std::string the = std::string("the ") + Noun(role);
  const bool has_formats = list_head(sdp_media_format_lst(media, false)) != nullptr;
  if (sdp_media_rport(media) == 0) {
    return has_formats ? the + " refuses the audio stream (port 0)" : the + " has no audio stream";
  }
  const struct sa* address = sdp_media_raddr(media);
  if (address == nullptr || !sa_isset(address, SA_ALL) || address->len > sizeof(sockaddr_storage)) {
    return the + " names no address for the audio (0.0.0.0: on hold)";
  }
  std::memcpy(&result->remote.storage, &address->u, address->len);
  result->remote.length = address->len;
  if (result->remote.storage.ss_family != offer.local.storage.ss_family) {
    return the + "'s audio address " + result->remote.ToString() + " cannot be reached from " +
           offer.local.ToString();
  }
  if ((sdp_media_dir(media) & SDP_SENDONLY) == 0) {
    return the + " does not take our sound (" + sdp_dir_name(sdp_media_rdir(media)) + ")";
  }
  // The first of its formats that we offered.
  bool found = false;
  for (le* element = list_head(sdp_media_format_lst(media, false)); element != nullptr && !found;
       element = element->next) {
    const auto* format = static_cast<const sdp_format*>(element->data);
    if (const std::optional<SipCodec> codec = CodecOf(*format, offer.codecs)) {
      result->codec = *codec;
      result->payload = static_cast<uint8_t>(format->pt);
      found = true;
    }
  }
  if (!found) {
    return the +
           (role == Role::kAnswer ? " takes none of the codecs offered ("
                                  : " holds none of the line's codecs (") +
           OfferedNames(offer.codecs) + ")";
  }
  result->packet_ms = PacketMs(sdp_media_session_rattr(media, session, "ptime"));
  ReadEventPayloads(offer, media, result);
  result->keys = result->event_payload ? SipKeyPath::kRfc4733
                 : offer.dtmf == SipDtmf::kInfo || offer.dtmf == SipDtmf::kRfc4733
                     ? SipKeyPath::kInfo
                     : SipKeyPath::kInband;
  return {};
}

// Our answer to the far end's `offer`, which `media` reads: libre writes it from a session
// that holds only the codec chosen, telephone-event when it is taken and the one key chosen,
// so that it names exactly those (on the offer's payload types), in the offer's profile, with
// the direction that answers the offer's and its other streams refused.
bool AnswerText(const SdpOffer& ours, const SipMedia& media, std::optional<SdesCrypto> key,
                std::string_view offer, std::string* text, std::string* error) {
  std::vector<LocalFormat> formats = {
      {std::to_string(media.payload), CodecName(media.codec), nullptr}};
  if (media.event_payload) {
    formats.push_back({std::to_string(*media.event_payload), "telephone-event", "0-15"});
  }
  std::vector<SdesCrypto> crypto;
  if (key) crypto.push_back(std::move(*key));
  sdp_media* audio = nullptr;
  int err = 0;
  const ReObject<sdp_session> session = MakeSession(ours, formats, crypto, &audio, &err);
  std::string why =
      session ? Decode(session.get(), offer, Role::kOffer) : "error " + std::to_string(err);
  mbuf* encoded = nullptr;
  if (why.empty()) {
    // libre answers with the formats it matched: each of ours must be among them.
    for (le* element = list_head(sdp_media_format_lst(audio, true)); element != nullptr;
         element = element->next) {
      if (!static_cast<const sdp_format*>(element->data)->sup) why = "a format is not matched";
    }
  }
  if (why.empty()) {
    err = sdp_encode(&encoded, session.get(), false);
    if (err != 0) why = "error " + std::to_string(err);
  }
  const ReObject<mbuf> owned(encoded);
  if (!why.empty()) {
    *error = "our answer cannot be made: " + why;
    return false;
  }
  text->assign(reinterpret_cast<const char*>(encoded->buf), encoded->end);
  return true;
}

// Where the origin line of an SDP body starts, or npos.
size_t OriginAt(std::string_view body) {
  if (body.starts_with("o=")) return 0;
  const size_t at = body.find("\no=");
  return at == std::string_view::npos ? at : at + 1;
}

}  // namespace

bool OfferText(const SdpOffer& offer, std::string* text, std::string* error) {
  sdp_media* media = nullptr;
  int err = 0;
  if (MakeOffer(offer, &media, &err, text)) return true;
  *error = "the SDP offer cannot be made: error " + std::to_string(err);
  return false;
}

SdpAnswer ReadSdpAnswer(const SdpOffer& offer, std::string_view answer, CallEncryption so_far) {
  sdp_media* media = nullptr;
  int err = 0;
  const ReObject<sdp_session> session = MakeOffer(offer, &media, &err);
  if (!session) return Refused("the answer cannot be read: error " + std::to_string(err));
  if (std::string why = Decode(session.get(), answer, Role::kAnswer); !why.empty()) {
    return Refused(std::move(why));
  }
  SipMedia result;
  if (std::string why = ReadAudio(offer, session.get(), media, Role::kAnswer, &result);
      !why.empty()) {
    return Refused(std::move(why));
  }
  SrtpOfSdp srtp = ReadSrtp(offer, media, answer, so_far);
  if (!srtp.refusal.empty()) return Refused(std::move(srtp.refusal));
  result.srtp = std::move(srtp.keys);
  return {result, {}};
}

SdpOfferTaken ReadSdpOffer(const SdpOffer& ours, const SipMedia& current, std::string_view offer) {
  const auto refused = [](std::string why) {
    return SdpOfferTaken{std::nullopt, {}, std::move(why)};
  };
  sdp_media* media = nullptr;
  int err = 0;
  const ReObject<sdp_session> session = MakeOffer(ours, &media, &err);
  if (!session) return refused("the offer cannot be read: error " + std::to_string(err));
  if (std::string why = Decode(session.get(), offer, Role::kOffer); !why.empty()) {
    return refused(std::move(why));
  }
  if (ours.srtp == SipSrtp::kNo && AudioProfile(offer) == kSecureProfile) {
    // libre refuses the stream (port 0): said plainly.
    return refused("the offer asks for SRTP (RTP/SAVP), which the line does not use (srtp = no)");
  }
  SipMedia result;
  if (std::string why = ReadAudio(ours, session.get(), media, Role::kOffer, &result);
      !why.empty()) {
    return refused(std::move(why));
  }
  SrtpOfSdp srtp = ChooseSrtp(ours, current, media, offer);
  if (!srtp.refusal.empty()) return refused(std::move(srtp.refusal));
  std::optional<SdesCrypto> key;
  if (srtp.keys) key = SdesCrypto{srtp.tag, srtp.keys->suite, srtp.keys->send};
  result.srtp = std::move(srtp.keys);
  SdpOfferTaken taken{result, {}, {}};
  if (!AnswerText(ours, result, std::move(key), offer, &taken.answer, &taken.refusal)) {
    return refused(std::move(taken.refusal));
  }
  return taken;
}

SdpVersions::SdpVersions(std::string_view first) {
  const size_t at = OriginAt(first);
  if (at == std::string_view::npos) return;
  size_t next = 0;
  const std::string_view origin = LineAt(first, at, &next);
  // "o=" username, session id, version, then network type, address type and address.
  size_t end = 0;
  for (int field = 0; field < 2 && end != std::string_view::npos; ++field) {
    end = origin.find(' ', end + (field == 0 ? 0 : 1));
  }
  if (end == std::string_view::npos) return;
  const size_t version_end = origin.find(' ', end + 1);
  const std::string_view version = origin.substr(end + 1, version_end - end - 1);
  if (std::from_chars(version.data(), version.data() + version.size(), version_).ec !=
      std::errc()) {
    return;
  }
  prefix_ = origin.substr(0, end + 1);
  suffix_ = version_end == std::string_view::npos ? "" : origin.substr(version_end);
  last_ =
      std::string(first.substr(0, at)) + std::string(first.substr(std::min(next, first.size())));
}

std::string SdpVersions::Stamp(std::string_view body) {
  const size_t at = OriginAt(body);
  if (at == std::string_view::npos || prefix_.empty()) return std::string(body);
  size_t next = 0;
  LineAt(body, at, &next);
  const std::string_view before = body.substr(0, at);
  const std::string_view after = body.substr(std::min(next, body.size()));
  std::string unstamped = std::string(before) + std::string(after);
  if (unstamped != last_) {
    ++version_;
    last_ = std::move(unstamped);
  }
  return std::string(before) + prefix_ + std::to_string(version_) + suffix_ + "\r\n" +
         std::string(after);
}

}  // namespace telvane::linesvc
