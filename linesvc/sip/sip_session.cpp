// One SIP call over libre. Everything the Core does runs on the libre thread.
#include "linesvc/sip/sip_session.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sdp_answer.h"
#include "linesvc/sip/sip_call_leg.h"
#include "linesvc/sip/sip_nat.h"
#include "linesvc/sip/sip_registration.h"
#include "linesvc/sip/sip_resolver.h"
#include "linesvc/sip/sip_tls.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

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

uint16_t PortNumber(const SocketAddress& address) {
  return ntohs(address.storage.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6&>(address.storage).sin6_port
                   : reinterpret_cast<const sockaddr_in&>(address.storage).sin_port);
}

bool IsAddress(const std::string& host) { return SocketAddress::Parse(host, 0).has_value(); }

// The host of an address as a URI writes it: "192.0.2.1", "[2001:db8::1]".
std::string HostOf(const SocketAddress& address) {
  const std::string text = address.ToString();
  return text.substr(0, text.rfind(':'));
}

// The Route that takes every request of the call to its next hop. An outbound proxy is one
// always; so is the address found for a host name, because libre's own DNS client would look
// the name up again and knows neither /etc/hosts nor SRV. A numeric host needs none.
std::string RouteTo(const SipUri& hop, const SocketAddress& address, bool outbound,
                    SipTransport transport) {
  if (!outbound && IsAddress(hop.host)) return "";
  const std::string host_port = IsAddress(hop.host) ? hop.HostPort() : address.ToString();
  const std::string route = "sip:" + host_port + hop.params + SipTransportParam(transport);
  return (route + ";").find(";lr;") == std::string::npos ? route + ";lr" : route;
}

// The names a call must look up before its first request; each answer has the address, or
// why there is none.
struct NameQueries {
  SipUri invite_hop;
  std::optional<SipUri> registrar_hop;
  std::optional<SipUri> stun_server;
};
struct NameAnswer {
  std::optional<SocketAddress> address;
  std::string how;
};
struct NameAnswers {
  NameAnswer invite_hop;
  std::optional<NameAnswer> registrar_hop;
  std::optional<NameAnswer> stun_server;
};

bool AllAddresses(const NameQueries& queries) {
  return IsAddress(queries.invite_hop.host) &&
         (!queries.registrar_hop || IsAddress(queries.registrar_hop->host)) &&
         (!queries.stun_server || IsAddress(queries.stun_server->host));
}

// Blocks while the system's resolver works, for a host name.
NameAnswers LookUp(const NameQueries& queries, SipTransport transport) {
  SystemNames names;
  const auto answer = [&](const SipUri& hop, SipTransport t) {
    NameAnswer a;
    a.address = ResolveNextHop(hop, t, names, &a.how);
    return a;
  };
  NameAnswers answers;
  answers.invite_hop = answer(queries.invite_hop, transport);
  if (queries.registrar_hop) answers.registrar_hop = answer(*queries.registrar_hop, transport);
  if (queries.stun_server) answers.stun_server = answer(*queries.stun_server, SipTransport::kUdp);
  return answers;
}

}  // namespace

