// What libre reports about one SIP call: its registration, the answer, mid-call offers, INFO
// keys, the end. Everything here runs on the libre thread.
#include <algorithm>
#include <cerrno>

#include "linesvc/sip/sip_session_core.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

namespace {

// Whether a new SDP of the far end keeps the media as they are.
bool SameMedia(const SipMedia& a, const SipMedia& b) {
  const auto same_keys = [](const SrtpKeys& x, const SrtpKeys& y) {
    return x.suite == y.suite && std::ranges::equal(x.send.Bytes(), y.send.Bytes()) &&
           std::ranges::equal(x.receive.Bytes(), y.receive.Bytes());
  };
  return a.remote == b.remote && a.codec == b.codec && a.payload == b.payload &&
         a.event_payload == b.event_payload && a.offered_event_payload == b.offered_event_payload &&
         a.keys == b.keys && a.packet_ms == b.packet_ms &&
         a.srtp.has_value() == b.srtp.has_value() && (!a.srtp || same_keys(*a.srtp, *b.srtp));
}

// The codec, packets, encryption and keys of media, for the event log (never a key).
std::string MediaSummary(const SipMedia& media) {
  return std::string("codec ") + CodecName(media.codec) + " in " + std::to_string(media.packet_ms) +
         " ms packets, " +
         (media.srtp ? std::string("SRTP ") + SrtpSuiteName(media.srtp->suite)
                     : std::string("unencrypted")) +
         ", keys by " + KeyPathName(media.keys);
}

}  // namespace

using internal::Errno;

// --- libre's callbacks ------------------------------------------------------------------------

void SipSession::Core::OnTrace(bool tx, enum sip_transp, const struct sa*, const struct sa*,
                               const uint8_t* pkt, size_t len, void* arg) {
  auto* core = static_cast<Core*>(arg);
  const std::string_view packet(reinterpret_cast<const char*>(pkt), len);
  if (packet.find_first_not_of("\r\n") == std::string_view::npos) return;  // keep-alive
  if (!tx && packet.rfind("SIP/2.0 ", 0) == 0) core->answered_by_peer_ = true;
  core->Log(std::string(tx ? "sent " : "received ") + SipMessageSummary(packet));
}

void SipSession::Core::OnRegistered(int err, const struct sip_msg* msg, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kRegistering) return;  // a refresh, or after the end
  tmr_cancel(&core->response_timer_);
  if (err != 0 || msg == nullptr || msg->scode >= 300) {
    SipEnd end = core->EndOfClose(err, msg);
    if (end.cause == SipEnd::Cause::kResponse && (end.status == 401 || end.status == 407)) {
      end.cause = SipEnd::Cause::kAuthentication;
    }
    core->Log("registration failed");
    return core->End(end);
  }
  if (msg->scode < 200) return;
  core->Log("registered");
  core->Invite();
}

void SipSession::Core::OnProgress(const struct sip_msg* msg, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kInviting) return;
  core->nat_.TakeResponse(*msg);
  tmr_cancel(&core->response_timer_);
  if (!tmr_isrunning(&core->ring_timer_)) {
    tmr_start(
        &core->ring_timer_, static_cast<uint64_t>(core->plan_.settings.ring_timeout_s) * 1000,
        [](void* a) {
          static_cast<Core*>(a)->End({SipEnd::Cause::kRingTimeout, 0, true});
        },
        core);
  }
  if (msg->scode == 180 || msg->scode == 183) {
    if (msg->scode == 183 && mbuf_get_left(msg->mb) > 0) core->Log("early media offered");
    if (!core->rang_) {
      core->rang_ = true;
      core->Report([](SipSessionObserver& o) { o.OnSipRinging(); });
    }
  } else if (!core->proceeding_ && !core->rang_) {
    core->proceeding_ = true;
    core->Report([](SipSessionObserver& o) { o.OnSipProceeding(); });
  }
}

