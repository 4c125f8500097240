// One call's INVITE dialog over libre's transactions, with the line's challenge and redirect
// rules.
#include "linesvc/sip/sip_call_leg.h"

#include <cerrno>
#include <optional>
#include <string_view>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sip_tls.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

namespace {

constexpr int kMostRedirects = 3;

std::string_view View(const pl& text) { return {text.p, text.l}; }

bool Is(const pl& method, std::string_view name) { return View(method) == name; }

}  // namespace

struct SipCallLeg::Callbacks {
  // Our Contact, once libre knows the address the request leaves from.
  static int OnSend(enum sip_transp transport, const sa* source, const sa*, mbuf* message,
                    void* arg) {
    const auto* leg = static_cast<const SipCallLeg*>(arg);
    if (leg->invite_.nat != nullptr) {
      return leg->invite_.nat->PrintContact(message, leg->invite_.contact_user,
                                            leg->settings_.transport, source);
    }
    return mbuf_printf(message, "Contact: <sip:%s@%J%s>\r\n", leg->invite_.contact_user.c_str(),
                       source, sip_transp_param(transport));
  }

  static void OnInviteResponse(int err, const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    const bool ok = msg != nullptr && msg->scode >= 200 && msg->scode < 300;
    if (leg->terminated_) {
      if (msg != nullptr && msg->scode < 200) return;
      // The answer crossed our CANCEL: take it, and end it at once.
      if (ok && sip_dialog_create(leg->dialog_, msg) == 0) {
        leg->established_ = true;
        leg->SendAck(*msg);
        leg->SendBye();
        return;
      }
      leg->Done();
      return;
    }
    if (err != 0 || msg == nullptr) return leg->Close(err != 0 ? err : EPROTO, nullptr);
    if (msg->scode < 200) {
      leg->handlers_.progress(msg, leg->handlers_.arg);
      return;
    }
    if (ok) {
      const int created = sip_dialog_create(leg->dialog_, msg);
      if (created != 0) return leg->Close(created, nullptr);
      leg->established_ = true;
      leg->SendAck(*msg);
      leg->handlers_.established(msg, leg->handlers_.arg);
      return;
    }
    if (msg->scode < 400) {
      if (leg->FollowRedirect(*msg)) return;
      return leg->Close(0, msg);
    }
    if (msg->scode == 401 || msg->scode == 407) {
      if (leg->challenges_.Take(*msg, leg->Hop()) && leg->SendInvite() == 0) return;
      return leg->Close(EACCES, msg);
    }
    leg->Close(0, msg);
  }

  static void OnByeResponse(int, const sip_msg* msg, void* arg) {
    if (msg != nullptr && msg->scode < 200) return;
    static_cast<SipCallLeg*>(arg)->Done();
  }

  // Every request reaching the call's SIP stack is answered here: libre writes the ones no
  // listener takes to the console.
  static bool OnRequest(const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    sip* stack = leg->stack_;
    if (Is(msg->met, "ACK")) return true;
    if (leg->established_ && sip_dialog_cmp(leg->dialog_, msg)) {
      if (Is(msg->met, "BYE")) {
        sip_treply(nullptr, stack, msg, 200, "OK");
        if (!leg->terminated_) leg->Close(0, msg);
        leg->over_ = true;
      } else if (Is(msg->met, "INFO") && !leg->terminated_ && !leg->over_) {
        leg->handlers_.info(stack, msg, leg->handlers_.arg);
      } else if (Is(msg->met, "INFO")) {
        sip_reply(stack, msg, 200, "OK");
      } else if (Is(msg->met, "INVITE")) {
        // A new offer is not taken: the call goes on as it is.
        sip_treply(nullptr, stack, msg, 488, "Not Acceptable Here");
      } else {
        sip_reply(stack, msg, 501, "Not Implemented");
      }
      return true;
    }
    if (Is(msg->met, "INVITE")) {
      sip_treply(nullptr, stack, msg, 486, "Busy Here");  // the line only places calls
    } else if (Is(msg->met, "BYE") || Is(msg->met, "CANCEL") || Is(msg->met, "INFO") ||
               Is(msg->met, "UPDATE") || Is(msg->met, "PRACK")) {
      sip_reply(stack, msg, 481, "Call/Transaction Does Not Exist");
    } else {
      sip_reply(stack, msg, 501, "Not Implemented");
    }
    return true;
  }

  // A 2xx sent again (our ACK was lost) is acknowledged again; other stray responses are
  // dropped.
  static bool OnStrayResponse(const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    if (leg->established_ && msg->scode >= 200 && msg->scode < 300 && Is(msg->cseq.met, "INVITE") &&
        View(msg->callid) == std::string_view(sip_dialog_callid(leg->dialog_))) {
      leg->SendAck(*msg);
    }
    return true;
  }
};

SipCallLeg::SipCallLeg(sip* stack, const SipSettings& settings, const SecretText& password,
                       SipTls* tls, const SipCallLegHandlers& handlers, const Log& log)
    : stack_(stack),
      settings_(settings),
      tls_(tls),
      handlers_(handlers),
      log_(log),
      challenges_(settings, password, log) {
  sip_listen(&requests_, stack, true, Callbacks::OnRequest, this);
  sip_listen(&responses_, stack, false, Callbacks::OnStrayResponse, this);
}

