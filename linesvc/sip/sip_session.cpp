// One SIP call over libre. Everything below the Link runs on the libre thread.
#include "linesvc/sip/sip_session.h"

#include <sys/socket.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sdp_answer.h"
#include "linesvc/sip/sip_call_leg.h"
#include "linesvc/sip/sip_registration.h"
#include "linesvc/sip/sip_tls.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

// The way back from the libre thread: reports go to the loop as tasks, and are dropped once
// the session is gone (its destructor clears both pointers, on the loop thread).
struct SipSession::Link : std::enable_shared_from_this<Link> {
  std::mutex mutex;
  platform::MessageLoop* loop = nullptr;   // under mutex
  SipSessionObserver* observer = nullptr;  // loop thread only

  void Report(std::function<void(SipSessionObserver&)> report) {
    std::lock_guard<std::mutex> lock(mutex);
    if (loop == nullptr) return;
    loop->PostTask([self = shared_from_this(), report = std::move(report)] {
      if (self->observer != nullptr) report(*self->observer);
    });
  }
};

namespace {

// What of libre's reports about itself one call logs at most: a peer spraying garbage at the
// SIP port would fill the event log otherwise.
constexpr int kMostLibraryReports = 20;

enum sip_transp TransportOf(SipTransport transport) {
  switch (transport) {
    case SipTransport::kTcp:
      return SIP_TRANSP_TCP;
    case SipTransport::kTls:
      return SIP_TRANSP_TLS;
    case SipTransport::kUdp:
      break;
  }
  return SIP_TRANSP_UDP;
}

std::string Errno(int err) {
  char text[128] = {};
  return std::to_string(err) + " (" + std::string(str_error(err, text, sizeof text)) + ")";
}

// A response's reason phrase and its Warning headers (RFC 3261 20.43), as written.
std::string ReasonOf(const struct sip_msg& response) {
  std::string reason(response.reason.p, response.reason.l);
  sip_msg_hdr_apply(
      &response, true, SIP_HDR_WARNING,
      [](const struct sip_hdr* header, const struct sip_msg*, void* arg) {
        *static_cast<std::string*>(arg) +=
            "; Warning: " + std::string(header->val.p, header->val.l);
        return false;  // every one
      },
      &reason);
  return reason;
}

}  // namespace

// The libre side of one call. Made on the loop thread, used and destroyed on the libre thread;
// it keeps itself alive while it hangs up, until its SIP stack has closed.
class SipSession::Core : public std::enable_shared_from_this<SipSession::Core> {
 public:
  Core(SipCallPlan plan, std::shared_ptr<Link> link, ReThread& re)
      : plan_(std::move(plan)), link_(std::move(link)), re_(re) {
    tmr_init(&response_timer_);
    tmr_init(&ring_timer_);
    tmr_init(&close_timer_);
  }

  ~Core() {
    re_.RemoveCloser(this);
    re_.RemoveDiagnosticsListener(this);
    phase_ = Phase::kClosed;
    FreeAll();
  }

  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  void Start();
  void Hangup();
  void Abandon();

 private:
  enum class Phase { kIdle, kRegistering, kInviting, kAnswered, kEnded, kClosing, kClosed };

  void Log(std::string text) {
    link_->Report([text = std::move(text)](SipSessionObserver& o) { o.OnSipEvent(text); });
  }
  void Report(std::function<void(SipSessionObserver&)> report) { link_->Report(std::move(report)); }

  bool MakeStack(std::string* error);
  bool MakeMedia(std::string* error);
  void Register();
  void Invite();
  void Unregister();
  void End(const SipEnd& end);
  void Fail(SipEnd::Cause cause, const std::string& why) {
    Log(why);
    End(SipEnd{cause, 0, rang_});
  }
  SipEnd EndOfClose(int err, const struct sip_msg* msg) const;
  void Closed();
  void ForceClose();
  void FreeAll();

  // libre's callbacks.
  static void OnTrace(bool tx, enum sip_transp, const struct sa*, const struct sa*,
                      const uint8_t* pkt, size_t len, void* arg);
  static void OnRegistered(int err, const struct sip_msg* msg, void* arg);
  static void OnProgress(const struct sip_msg* msg, void* arg);
  static void OnEstablished(const struct sip_msg* msg, void* arg);
  static void OnInfo(struct sip* sip, const struct sip_msg* msg, void* arg);
  static void OnClose(int err, const struct sip_msg* msg, void* arg);