// The answer is read from the 2xx alone: the SDP of a provisional response (early media) never
// decides where the sound goes. (The leg hands over a reliable one's of the same dialog when
// the 2xx has none: by RFC 3262 that was the answer, and the call is answered only now.)
void SipSession::Core::OnEstablished(const struct sip_msg* msg, std::string_view sdp, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kInviting) return;
  if (msg != nullptr) core->nat_.TakeResponse(*msg);
  tmr_cancel(&core->response_timer_);
  tmr_cancel(&core->ring_timer_);
  const SdpAnswer answer = ReadSdpAnswer(core->offer_, sdp);
  const std::optional<SipMedia>& media = answer.media;
  if (!media) {
    // Not an answer: nobody could hear the call. The session goes, which sends the BYE.
    core->Log(answer.refusal);
    return core->End({SipEnd::Cause::kNoUsableAudio, 0, core->rang_});
  }
  // What reached the socket before the answer came from anyone but the callee.
  if (const size_t dropped = core->rtp_->DropQueued()) {
    core->Log(std::to_string(dropped) + " RTP packets that came before the answer dropped");
  }
  core->phase_ = Phase::kAnswered;
  core->media_ = *media;
  core->Log("answered: " + MediaSummary(*media) + ", RTP port " +
            std::to_string(core->rtp_->Port()) + " -> " + media->remote.ToString());
  auto socket = std::make_shared<std::unique_ptr<RtpSocket>>(std::move(core->rtp_));
  core->Report([media = *media, socket](SipSessionObserver& o) {
    o.OnSipAnswered(media, std::move(*socket));
  });
}

void SipSession::Core::OnInfo(struct sip* sip, const struct sip_msg* msg, void* arg) {
  auto* core = static_cast<Core*>(arg);
  const std::string type(msg->ctyp.type.p, msg->ctyp.type.l);
  const std::string subtype(msg->ctyp.subtype.p, msg->ctyp.subtype.l);
  const std::string_view body(reinterpret_cast<const char*>(mbuf_buf(msg->mb)),
                              mbuf_get_left(msg->mb));
  const std::optional<char> key = InfoDigit(type + "/" + subtype, body);
  if (!key) {
    sip_reply(sip, msg, 415, "Unsupported Media Type");
    return;
  }
  sip_reply(sip, msg, 200, "OK");
  if (core->phase_ != Phase::kAnswered) return;
  core->Report([k = *key](SipSessionObserver& o) { o.OnSipDigit(k); });
}

// A new offer of the far end: the same media go on; moved ones are followed, with the same
// checks as the answer's (only their address, one source there). Our answer names one key.
std::optional<std::string> SipSession::Core::OnMidCallOffer(std::string_view sdp, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kAnswered || !core->media_) return std::nullopt;
  const SdpOfferTaken taken = ReadSdpOffer(core->offer_, *core->media_, sdp);
  if (!taken.media) {
    core->Log("new SDP of the far end not taken, the media stay as they were: " + taken.refusal);
    return std::nullopt;
  }
  core->Follow(*taken.media);
  return core->versions_.Stamp(taken.answer);
}

// A re-INVITE without an offer gets the offer of our INVITE again: every codec and key.
std::string SipSession::Core::OnOfferWanted(void* arg) {
  auto* core = static_cast<Core*>(arg);
  return core->versions_.Stamp(core->offer_body_);
}

// The answer to that offer is read as the first answer was, and, like the first, ends the call
// when it is of no use: the far end sends as it answered, which the call cannot take.
void SipSession::Core::OnMidCallAnswer(std::string_view sdp, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kAnswered || !core->media_) return;
  const SdpAnswer answer = ReadSdpAnswer(
      core->offer_, sdp, core->media_->srtp ? CallEncryption::kSrtp : CallEncryption::kNone);
  if (!answer.media) {
    core->Log(answer.refusal);
    return core->End({SipEnd::Cause::kNoUsableAudio, 0, core->rang_});
  }
  core->Follow(*answer.media);
}

void SipSession::Core::Follow(const SipMedia& media) {
  if (SameMedia(media, *media_)) return;
  media_ = media;
  Log("the media move: " + MediaSummary(media) + ", RTP -> " + media.remote.ToString());
  Report([media](SipSessionObserver& o) { o.OnSipMediaMoved(media); });
}

void SipSession::Core::OnSessionLost(void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kAnswered) return;
  core->End({SipEnd::Cause::kSessionLost, 0, core->rang_});
}

void SipSession::Core::OnClose(int err, const struct sip_msg* msg, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kInviting && core->phase_ != Phase::kAnswered) return;
  const SipEnd end = core->EndOfClose(err, msg);
  if (err != 0 && end.cause != SipEnd::Cause::kRemoteBye) {
    core->Log("the call failed: " + Errno(err));
  }
  core->End(end);
}

}  // namespace telvane::linesvc
