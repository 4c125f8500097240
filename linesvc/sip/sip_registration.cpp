// A SIP line's registration for one call, with the line's challenge rules.
#include "linesvc/sip/sip_registration.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sip_tls.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

namespace {

constexpr uint32_t kExpires = 600;
constexpr uint32_t kShortestRefresh = 30;

}  // namespace

struct SipRegistration::Timer {
  tmr timer{};
};

struct SipRegistration::Callbacks {
  static int OnSend(enum sip_transp, const sa* source, const sa*, mbuf* message, void* arg) {
    const auto* self = static_cast<const SipRegistration*>(arg);
    const std::string contact =
        self->nat_.ContactLine(self->settings_.account.user, self->settings_.transport, *source);
    return mbuf_write_str(message, contact.c_str());
  }

  static void OnResponse(int err, const sip_msg* msg, void* arg) {
    auto* self = static_cast<SipRegistration*>(arg);
    if (msg != nullptr) self->nat_.TakeResponse(*msg);
    if (msg != nullptr && msg->scode < 200) return;
    if (err != 0 || msg == nullptr) return self->Finish(err != 0 ? err : EPROTO, nullptr);
    if (msg->scode == 401 || msg->scode == 407) {
      if (self->challenges_.Take(*msg, self->Hop()) && self->Send(self->expires_) == 0) return;
      return self->Finish(EACCES, msg);
    }
    if (msg->scode >= 300 && msg->scode < 400) {
      // A registrar elsewhere would get the credentials next: never followed.
      const sip_hdr* contact = sip_msg_hdr(msg, SIP_HDR_CONTACT);
      self->log_("the registrar redirects (" + std::to_string(msg->scode) + ") to " +
                 (contact != nullptr
                      ? SipPrintable(std::string_view(contact->val.p, contact->val.l), 120)
                      : std::string("nowhere")) +
                 ": not followed");
    }
    self->Finish(0, msg);
  }

  static void OnRefresh(void* arg) {
    auto* self = static_cast<SipRegistration*>(arg);
    if (self->Send(kExpires) != 0) self->log_("the registration cannot be refreshed");
  }

  static void OnKeepAlive(void* arg) { static_cast<SipRegistration*>(arg)->KeepAlive(); }

  // Whatever the answer to an OPTIONS, it has kept the way open.
  static void OnKeepAliveResponse(int, const sip_msg*, void*) {}
};

SipRegistration::SipRegistration(sip* stack, const SipSettings& settings,
                                 const SecretText& password, SipTls* tls, SipNat& nat,
                                 std::string route, SipRegistrationHandler handler, const Log& log)
    : stack_(stack),
      settings_(settings),
      tls_(tls),
      nat_(nat),
      handler_(handler),
      log_(log),
      challenges_(settings, password, log),
      route_(std::move(route)),
      refresh_(std::make_unique<Timer>()),
      keepalive_(std::make_unique<Timer>()) {
  tmr_init(&refresh_->timer);
  tmr_init(&keepalive_->timer);
  registrar_ = std::string(settings.account.secure ? "sips:" : "sip:") +
               settings.account.HostPort() + SipTransportParam(settings.transport);
}

SipRegistration::~SipRegistration() {
  tmr_cancel(&refresh_->timer);
  tmr_cancel(&keepalive_->timer);
  keepalive_request_ = static_cast<struct sip_request*>(mem_deref(keepalive_request_));
  request_ = static_cast<struct sip_request*>(mem_deref(request_));
  dialog_ = static_cast<sip_dialog*>(mem_deref(dialog_));
}

SipHop SipRegistration::Hop() const { return NextHopOf(settings_, settings_.account); }

int SipRegistration::Register() {
  const std::string aor = settings_.account.ToString();
  const char* routes[] = {route_.c_str()};
  const int err = sip_dialog_alloc(&dialog_, registrar_.c_str(), aor.c_str(), nullptr, aor.c_str(),
                                   route_.empty() ? nullptr : routes, route_.empty() ? 0 : 1);
  return err != 0 ? err : Send(kExpires);
}

