// One call's INVITE dialog over libre's transactions, with the line's challenge and redirect
// rules, and what the dialog hears once it is answered.
#include "linesvc/sip/sip_call_leg.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <random>
#include <string_view>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sip_invite_ok.h"
#include "linesvc/sip/sip_tls.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

namespace {

constexpr int kMostRedirects = 3;
// 422s answered in a row: each must ask for more than the last, so a few are plenty.
constexpr int kMostIntervalRetries = 3;
// Early dialogs with reliable provisional responses: more than a fork or two is no real call.
constexpr size_t kMostEarlyDialogs = 4;

// What the line takes, for INVITEs, responses and OPTIONS.
constexpr const char* kAllow = "Allow: INVITE, ACK, BYE, CANCEL, INFO, OPTIONS, UPDATE, PRACK\r\n";
constexpr const char* kSupported = "Supported: 100rel, timer\r\n";
constexpr const char* kAccept =
    "Accept: application/sdp, application/dtmf-relay, application/dtmf\r\n";

std::string_view View(const pl& text) { return {text.p, text.l}; }

bool Is(const pl& method, std::string_view name) { return View(method) == name; }

std::string_view Body(const sip_msg& msg) {
  return {reinterpret_cast<const char*>(mbuf_buf(msg.mb)), mbuf_get_left(msg.mb)};
}

bool HasSdp(const sip_msg& msg) {
  return mbuf_get_left(msg.mb) > 0 && msg_ctype_cmp(&msg.ctyp, "application", "sdp");
}

std::optional<std::string_view> HeaderValue(const sip_msg& msg, enum sip_hdrid id) {
  const sip_hdr* header = sip_msg_hdr(&msg, id);
  if (header == nullptr) return std::nullopt;
  return View(header->val);
}

// A Require option of the request that the line does not know (RFC 3261 8.2.2.3), or empty.
std::string UnknownRequirement(const sip_msg& request) {
  std::string unknown;
  sip_msg_hdr_apply(
      &request, true, SIP_HDR_REQUIRE,
      [](const sip_hdr* header, const sip_msg*, void* arg) {
        if (pl_strcasecmp(&header->val, "timer") == 0 || pl_strcasecmp(&header->val, "100rel") == 0)
          return false;
        *static_cast<std::string*>(arg) = SipPrintable(View(header->val), 40);
        return true;
      },
      &unknown);
  return unknown;
}

// Our Contact, as a header line: the address the request left from or the far end's request
// reached.
std::string ContactLine(const std::string& user, const sa& local, enum sip_transp transport) {
  char text[256] = {};
  re_snprintf(text, sizeof text, "Contact: <sip:%s@%J%s>\r\n", user.c_str(), &local,
              sip_transp_param(transport));
  return text;
}

// How long to wait before refreshing again after a 491: we made the INVITE, so its Call-ID is
// ours, and RFC 3261 14.1 gives its owner 2.1 to 4 s.
uint64_t GlareWaitMs() {
  std::random_device device;
  return 2100 + device() % 1901;
}

}  // namespace

struct SipCallLeg::Callbacks {
  // Our Contact: as seen from outside a NAT when the session has learned it.
  static std::string Contact(const SipCallLeg& leg, const sa& local, enum sip_transp transport) {
    if (leg.invite_.nat != nullptr) {
      return leg.invite_.nat->ContactLine(leg.invite_.contact_user, leg.settings_.transport, local);
    }
    return ContactLine(leg.invite_.contact_user, local, transport);
  }

  // Our Contact, once libre knows the address the request leaves from.
  static int OnSend(enum sip_transp transport, const sa* source, const sa*, mbuf* message,
                    void* arg) {
    const auto* leg = static_cast<const SipCallLeg*>(arg);
    return mbuf_write_str(message, Contact(*leg, *source, transport).c_str());
  }