// The libre side of one call. Made on the loop thread, used and destroyed on the libre thread;
// it keeps itself alive while it hangs up, until its SIP stack has closed.
class SipSession::Core : public std::enable_shared_from_this<SipSession::Core> {
 public:
  // Reports go to `observer` through `reports`, and are dropped once the session is gone.
  Core(SipCallPlan plan, platform::TaskGroup::Sender reports, SipSessionObserver& observer,
       ReThread& re)
      : plan_(std::move(plan)), reports_(std::move(reports)), observer_(observer), re_(re) {
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
  enum class Phase {
    kIdle,
    kPreparing,  // names looked up, STUN asked
    kRegistering,
    kInviting,
    kAnswered,
    kEnded,
    kClosing,
    kClosed
  };

  void Log(std::string text) {
    Report([text = std::move(text)](SipSessionObserver& o) { o.OnSipEvent(text); });
  }
  void Report(std::function<void(SipSessionObserver&)> report) {
    reports_.Post([&observer = observer_, report = std::move(report)] { report(observer); });
  }

  NameQueries Queries() const;
  void Resolved(const NameAnswers& answers);
  void AskStun(const SocketAddress& server);
  void Probed(const std::vector<std::optional<SocketAddress>>& mapped);
  void Proceed();
  bool MakeStack(std::string* error);
  bool MakeMedia(std::string* error);
  bool MakeOffer(std::string* error);
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
  static void OnEstablished(const struct sip_msg* msg, std::string_view sdp, void* arg);
  static void OnInfo(struct sip* sip, const struct sip_msg* msg, void* arg);
  static std::optional<std::string> OnMidCallOffer(std::string_view sdp, void* arg);
  static std::string OnOfferWanted(void* arg);
  static void OnMidCallAnswer(std::string_view sdp, void* arg);
  // The far end's SDP moves the media to `media` (unless they are the same).
  void Follow(const SipMedia& media);
  static void OnSessionLost(void* arg);
  static void OnClose(int err, const struct sip_msg* msg, void* arg);

  SipCallPlan plan_;
  const platform::TaskGroup::Sender reports_;
  SipSessionObserver& observer_;  // loop thread only, while the session lives
  ReThread& re_;
  std::shared_ptr<Core> self_;  // while hanging up after the session has gone
  Phase phase_ = Phase::kIdle;
  bool rang_ = false;
  bool proceeding_ = false;
  bool answered_by_peer_ = false;  // any response at all came

  SocketAddress local_address_;
  struct sa local_ {};
  SipNat nat_{[this](const std::string& text) { Log(text); }};
  std::string invite_route_;     // Route of the INVITE, or empty
  std::string registrar_route_;  // of the REGISTER
  std::unique_ptr<StunProbe> stun_;
  int sip_probe_fd_ = -1;  // the SIP socket's port while STUN is asked about it (UDP)
  uint16_t sip_port_ = 0;  // 0: any
  std::optional<SocketAddress> rtp_mapped_;  // the RTP socket as STUN sees it
  struct dnsc* dns_ = nullptr;
  std::unique_ptr<SipTls> tls_;
  struct sip* sip_ = nullptr;
  std::unique_ptr<SipCallLeg> leg_;
  std::unique_ptr<SipRegistration> registration_;
  SdpOffer offer_;
  std::string offer_body_;
  SdpVersions versions_;            // of every body we send after the INVITE's
  std::optional<SipMedia> media_;   // what the sound follows: the answer's, then a moved one's
  std::unique_ptr<RtpSocket> rtp_;  // until the answer hands it to the driver
  struct tmr response_timer_ {};
  struct tmr ring_timer_ {};
  struct tmr close_timer_ {};
};

void SipSession::Core::FreeAll() {
  stun_.reset();
  if (sip_probe_fd_ >= 0) ::close(sip_probe_fd_);
  sip_probe_fd_ = -1;
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
  sa_set_sa(&local_, reinterpret_cast<const sockaddr*>(&local_address_.storage));
  sa_set_port(&local_, sip_port_);
  // libre's DNS client remains for in-dialog requests to a Contact that names a host.
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
      SipCallLegHandlers{OnProgress, OnEstablished, OnInfo, OnMidCallOffer, OnOfferWanted,
                         OnMidCallAnswer, OnSessionLost, OnClose, this},
      [this](const std::string& text) { Log(text); });
  return true;
}

bool SipSession::Core::MakeMedia(std::string* error) {
  const SipSettings& s = plan_.settings;
  rtp_ = RtpSocket::Bind(local_address_, s.rtp_port_low, s.rtp_port_high, error);
  return rtp_ != nullptr;
}

