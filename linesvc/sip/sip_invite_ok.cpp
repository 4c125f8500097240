// A 2xx to a re-INVITE and its retransmissions.
#include "linesvc/sip/sip_invite_ok.h"

#include <algorithm>

#include "linesvc/sip/re_include.h"

namespace telvane::linesvc {

struct SipInviteOk::Resend {
  sip* stack = nullptr;
  sip_msg* invite = nullptr;  // held: its transport socket carries the retransmissions
  mbuf* response = nullptr;
  struct sa destination {};
  struct tmr timer {};
  uint64_t interval_ms = SIP_T1;
  uint64_t waited_ms = 0;
  std::function<void()> unacknowledged;

  ~Resend() {
    tmr_cancel(&timer);
    response = static_cast<mbuf*>(mem_deref(response));
    invite = static_cast<sip_msg*>(mem_deref(invite));
  }

  static void OnTimer(void* arg) {
    auto* resend = static_cast<Resend*>(arg);
    resend->waited_ms += resend->interval_ms;
    if (resend->waited_ms >= 64 * SIP_T1) {
      // Taken out first: the handler may well destroy this object.
      const std::function<void()> unacknowledged = std::move(resend->unacknowledged);
      unacknowledged();
      return;
    }
    resend->response->pos = 0;
    sip_send(resend->stack, resend->invite->sock, resend->invite->tp, &resend->destination,
             resend->response);
    resend->interval_ms = std::min<uint64_t>(resend->interval_ms * 2, SIP_T2);
    tmr_start(&resend->timer, resend->interval_ms, OnTimer, resend);
  }
};

SipInviteOk::SipInviteOk(uint32_t cseq, Body body) : cseq_(cseq), body_(body) {}

std::unique_ptr<SipInviteOk> SipInviteOk::Send(sip* stack, const sip_msg& invite,
                                               const std::string& headers, Body body,
                                               std::function<void()> unacknowledged, int* err) {
  std::unique_ptr<SipInviteOk> ok(new SipInviteOk(invite.cseq.num, body));
  ok->resend_ = std::make_unique<Resend>();
  Resend& resend = *ok->resend_;
  tmr_init(&resend.timer);
  *err = sip_treplyf(nullptr, &resend.response, stack, &invite, false, 200, "OK", "%s",
                     headers.c_str());
  if (*err != 0) return nullptr;
  resend.stack = stack;
  resend.invite = static_cast<sip_msg*>(mem_ref(const_cast<sip_msg*>(&invite)));
  sip_reply_addr(&resend.destination, &invite, true);
  resend.unacknowledged = std::move(unacknowledged);
  tmr_start(&resend.timer, resend.interval_ms, Resend::OnTimer, &resend);
  return ok;
}

SipInviteOk::~SipInviteOk() = default;

}  // namespace telvane::linesvc