  static void OnInviteResponse(int err, const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    const bool ok = msg != nullptr && msg->scode >= 200 && msg->scode < 300;
    if (leg->terminated_) {
      if (msg != nullptr && msg->scode < 200) return;
      // The answer crossed our CANCEL: take it, and end it at once.
      if (ok && leg->Confirm(*msg)) {
        leg->SendAck(*msg, leg->dialog_);
        leg->SendBye();
        return;
      }
      leg->Done();
      return;
    }
    if (err != 0 || msg == nullptr) return leg->Close(err != 0 ? err : EPROTO, nullptr);
    if (msg->scode < 200) {
      if (leg->TakeProvisional(*msg)) leg->handlers_.progress(msg, leg->handlers_.arg);
      return;
    }
    if (ok && leg->established_) return leg->TakeLateOk(*msg);
    if (ok) {
      if (!leg->Confirm(*msg)) return leg->Close(EPROTO, nullptr);
      leg->SendAck(*msg, leg->dialog_);
      std::string_view sdp = HasSdp(*msg) ? Body(*msg) : std::string_view();
      if (sdp.empty() && !leg->early_sdp_.empty()) {
        leg->log_(
            "the 2xx carries no SDP: the answer is the one of its reliable provisional response");
        sdp = leg->early_sdp_;
      }
      leg->AgreeSessionTimer(*msg);
      leg->handlers_.established(msg, sdp, leg->handlers_.arg);
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
    if (msg->scode == 422 && leg->AskLongerInterval(*msg) && leg->SendInvite() == 0) return;
    leg->Close(0, msg);
  }

  static void OnByeResponse(int, const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    if (msg != nullptr && msg->scode < 200) return;
    leg->bye_ = nullptr;
    // A provider that challenges the BYE keeps the call open, and charged, until it gets the
    // answer: once.
    if (msg != nullptr && (msg->scode == 401 || msg->scode == 407) && !leg->bye_challenged_) {
      leg->bye_challenged_ = true;
      // The first BYE carried no answers: its challenge is a new one, whatever the INVITE's.
      if (leg->challenges_.Take(*msg, leg->Hop(), /*request_answered=*/false)) {
        return leg->SendBye(/*answering=*/true);
      }
    }
    leg->Done();
  }

  static void OnRefreshResponse(int err, const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    if (msg != nullptr && msg->scode < 200) return;
    leg->refresh_ = nullptr;
    if (leg->terminated_ || leg->over_) return;
    if (err != 0 || msg == nullptr) return leg->Lose("the session refresh got no response");
    if (msg->scode < 300) return leg->AgreeSessionTimer(*msg);
    const std::string status = std::to_string(msg->scode);
    switch (msg->scode) {
      case 408:
      case 481:
        return leg->Lose("the far end no longer knows the call (" + status + " to the refresh)");
      case 491:
        leg->log_("the refresh crossed a request of the far end (491): trying again");
        return leg->session_timer_.RefreshAgainIn(GlareWaitMs());
      case 422:
        if (leg->AskLongerInterval(*msg)) return leg->SendRefresh();
        break;
      default:
        break;
    }
    leg->log_("the session refresh is refused (" + status +
              "): the call goes on until the session expires");
  }

  // Every request reaching the call's SIP stack is answered here: libre writes the ones no
  // listener takes to the console.
  static bool OnRequest(const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    sip* stack = leg->stack_;
    if (leg->established_ && sip_dialog_cmp(leg->dialog_, msg)) {
      leg->OnDialogRequest(*msg);
      return true;
    }
    if (Is(msg->met, "ACK")) return true;
    if (Is(msg->met, "INVITE")) {
      sip_treply(nullptr, stack, msg, 486, "Busy Here");  // the line only places calls
    } else if (Is(msg->met, "OPTIONS")) {
      leg->ReplyOptions(*msg);
    } else if (Is(msg->met, "BYE") || Is(msg->met, "CANCEL") || Is(msg->met, "INFO") ||
               Is(msg->met, "UPDATE") || Is(msg->met, "PRACK")) {
      sip_reply(stack, msg, 481, "Call/Transaction Does Not Exist");
    } else {
      sip_reply(stack, msg, 501, "Not Implemented");
    }
    return true;
  }

  // A 2xx to the INVITE after the answer is taken (TakeLateOk); other stray responses are
  // dropped.
  static bool OnStrayResponse(const sip_msg* msg, void* arg) {
    auto* leg = static_cast<SipCallLeg*>(arg);
    if (leg->established_ && msg->scode >= 200 && msg->scode < 300 && Is(msg->cseq.met, "INVITE") &&
        View(msg->callid) == std::string_view(sip_dialog_callid(leg->dialog_))) {
      leg->TakeLateOk(*msg);
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
      challenges_(settings, password, log),
      session_timer_({[this] { SendRefresh(); },
                      [this](uint32_t seconds) {
                        Lose("the session expired: not refreshed within " +
                             std::to_string(seconds) + " s");
                      }}) {
  sip_listen(&requests_, stack, true, Callbacks::OnRequest, this);
  sip_listen(&responses_, stack, false, Callbacks::OnStrayResponse, this);
}

SipCallLeg::~SipCallLeg() {
  ok_.reset();
  request_ = static_cast<struct sip_request*>(mem_deref(request_));
  bye_ = static_cast<struct sip_request*>(mem_deref(bye_));
  refresh_ = static_cast<struct sip_request*>(mem_deref(refresh_));
  for (OtherFork& fork : other_forks_) {
    mem_deref(fork.bye);
    mem_deref(fork.dialog);
  }
  ClearEarlyDialogs();
  dialog_ = static_cast<sip_dialog*>(mem_deref(dialog_));
  invite_dialog_ = static_cast<sip_dialog*>(mem_deref(invite_dialog_));
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
  ClearEarlyDialogs();
  credentials_ = challenges_.Headers("INVITE", invite_.target);
  if (tls_ != nullptr) tls_->ExpectPeer(Hop().host);
  return sip_drequestf(&request_, stack_, true, "INVITE", dialog_, 0, nullptr, Callbacks::OnSend,
                       Callbacks::OnInviteResponse, this,
                       "%s%s%s%sSession-Expires: %u\r\nMin-SE: %u\r\n"
                       "Content-Type: application/sdp\r\nContent-Length: %zu\r\n\r\n%s",
                       credentials_.c_str(), kAllow, kSupported, invite_.headers.c_str(),
                       session_expires_, min_se_, invite_.sdp.size(), invite_.sdp.c_str());
}

void SipCallLeg::SendAck(const sip_msg& ok, sip_dialog* dialog) {
  // The ACK of a 2xx carries the INVITE's credentials (RFC 3261 section 22.1).
  sip_drequestf(nullptr, stack_, false, "ACK", dialog, ok.cseq.num, nullptr, Callbacks::OnSend,
                nullptr, this, "%sContent-Length: 0\r\n\r\n", credentials_.c_str());
}

void SipCallLeg::TakeLateOk(const sip_msg& ok) {
  const std::string tag(View(ok.to.tag));
  if (tag == remote_tag_) return SendAck(ok, dialog_);
  auto fork = std::find_if(other_forks_.begin(), other_forks_.end(),
                           [&](const OtherFork& other) { return other.tag == tag; });
  if (fork == other_forks_.end()) {
    sip_dialog* dialog = nullptr;
    if (other_forks_.size() >= kMostEarlyDialogs || invite_dialog_ == nullptr ||
        sip_dialog_fork(&dialog, invite_dialog_, &ok) != 0) {
      log_("another phone answered as well; its dialog cannot be kept: not acknowledged");
      return;
    }
    log_("another phone answered as well: it is ended with BYE");
    fork = other_forks_.insert(other_forks_.end(), OtherFork{tag, dialog, nullptr});
  }
  SendAck(ok, fork->dialog);
  if (fork->bye == nullptr) {
    sip_drequestf(&fork->bye, stack_, true, "BYE", fork->dialog, 0, nullptr, Callbacks::OnSend,
                  nullptr, this, "Content-Length: 0\r\n\r\n");
  }
}

void SipCallLeg::SendBye(bool answering) {
  if (tls_ != nullptr) tls_->ExpectPeer(Hop().host);
  const std::string credentials =
      answering
          ? challenges_.Headers("BYE", remote_target_.empty() ? invite_.target : remote_target_)
          : "";
  if (sip_drequestf(&bye_, stack_, true, "BYE", dialog_, 0, nullptr, Callbacks::OnSend,
                    Callbacks::OnByeResponse, this, "%sContent-Length: 0\r\n\r\n",
                    credentials.c_str()) != 0) {
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
  ClearEarlyDialogs();
  dialog_ = static_cast<sip_dialog*>(mem_deref(dialog_));
  const char* routes[] = {invite_.route.c_str()};
  if (sip_dialog_alloc(&dialog_, invite_.target.c_str(), to_.c_str(), nullptr, invite_.from.c_str(),
                       invite_.route.empty() ? nullptr : routes,
                       invite_.route.empty() ? 0 : 1) != 0) {
    return false;
  }
  return SendInvite() == 0;
}

// A 422 names the shortest session interval the far end (or a proxy) takes: ask for it.
bool SipCallLeg::AskLongerInterval(const sip_msg& response) {
  const std::optional<std::string_view> header = HeaderValue(response, SIP_HDR_MIN_SE);
  const std::optional<uint32_t> least = header ? ParseMinSe(*header) : std::nullopt;
  const uint32_t asked = std::max(session_expires_, session_timer_.Seconds());
  if (!least || *least <= asked || ++interval_retries_ > kMostIntervalRetries) {
    log_("session interval too small (422) without a longer Min-SE to ask for");
    return false;
  }
  log_("session interval too small (422): asking for " + std::to_string(*least) + " s");
  session_expires_ = *least;
  min_se_ = *least;
  return true;
}

bool SipCallLeg::TakeProvisional(const sip_msg& response) {
  if (response.scode == 100 || !sip_msg_hdr_has_value(&response, SIP_HDR_REQUIRE, "100rel")) {
    return true;
  }
  const sip_hdr* rseq_header = sip_msg_hdr(&response, SIP_HDR_RSEQ);
  const uint32_t rseq = rseq_header != nullptr ? pl_u32(&rseq_header->val) : 0;
  const std::string tag(View(response.to.tag));
  if (rseq == 0 || tag.empty()) {
    log_("a reliable " + std::to_string(response.scode) +
         " without RSeq or To tag: not acknowledged");
    return true;
  }
  const auto known = std::find_if(early_.begin(), early_.end(),
                                  [&](const EarlyDialog& dialog) { return dialog.tag == tag; });
  EarlyDialog* early = known != early_.end() ? &*known : nullptr;
  if (early == nullptr) {
    sip_dialog* dialog = nullptr;
    if (early_.size() >= kMostEarlyDialogs || sip_dialog_fork(&dialog, dialog_, &response) != 0) {
      log_("a reliable " + std::to_string(response.scode) +
           " whose early dialog cannot be kept: not acknowledged");
      return true;
    }
    early = &early_.emplace_back(EarlyDialog{tag, dialog, rseq, {}});
  } else if (rseq != early->rseq + 1) {
    // A retransmission (our PRACK is on its way) or one out of order: neither is acknowledged
    // nor taken (RFC 3262 4).
    return false;
  }
  early->rseq = rseq;
  if (HasSdp(response)) early->sdp = Body(response);
  sip_drequestf(nullptr, stack_, true, "PRACK", early->dialog, 0, nullptr, Callbacks::OnSend,
                nullptr, this, "RAck: %u %u INVITE\r\nContent-Length: 0\r\n\r\n", rseq,
                response.cseq.num);
  return true;
}

bool SipCallLeg::Confirm(const sip_msg& ok) {
  sip_addr contact{};
  if (const sip_hdr* header = sip_msg_hdr(&ok, SIP_HDR_CONTACT);
      header != nullptr && sip_addr_decode(&contact, &header->val) == 0) {
    remote_target_ = View(contact.auri);
  }
  remote_tag_ = View(ok.to.tag);
  for (EarlyDialog& early : early_) {
    if (early.tag != remote_tag_) continue;
    // The early dialog goes on: its PRACKs counted its sequence numbers on.
    invite_dialog_ = dialog_;
    dialog_ = early.dialog;
    early.dialog = nullptr;
    early_sdp_ = std::move(early.sdp);
    sip_dialog_update(dialog_, &ok);
    ClearEarlyDialogs();
    established_ = true;
    return true;
  }
  ClearEarlyDialogs();
  // The call's dialog is made from the INVITE's, which stays as it was: another fork's 2xx
  // gets a dialog made from it too (TakeLateOk).
  sip_dialog* confirmed = nullptr;
  if (sip_dialog_fork(&confirmed, dialog_, &ok) != 0) return false;
  invite_dialog_ = dialog_;
  dialog_ = confirmed;
  established_ = true;
  return true;
}

void SipCallLeg::ClearEarlyDialogs() {
  for (EarlyDialog& early : early_) mem_deref(early.dialog);
  early_.clear();
}

// The session timer a 2xx to our INVITE or UPDATE agrees on (RFC 4028 7.2): none without
// Session-Expires; we refresh unless it names the far end.
void SipCallLeg::AgreeSessionTimer(const sip_msg& response) {
  const std::optional<std::string_view> header = HeaderValue(response, SIP_HDR_SESSION_EXPIRES);
  const std::optional<SessionExpires> agreed = header ? ParseSessionExpires(*header) : std::nullopt;
  if (!agreed) {
    if (session_timer_.Seconds() != 0) log_("no session timer any more");
    session_timer_.Stop();
    return;
  }
  const SessionRefresher refresher = agreed->refresher == SessionExpires::Refresher::kUas
                                         ? SessionRefresher::kPeer
                                         : SessionRefresher::kUs;
  session_timer_.Agree(agreed->seconds, refresher);
  log_("session timer " + std::to_string(session_timer_.Seconds()) + " s, refreshed by " +
       (refresher == SessionRefresher::kUs ? "us (UPDATE)" : "the far end"));
}

void SipCallLeg::SendRefresh() {
  if (refresh_ != nullptr || !established_ || over_ || terminated_) return;
  const uint32_t seconds = std::max(session_timer_.Seconds(), min_se_);
  if (tls_ != nullptr) tls_->ExpectPeer(Hop().host);
  sip_drequestf(&refresh_, stack_, true, "UPDATE", dialog_, 0, nullptr, Callbacks::OnSend,
                Callbacks::OnRefreshResponse, this,
                "Session-Expires: %u;refresher=uac\r\nMin-SE: %u\r\n%s%sContent-Length: 0\r\n\r\n",
                seconds, min_se_, kSupported, kAllow);
}

void SipCallLeg::OnDialogRequest(const sip_msg& request) {
  sip* stack = stack_;
  if (Is(request.met, "ACK")) {
    OnAck(request);
  } else if (Is(request.met, "BYE")) {
    sip_treply(nullptr, stack, &request, 200, "OK");
    session_timer_.Stop();
    ok_.reset();
    if (!terminated_) Close(0, &request);
    over_ = true;
  } else if (Is(request.met, "INFO") && !terminated_ && !over_) {
    handlers_.info(stack, &request, handlers_.arg);
  } else if (Is(request.met, "INFO")) {
    sip_reply(stack, &request, 200, "OK");
  } else if (Is(request.met, "OPTIONS")) {
    ReplyOptions(request);
  } else if (Is(request.met, "INVITE") || Is(request.met, "UPDATE")) {
    OnSessionRequest(request);
  } else {
    sip_reply(stack, &request, 501, "Not Implemented");
  }
}

// A re-INVITE or an UPDATE: a new offer, or none (a session refresh, or a re-INVITE that asks
// for our offer).
void SipCallLeg::OnSessionRequest(const sip_msg& request) {
  if (terminated_ || over_) {
    sip_treply(nullptr, stack_, &request, 481, "Call/Transaction Does Not Exist");
    return;
  }
  if (!sip_dialog_rseq_valid(dialog_, &request)) {
    sip_treply(nullptr, stack_, &request, 500, "Server Internal Error");  // out of order
    return;
  }
  if (const std::string unknown = UnknownRequirement(request); !unknown.empty()) {
    sip_treplyf(nullptr, nullptr, stack_, &request, false, 420, "Bad Extension",
                "Unsupported: %s\r\nContent-Length: 0\r\n\r\n", unknown.c_str());
    return;
  }
  const bool offer = HasSdp(request);
  if (mbuf_get_left(request.mb) > 0 && !offer) {
    sip_treplyf(nullptr, nullptr, stack_, &request, false, 415, "Unsupported Media Type",
                "Accept: application/sdp\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  if (offer && ok_ && ok_->HoldsOffer()) {
    // Our offer (in the last re-INVITE's 200) awaits its answer in the ACK.
    sip_treply(nullptr, stack_, &request, 491, "Request Pending");
    return;
  }
  std::optional<std::string> answer;
  if (offer) {
    answer = handlers_.offer(Body(request), handlers_.arg);
    if (!answer) {
      sip_treply(nullptr, stack_, &request, 488, "Not Acceptable Here");
      return;
    }
  }
  const std::string headers = Callbacks::Contact(*this, request.dst, request.tp) + kAllow +
                              kSupported + AgreeSessionTimerOf(request);
  if (Is(request.met, "UPDATE")) {
    // An UPDATE's 2xx answers its offer, and holds nothing without one (RFC 3311).
    const std::string rest = answer ? WithSdp(*answer) : "Content-Length: 0\r\n\r\n";
    sip_treplyf(nullptr, nullptr, stack_, &request, false, 200, "OK", "%s%s", headers.c_str(),
                rest.c_str());
    return;
  }
  // A new re-INVITE: the far end has had our 2xx to the one before.
  ok_.reset();
  int err = 0;
  ok_ = SipInviteOk::Send(
      stack_, request, headers + WithSdp(answer ? *answer : handlers_.our_offer(handlers_.arg)),
      answer ? SipInviteOk::Body::kAnswer : SipInviteOk::Body::kOffer,
      [this] { Lose("our 200 to the re-INVITE was never acknowledged"); }, &err);
  if (!ok_) log_("the re-INVITE cannot be answered: error " + std::to_string(err));
}

void SipCallLeg::OnAck(const sip_msg& ack) {
  if (!ok_ || ack.cseq.num != ok_->CSeq()) return;
  const bool answer_due = ok_->HoldsOffer();
  ok_.reset();
  if (!answer_due || terminated_ || over_) return;
  if (!HasSdp(ack)) {
    log_("the ACK carries no answer to our offer: the media stay as they were");
    return;
  }
  handlers_.answer(Body(ack), handlers_.arg);
}

void SipCallLeg::ReplyOptions(const sip_msg& request) {
  sip_treplyf(nullptr, nullptr, stack_, &request, false, 200, "OK",
              "%s%s%sContent-Length: 0\r\n\r\n", kAllow, kAccept, kSupported);
}

std::string SipCallLeg::AgreeSessionTimerOf(const sip_msg& request) {
  const std::optional<std::string_view> header = HeaderValue(request, SIP_HDR_SESSION_EXPIRES);
  const std::optional<SessionExpires> asked = header ? ParseSessionExpires(*header) : std::nullopt;
  if (!asked) {
    session_timer_.Stop();
    return {};
  }
  const SessionRefresher refresher =
      RefresherOfPeerRequest(*asked, sip_msg_hdr_has_value(&request, SIP_HDR_SUPPORTED, "timer"));
  session_timer_.Agree(asked->seconds, refresher);
  const std::string seconds = std::to_string(asked->seconds);
  if (refresher == SessionRefresher::kUs) {
    return "Session-Expires: " + seconds + ";refresher=uas\r\n";
  }
  return "Session-Expires: " + seconds + ";refresher=uac\r\nRequire: timer\r\n";
}

std::string SipCallLeg::WithSdp(const std::string& body) {
  return "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

void SipCallLeg::Lose(const std::string& why) {
  if (over_ || terminated_) return;
  log_(why);
  session_timer_.Stop();
  ok_.reset();
  SendBye();
  over_ = true;
  handlers_.lost(handlers_.arg);
}

void SipCallLeg::Close(int err, const sip_msg* msg) {
  if (over_ || terminated_) return;
  over_ = true;
  session_timer_.Stop();
  ok_.reset();
  handlers_.closed(err, msg, handlers_.arg);
}

void SipCallLeg::Terminate() {
  if (terminated_) return;
  terminated_ = true;
  session_timer_.Stop();
  ok_.reset();
  if (over_) return;
  if (established_) {
    SendBye();
  } else if (request_ != nullptr) {
    sip_request_cancel(request_);
  }
}

void SipCallLeg::WhenDone(std::function<void()> done) {
  done_ = std::move(done);
  // A BYE of ours may be on its way after the session was lost.
  const bool open = bye_ != nullptr || (!over_ && request_ != nullptr);
  if (!open) Done();
}

void SipCallLeg::Done() {
  if (!done_) return;
  std::function<void()> done = std::move(done_);
  done_ = nullptr;
  done();
}

}  // namespace telvane::linesvc
