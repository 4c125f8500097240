// Our 2xx to a re-INVITE, sent again until the far end's ACK comes.
//
// libre's INVITE server transaction ends at a 2xx and leaves its retransmission to the
// dialog's user (RFC 3261 13.3.1.4): sent again at T1, then twice as long each time up to T2,
// for 64*T1 at most, on every transport (a hop on the way may be UDP). A re-INVITE without an
// offer gets our offer in the 2xx, and its answer comes in that ACK.
//
//   std::unique_ptr<SipInviteOk> ok =
//       SipInviteOk::Send(stack, invite, headers_and_body, SipInviteOk::Body::kOffer, on_lost);
//   ... the ACK of invite.cseq comes: ok.reset();
//
// Libre thread only; `unacknowledged` is called once when no ACK came in time, and never after
// the object is destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct sip;
struct sip_msg;

namespace telvane::linesvc {

class SipInviteOk {
 public:
  // What the 2xx's SDP is: our offer (the re-INVITE had none) or our answer to its offer.
  enum class Body { kOffer, kAnswer };

  // Sends "200 OK" with `headers` (header lines, the blank line and the body) to `invite`;
  // null with *err set when libre cannot send it.
  static std::unique_ptr<SipInviteOk> Send(sip* stack, const sip_msg& invite,
                                           const std::string& headers, Body body,
                                           std::function<void()> unacknowledged, int* err);
  ~SipInviteOk();
  SipInviteOk(const SipInviteOk&) = delete;
  SipInviteOk& operator=(const SipInviteOk&) = delete;

  // The re-INVITE's sequence number, which its ACK repeats.
  uint32_t CSeq() const { return cseq_; }
  bool HoldsOffer() const { return body_ == Body::kOffer; }

 private:
  struct Resend;  // libre's objects, in sip_invite_ok.cpp

  SipInviteOk(uint32_t cseq, Body body);

  const uint32_t cseq_;
  const Body body_;
  std::unique_ptr<Resend> resend_;
};

}  // namespace telvane::linesvc