int SipRegistration::Send(uint32_t expires) {
  expires_ = expires;
  // A refresh still in flight is dropped for the newer request.
  request_ = static_cast<struct sip_request*>(mem_deref(request_));
  const std::string credentials = challenges_.Headers("REGISTER", registrar_);
  if (tls_ != nullptr) tls_->ExpectPeer(Hop().host);
  return sip_drequestf(&request_, stack_, true, "REGISTER", dialog_, 0, nullptr, Callbacks::OnSend,
                       Callbacks::OnResponse, this, "%sExpires: %u\r\nContent-Length: 0\r\n\r\n",
                       credentials.c_str(), expires);
}

void SipRegistration::Finish(int err, const sip_msg* msg) {
  if (expires_ == 0) {
    // The binding is removed, or cannot be: either way the call is done with it.
    registered_ = false;
    if (done_) {
      std::function<void()> done = std::move(done_);
      done_ = nullptr;
      done();
    }
    return;
  }
  const bool ok = err == 0 && msg != nullptr && msg->scode < 300;
  if (ok) {
    const bool registered_before = registered_;
    registered_ = true;
    // What the registrar grants may be less than asked; refresh at half of it.
    uint32_t granted = kExpires;
    if (pl_isset(&msg->expires)) granted = std::min(granted, pl_u32(&msg->expires));
    tmr_start(&refresh_->timer, std::max(granted / 2, kShortestRefresh) * 1000ULL,
              Callbacks::OnRefresh, this);
    if (!registered_before) StartKeepAlive(*msg);
  } else if (reported_) {
    log_("the registration's refresh failed");
  }
  if (reported_) return;
  reported_ = true;
  handler_.registered(err, msg, handler_.arg);
}

void SipRegistration::StartKeepAlive(const sip_msg& ok) {
  if (settings_.keepalive_s == 0) return;
  registrar_address_ = SocketAddress();
  std::memcpy(&registrar_address_->storage, &ok.src.u, ok.src.len);
  registrar_address_->length = ok.src.len;
  log_("keep-alive every " + std::to_string(settings_.keepalive_s) + " s while registered (" +
       (settings_.transport == SipTransport::kUdp ? "OPTIONS" : "CRLF on the connection") + ")");
  tmr_start(&keepalive_->timer, settings_.keepalive_s * 1000ULL, Callbacks::OnKeepAlive, this);
}

void SipRegistration::KeepAlive() {
  tmr_start(&keepalive_->timer, settings_.keepalive_s * 1000ULL, Callbacks::OnKeepAlive, this);
  if (settings_.transport != SipTransport::kUdp) {
    // On the connection the registration used: libre finds it by the registrar's address.
    sa destination{};
    sa_set_sa(&destination, reinterpret_cast<const sockaddr*>(&registrar_address_->storage));
    mbuf* ping = mbuf_alloc(4);
    if (ping == nullptr) return;
    mbuf_write_str(ping, "\r\n\r\n");
    ping->pos = 0;
    const enum sip_transp transport =
        settings_.transport == SipTransport::kTls ? SIP_TRANSP_TLS : SIP_TRANSP_TCP;
    if (sip_send(stack_, nullptr, transport, &destination, ping) != 0) {
      log_("the keep-alive cannot be sent");
    }
    mem_deref(ping);
    return;
  }
  // One OPTIONS at a time: one still unanswered is dropped for the new one. It goes with the
  // registration's Call-ID, as part of what the registrar knows of us.
  keepalive_request_ = static_cast<struct sip_request*>(mem_deref(keepalive_request_));
  if (sip_drequestf(&keepalive_request_, stack_, true, "OPTIONS", dialog_, 0, nullptr, nullptr,
                    Callbacks::OnKeepAliveResponse, this, "Content-Length: 0\r\n\r\n") != 0) {
    log_("the keep-alive cannot be sent");
  }
}

void SipRegistration::Unregister(std::function<void()> done) {
  tmr_cancel(&refresh_->timer);
  tmr_cancel(&keepalive_->timer);
  if (!registered_) {
    request_ = static_cast<struct sip_request*>(mem_deref(request_));
    done();
    return;
  }
  done_ = std::move(done);
  if (Send(0) != 0) Finish(0, nullptr);
}

}  // namespace telvane::linesvc
