// One SIP call over libre: the session on the loop thread, and the Core's names, STUN,
// registration, INVITE and hang-up (its handling of libre's reports is in
// sip_session_callbacks.cpp). Everything the Core does runs on the libre thread.
#include "linesvc/sip/sip_session.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

#include "linesvc/sip/sip_resolver.h"
#include "linesvc/sip/sip_session_core.h"

namespace telvane::linesvc {

using internal::Errno;
using internal::NameAnswer;
using internal::NameAnswers;
using internal::NameQueries;

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