  SipCallPlan plan_;
  std::shared_ptr<Link> link_;
  ReThread& re_;
  std::shared_ptr<Core> self_;  // while hanging up after the session has gone
  Phase phase_ = Phase::kIdle;
  bool rang_ = false;
  bool proceeding_ = false;
  bool answered_by_peer_ = false;  // any response at all came

  SocketAddress local_address_;
  struct sa local_ {};
  struct dnsc* dns_ = nullptr;
  std::unique_ptr<SipTls> tls_;
  struct sip* sip_ = nullptr;
  std::unique_ptr<SipCallLeg> leg_;
  std::unique_ptr<SipRegistration> registration_;
  SdpOffer offer_;
  std::string offer_body_;
  std::unique_ptr<RtpSocket> rtp_;  // until the answer hands it to the driver
  struct tmr response_timer_ {};
  struct tmr ring_timer_ {};
  struct tmr close_timer_ {};
};

void SipSession::Core::FreeAll() {
  tmr_cancel(&response_timer_);
  tmr_cancel(&ring_timer_);
  tmr_cancel(&close_timer_);
  leg_.reset();
  registration_.reset();
  if (sip_ != nullptr) sip_close(sip_, true);
  sip_ = static_cast<struct sip*>(mem_deref(sip_));
  rtp_.reset();
  tls_.reset();
  dns_ = static_cast<struct dnsc*>(mem_deref(dns_));
}

bool SipSession::Core::MakeStack(std::string* error) {
  const SipSettings& s = plan_.settings;
  const std::string target_host =
      s.outbound ? s.outbound->host : ParseSipUri(plan_.request_uri).value_or(s.account).host;
  const std::optional<SocketAddress> local = LocalAddressFor(target_host);
  if (!local) {
    *error = "no network address of ours reaches " + target_host;
    return false;
  }
  local_address_ = *local;
  sa_set_sa(&local_, reinterpret_cast<const sockaddr*>(&local_address_.storage));
  sa servers[4];
  uint32_t server_count = 4;
  char domain[64] = {};
  int err = dns_srv_get(domain, sizeof domain, servers, &server_count);
  if (err == 0) err = dnsc_alloc(&dns_, nullptr, servers, server_count);
  if (err != 0) {
    // Addresses need no name server; a name fails clearly when the request is sent.
    dns_ = nullptr;
  }
  // No exit handler: hanging up waits for the call's own transactions instead. The argument is
  // the trace handler's.
  err = sip_alloc(&sip_, dns_, 16, 16, 16, "Telvane", nullptr, this);
  if (err != 0) {
    *error = "the SIP stack cannot start: error " + Errno(err);
    return false;
  }
  sip_set_trace_handler(sip_, OnTrace);
  if (tls_) {
    err = sip_transp_add(sip_, SIP_TRANSP_TLS, &local_, tls_->Context());
  } else {
    err = sip_transp_add(sip_, TransportOf(s.transport), &local_);
  }
  if (err != 0) {
    *error = "no SIP transport on " + local_address_.ToString() + ": error " + Errno(err);
    return false;
  }
  leg_ = std::make_unique<SipCallLeg>(
      sip_, s, plan_.password, tls_.get(),
      SipCallLegHandlers{OnProgress, OnEstablished, OnInfo, OnClose, this},
      [this](const std::string& text) { Log(text); });
  return true;
}

bool SipSession::Core::MakeMedia(std::string* error) {
  const SipSettings& s = plan_.settings;
  rtp_ = RtpSocket::Bind(local_address_, s.rtp_port_low, s.rtp_port_high, error);
  if (!rtp_) return false;
  offer_ = {local_address_.WithPort(rtp_->Port()), s.codecs, s.dtmf, s.srtp, {}};
  if (s.srtp != SipSrtp::kNo) {
    if (!NewSdesCrypto(&offer_.crypto, error)) return false;
    if (s.transport != SipTransport::kTls) {
      Log("warning: the SRTP keys go in the SDP without TLS (transport = " +
          std::string(s.transport == SipTransport::kTcp ? "tcp" : "udp") +
          "): whoever sees the signalling can decrypt the sound");
    }
  }
  return OfferText(offer_, &offer_body_, error);
}