// The offer names where the far end's media must go to reach our RTP socket: where STUN saw
// it, else (a NAT seen in a response, no STUN) our public address with the socket's own port,
// which is right behind a NAT that keeps ports and is corrected by a far end that sends its
// media back to where ours come from (symmetric RTP); else our own address.
bool SipSession::Core::MakeOffer(std::string* error) {
  const SipSettings& s = plan_.settings;
  SocketAddress media = local_address_.WithPort(rtp_->Port());
  if (rtp_mapped_) {
    media = *rtp_mapped_;
    Log("media offered at " + media.ToString() + ", where STUN sees our RTP port " +
        std::to_string(rtp_->Port()));
  } else if (nat_.Public()) {
    media = nat_.Public()->WithPort(rtp_->Port());
    Log("media offered at " + media.ToString() +
        ": our address outside the NAT, with our own RTP port (no STUN)");
  }
  offer_ = {media, s.codecs, s.dtmf, s.srtp, {}};
  if (s.srtp != SipSrtp::kNo) {
    if (!NewSdesCrypto(&offer_.crypto, error)) return false;
    if (s.transport != SipTransport::kTls) {
      Log("warning: the SRTP keys go in the SDP without TLS (transport = " +
          std::string(s.transport == SipTransport::kTcp ? "tcp" : "udp") +
          "): whoever sees the signalling can decrypt the sound");
    }
  }
  if (!OfferText(offer_, &offer_body_, error)) return false;
  versions_ = SdpVersions(offer_body_);
  return true;
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
  phase_ = Phase::kPreparing;
  const NameQueries queries = Queries();
  const SipTransport transport = plan_.settings.transport;
  if (AllAddresses(queries)) return Resolved(LookUp(queries, transport));
  // The system's resolver blocks: not on the loop that every call shares.
  re_.Offload([queries, transport, weak = weak_from_this(), re = &re_] {
    NameAnswers answers = LookUp(queries, transport);
    re->Post([weak, answers = std::move(answers)] {
      if (std::shared_ptr<Core> core = weak.lock()) core->Resolved(answers);
    });
  });
}

NameQueries SipSession::Core::Queries() const {
  const SipSettings& s = plan_.settings;
  NameQueries queries;
  queries.invite_hop =
      s.outbound ? *s.outbound : ParseSipUri(plan_.request_uri).value_or(s.account);
  if (s.registration == SipRegister::kYes) {
    queries.registrar_hop = s.outbound ? *s.outbound : s.account;
  }
  queries.stun_server = s.stun_server;
  return queries;
}

void SipSession::Core::Resolved(const NameAnswers& answers) {
  if (phase_ != Phase::kPreparing) return;  // hung up meanwhile
  const SipSettings& s = plan_.settings;
  const NameQueries queries = Queries();
  for (const NameAnswer* answer :
       {&answers.invite_hop, answers.registrar_hop ? &*answers.registrar_hop : nullptr,
        answers.stun_server ? &*answers.stun_server : nullptr}) {
    if (answer == nullptr) continue;
    if (!answer->address) return Fail(SipEnd::Cause::kNetwork, answer->how);
    if (answer->how.find(" is an address") == std::string::npos) Log(answer->how);
  }
  const bool outbound = s.outbound.has_value();
  invite_route_ = RouteTo(queries.invite_hop, *answers.invite_hop.address, outbound, s.transport);
  const SocketAddress* first = &*answers.invite_hop.address;
  if (answers.registrar_hop) {
    registrar_route_ =
        RouteTo(*queries.registrar_hop, *answers.registrar_hop->address, outbound, s.transport);
    first = &*answers.registrar_hop->address;
  }
  const std::optional<SocketAddress> local = LocalAddressFor(HostOf(*first));
  if (!local) {
    return Fail(SipEnd::Cause::kNetwork, "no network address of ours reaches " + HostOf(*first));
  }
  local_address_ = *local;
  std::string error;
  if (!MakeMedia(&error)) return Fail(SipEnd::Cause::kLocalFailure, error);
  if (answers.stun_server) return AskStun(*answers.stun_server->address);
  Proceed();
}