SipCallLeg::~SipCallLeg() {
  request_ = static_cast<struct sip_request*>(mem_deref(request_));
  bye_ = static_cast<struct sip_request*>(mem_deref(bye_));
  dialog_ = static_cast<sip_dialog*>(mem_deref(dialog_));
  requests_ = static_cast<sip_lsnr*>(mem_deref(requests_));
  responses_ = static_cast<sip_lsnr*>(mem_deref(responses_));
}

SipHop SipCallLeg::Hop() const {
  return NextHopOf(settings_, ParseSipUri(invite_.target).value_or(SipUri{}));
}

int SipCallLeg::Invite(SipInvite invite) {
  invite_ = std::move(invite);
  to_ = invite_.target;
  const char* routes[] = {invite_.route.c_str()};
  const int err =
      sip_dialog_alloc(&dialog_, invite_.target.c_str(), to_.c_str(), nullptr, invite_.from.c_str(),
                       invite_.route.empty() ? nullptr : routes, invite_.route.empty() ? 0 : 1);
  return err != 0 ? err : SendInvite();
}

int SipCallLeg::SendInvite() {
  credentials_ = challenges_.Headers("INVITE", invite_.target);
  if (tls_ != nullptr) tls_->ExpectPeer(Hop().host);
  return sip_drequestf(&request_, stack_, true, "INVITE", dialog_, 0, nullptr, Callbacks::OnSend,
                       Callbacks::OnInviteResponse, this,
                       "%s%sContent-Type: application/sdp\r\nContent-Length: %zu\r\n\r\n%s",
                       credentials_.c_str(), invite_.headers.c_str(), invite_.sdp.size(),
                       invite_.sdp.c_str());
}

void SipCallLeg::SendAck(const sip_msg& ok) {
  // The ACK of a 2xx carries the INVITE's credentials (RFC 3261 section 22.1).
  sip_drequestf(nullptr, stack_, false, "ACK", dialog_, ok.cseq.num, nullptr, Callbacks::OnSend,
                nullptr, this, "%sContent-Length: 0\r\n\r\n", credentials_.c_str());
}

void SipCallLeg::SendBye() {
  if (tls_ != nullptr) tls_->ExpectPeer(Hop().host);
  if (sip_drequestf(&bye_, stack_, true, "BYE", dialog_, 0, nullptr, Callbacks::OnSend,
                    Callbacks::OnByeResponse, this, "Content-Length: 0\r\n\r\n") != 0) {
    Done();
  }
}

bool SipCallLeg::FollowRedirect(const sip_msg& response) {
  const sip_hdr* contact = sip_msg_hdr(&response, SIP_HDR_CONTACT);
  sip_addr address{};
  if (contact == nullptr || sip_addr_decode(&address, &contact->val) != 0) {
    log_("redirected (" + std::to_string(response.scode) + ") without a Contact to go to");
    return false;
  }
  const std::string target(View(address.auri));
  const std::optional<SipUri> uri = ParseSipUri(target);
  const std::optional<SipUri> current = ParseSipUri(invite_.target);
  if (!uri || !current) {
    log_("redirected to " + SipPrintable(target, 120) + ": not followed, not a SIP URI to call");
    return false;
  }
  if (!SameHost(uri->host, current->host)) {
    log_("redirected to " + SipPrintable(target, 120) + ": not followed, it is another host than " +
         current->host);
    return false;
  }
  if (++redirects_ > kMostRedirects) {
    log_("redirected to " + SipPrintable(target, 120) + ": not followed, too many redirects");
    return false;
  }
  log_("redirected to " + SipPrintable(target, 120) + " on the same host: calling it");
  invite_.target = uri->ToString();
  dialog_ = static_cast<sip_dialog*>(mem_deref(dialog_));
  const char* routes[] = {invite_.route.c_str()};
  if (sip_dialog_alloc(&dialog_, invite_.target.c_str(), to_.c_str(), nullptr, invite_.from.c_str(),
                       invite_.route.empty() ? nullptr : routes,
                       invite_.route.empty() ? 0 : 1) != 0) {
    return false;
  }
  return SendInvite() == 0;
}

void SipCallLeg::Close(int err, const sip_msg* msg) {
  if (over_ || terminated_) return;
  over_ = true;
  handlers_.closed(err, msg, handlers_.arg);
}

void SipCallLeg::Terminate() {
  if (terminated_) return;
  terminated_ = true;
  if (over_) return;
  if (established_) {
    SendBye();
  } else if (request_ != nullptr) {
    sip_request_cancel(request_);
  }
}

void SipCallLeg::WhenDone(std::function<void()> done) {
  done_ = std::move(done);
  const bool open = !over_ && (bye_ != nullptr || request_ != nullptr);
  if (!open) Done();
}

void SipCallLeg::Done() {
  if (!done_) return;
  std::function<void()> done = std::move(done_);
  done_ = nullptr;
  done();
}

}  // namespace telvane::linesvc