void SipSession::Core::Start() {
  std::weak_ptr<Core> weak = weak_from_this();
  re_.AddCloser(this, [weak] {
    if (std::shared_ptr<Core> core = weak.lock()) core->ForceClose();
  });
  re_.AddDiagnosticsListener(this, [this, reports = 0](const std::string& text) mutable {
    if (++reports <= kMostLibraryReports) Log(text);
    if (reports == kMostLibraryReports) Log("further reports of the SIP library are left out");
  });
  std::string error;
  if (plan_.settings.transport == SipTransport::kTls) {
    tls_ = SipTls::Create(
        plan_.settings, [this](const std::string& text) { Log(text); }, &error);
    if (!tls_) return Fail(SipEnd::Cause::kLocalFailure, error);
  }
  if (!MakeStack(&error)) return Fail(SipEnd::Cause::kNetwork, error);
  if (!MakeMedia(&error)) return Fail(SipEnd::Cause::kLocalFailure, error);
  if (plan_.settings.registration == SipRegister::kYes) return Register();
  Invite();
}

void SipSession::Core::Register() {
  phase_ = Phase::kRegistering;
  registration_ = std::make_unique<SipRegistration>(
      sip_, plan_.settings, plan_.password, tls_.get(), SipRegistrationHandler{OnRegistered, this},
      [this](const std::string& text) { Log(text); });
  const int err = registration_->Register();
  if (err != 0) return Fail(SipEnd::Cause::kNetwork, "REGISTER cannot be sent: " + Errno(err));
  tmr_start(
      &response_timer_, static_cast<uint64_t>(plan_.no_response_ms),
      [](void* arg) {
        static_cast<Core*>(arg)->Fail(SipEnd::Cause::kNoResponse,
                                      "no response to REGISTER in time");
      },
      this);
}

void SipSession::Core::Invite() {
  const SipSettings& s = plan_.settings;
  phase_ = Phase::kInviting;
  std::string target = plan_.request_uri;
  if (!s.outbound && s.transport != SipTransport::kUdp &&
      target.find(";transport=") == std::string::npos) {
    target += SipTransportParam(s.transport);
  }
  SipInvite invite;
  invite.target = target;
  invite.from = s.account.ToString();
  invite.contact_user = s.account.user;
  if (s.outbound) invite.route = s.outbound->ToString() + SipTransportParam(s.transport);
  invite.sdp = offer_body_;
  invite.headers = "Allow: INVITE, ACK, BYE, CANCEL, INFO\r\n";
  const int err = leg_->Invite(std::move(invite));
  if (err != 0) return Fail(SipEnd::Cause::kNetwork, "INVITE cannot be sent: " + Errno(err));
  tmr_start(
      &response_timer_, static_cast<uint64_t>(plan_.no_response_ms),
      [](void* arg) {
        static_cast<Core*>(arg)->Fail(SipEnd::Cause::kNoResponse, "no response to INVITE in time");
      },
      this);
}

void SipSession::Core::End(const SipEnd& end) {
  if (phase_ == Phase::kEnded || phase_ == Phase::kClosing || phase_ == Phase::kClosed) return;
  phase_ = Phase::kEnded;
  tmr_cancel(&response_timer_);
  tmr_cancel(&ring_timer_);
  // CANCEL before the answer, BYE after it; after a final response or the remote BYE there is
  // nothing left to send.
  if (leg_) leg_->Terminate();
  rtp_.reset();
  Log("call ends: " + Describe(end));
  Report([end](SipSessionObserver& o) { o.OnSipEnded(end); });
}

void SipSession::Core::Hangup() {
  if (phase_ == Phase::kClosing || phase_ == Phase::kClosed) return;
  if (phase_ != Phase::kEnded) End(SipEnd{SipEnd::Cause::kLocalHangup, 0, rang_});
  phase_ = Phase::kClosing;
  if (sip_ == nullptr) return Closed();
  if (!answered_by_peer_) {
    // Nothing ever answered: there is no one to send CANCEL to (it may not precede a response)
    // and nothing to wait for but the INVITE's own time-out.
    Log("nothing to wait for: no response came");
    sip_close(sip_, true);
    return Closed();
  }
  tmr_start(
      &close_timer_, static_cast<uint64_t>(plan_.hangup_wait_ms),
      [](void* arg) {
        auto* core = static_cast<Core*>(arg);
        core->Log("hang-up not confirmed in time: transactions cut off");
        sip_close(core->sip_, true);
        core->Closed();
      },
      this);
  // The call's own transaction (CANCEL or BYE) first, then the removal of the registration:
  // one peer at a time, so a TLS connection opened meanwhile is checked for the right name.
  if (leg_) return leg_->WhenDone([this] { Unregister(); });
  Unregister();
}