// Where the RTP socket, and on UDP the SIP socket, are seen from outside. The SIP socket is
// not libre's yet: a socket of ours holds its port while STUN is asked, and libre's transport
// takes the port over after it (a NAT maps by our address and port, not by the socket).
void SipSession::Core::AskStun(const SocketAddress& server) {
  std::vector<int> sockets = {rtp_->Fd()};
  if (plan_.settings.transport == SipTransport::kUdp) {
    sip_probe_fd_ = ::socket(local_address_.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    SocketAddress bound = local_address_;
    if (sip_probe_fd_ >= 0 &&
        ::bind(sip_probe_fd_, reinterpret_cast<const sockaddr*>(&bound.storage), bound.length) ==
            0 &&
        ::getsockname(sip_probe_fd_, reinterpret_cast<sockaddr*>(&bound.storage), &bound.length) ==
            0) {
      sip_port_ = PortNumber(bound);
      sockets.push_back(sip_probe_fd_);
    }
  }
  Log("asking the STUN server " + server.ToString() + " where we are seen");
  stun_ = std::make_unique<StunProbe>(
      server, sockets,
      [this](const std::vector<std::optional<SocketAddress>>& mapped) { Probed(mapped); });
}

void SipSession::Core::Probed(const std::vector<std::optional<SocketAddress>>& mapped) {
  stun_.reset();
  if (sip_probe_fd_ >= 0) ::close(sip_probe_fd_);
  sip_probe_fd_ = -1;
  const SocketAddress rtp_local = local_address_.WithPort(rtp_->Port());
  if (!mapped[0]) {
    Log("the STUN server did not answer: our own addresses are offered");
  } else if (!(*mapped[0] == rtp_local)) {
    rtp_mapped_ = *mapped[0];
  } else {
    Log("STUN sees our own address: no NAT on the way");
  }
  if (mapped.size() > 1 && mapped[1] && !(*mapped[1] == local_address_.WithPort(sip_port_))) {
    Log("STUN sees our SIP port " + std::to_string(sip_port_) + " as " + mapped[1]->ToString());
    nat_.TakeStunMapping(*mapped[1]);
  }
  Proceed();
}

void SipSession::Core::Proceed() {
  std::string error;
  if (!MakeStack(&error)) return Fail(SipEnd::Cause::kNetwork, error);
  if (plan_.settings.registration == SipRegister::kYes) return Register();
  Invite();
}

void SipSession::Core::Register() {
  phase_ = Phase::kRegistering;
  registration_ = std::make_unique<SipRegistration>(
      sip_, plan_.settings, plan_.password, tls_.get(), nat_, registrar_route_,
      SipRegistrationHandler{OnRegistered, this}, [this](const std::string& text) { Log(text); });
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
  std::string error;
  if (!MakeOffer(&error)) return Fail(SipEnd::Cause::kLocalFailure, error);
  std::string target = plan_.request_uri;
  if (!s.outbound && s.transport != SipTransport::kUdp &&
      target.find(";transport=") == std::string::npos) {
    target += SipTransportParam(s.transport);
  }
  SipInvite invite;
  invite.target = target;
  invite.from = s.account.ToString();
  invite.contact_user = s.account.user;
  invite.route = invite_route_;
  invite.nat = &nat_;
  invite.sdp = offer_body_;
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
  stun_.reset();  // before the socket it listens on goes
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

// --- The session, on the loop thread -----------------------------------------------------------

SipSession::SipSession(platform::MessageLoop& loop, SipSessionObserver& observer, SipCallPlan plan,
                       std::shared_ptr<ReThread> re_thread)
    : re_thread_(std::move(re_thread)),
      reports_(loop),
      core_(std::make_shared<Core>(std::move(plan), reports_.MakeSender(), observer, *re_thread_)) {
}

SipSession::~SipSession() {
  // Nothing more is reported: reports_, destroyed after this, takes the Core's reports along.
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