void SipSession::Core::Unregister() {
  if (phase_ == Phase::kClosed) return;  // cut off in the meantime
  if (!registration_) return Closed();
  registration_->Unregister([this] { Closed(); });
}

void SipSession::Core::Abandon() {
  if (phase_ == Phase::kClosed) return;
  self_ = shared_from_this();
  Hangup();
}

void SipSession::Core::Closed() {
  if (phase_ == Phase::kClosed) return;
  phase_ = Phase::kClosed;
  tmr_cancel(&close_timer_);
  Report([](SipSessionObserver& o) { o.OnSipClosed(); });
  // Not from inside libre's exit handler: free on the next turn of its loop.
  if (self_) {
    re_.Post([self = std::move(self_)] {});
  }
}

// The libre thread stops: whatever is still open is cut off now.
void SipSession::Core::ForceClose() {
  if (phase_ == Phase::kClosing) Report([](SipSessionObserver& o) { o.OnSipClosed(); });
  phase_ = Phase::kClosed;
  FreeAll();
  self_.reset();
}

SipEnd SipSession::Core::EndOfClose(int err, const struct sip_msg* msg) const {
  SipEnd end;
  end.rang = rang_;
  if ((msg != nullptr && msg->req) || err == ECONNRESET) {
    end.cause = SipEnd::Cause::kRemoteBye;  // libre reports the far end's BYE as a reset
  } else if (err == EACCES) {
    end.cause = SipEnd::Cause::kAuthentication;
  } else if (err == ETIMEDOUT) {
    end.cause = SipEnd::Cause::kNoResponse;
  } else if (err != 0) {
    end.cause = SipEnd::Cause::kNetwork;
  } else if (msg != nullptr && !msg->req && msg->scode >= 300) {
    end.cause = SipEnd::Cause::kResponse;
    end.status = msg->scode;
    end.reason = ReasonOf(*msg);
  } else {
    end.cause = SipEnd::Cause::kRemoteBye;
  }
  return end;
}

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
// decides where the sound goes.
void SipSession::Core::OnEstablished(const struct sip_msg* msg, void* arg) {
  auto* core = static_cast<Core*>(arg);
  if (core->phase_ != Phase::kInviting) return;
  tmr_cancel(&core->response_timer_);
  tmr_cancel(&core->ring_timer_);
  const bool sdp = msg_ctype_cmp(&msg->ctyp, "application", "sdp");
  const SdpAnswer answer = ReadSdpAnswer(
      core->offer_, sdp ? std::string_view(reinterpret_cast<const char*>(mbuf_buf(msg->mb)),
                                           mbuf_get_left(msg->mb))
                        : std::string_view());
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
  core->Log(std::string("answered: codec ") + CodecName(media->codec) + " in " +
            std::to_string(media->packet_ms) + " ms packets, " +
            (media->srtp ? std::string("SRTP ") + SrtpSuiteName(media->srtp->suite)
                         : std::string("unencrypted")) +
            ", keys by " + KeyPathName(media->keys) + ", RTP port " +
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
  core->Log(std::string("remote side presses ") + *key + " (SIP INFO)");
  core->Report([k = *key](SipSessionObserver& o) { o.OnSipDigit(k); });
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

// --- The session, on the loop thread -----------------------------------------------------------

SipSession::SipSession(platform::MessageLoop& loop, SipSessionObserver& observer, SipCallPlan plan,
                       std::shared_ptr<ReThread> re_thread)
    : re_thread_(std::move(re_thread)), link_(std::make_shared<Link>()) {
  link_->loop = &loop;
  link_->observer = &observer;
  core_ = std::make_shared<Core>(std::move(plan), link_, *re_thread_);
}

SipSession::~SipSession() {
  {
    std::lock_guard<std::mutex> lock(link_->mutex);
    link_->loop = nullptr;
  }
  link_->observer = nullptr;
  re_thread_->Post([core = std::move(core_)] { core->Abandon(); });
}

void SipSession::Start() {
  re_thread_->Post([core = core_] { core->Start(); });
}

void SipSession::Hangup() {
  if (hung_up_) return;
  hung_up_ = true;
  re_thread_->Post([core = core_] { core->Hangup(); });
}

}  // namespace telvane::linesvc
