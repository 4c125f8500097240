// One SIP call over libre: the thin adapter between the SIP line driver and the library.
//
// The session does the SIP work on the libre thread (re_thread.h): registration when the line
// asks for it (sip_registration.h), the INVITE with its SDP offer (sip_call_leg.h), digest
// answers to 401/407 for the configured next hop only, TLS peers checked (sip_tls.h), the
// answer's codec and key path, keys by SIP INFO, CANCEL or BYE, and its own time limits (no
// response, ringing too long, hanging up). What the driver must see comes back as calls of
// SipSessionObserver, posted to the application's loop.
//
//   SipSession session(loop, observer, plan, re_thread);
//   session.Start();                  // OnSipRinging..., OnSipAnswered, OnSipEnded
//   session.Hangup();                 // CANCEL or BYE, then OnSipClosed (bounded wait)
//
// The session binds the call's RTP socket for its offer and hands it over with the answer
// (emptied of whatever reached it before); the answer's SDP is read by sdp_answer.h, and an
// answer without usable audio ends the call with BYE. The sound itself is the driver's, on a
// thread of its own (rtp_pump.h). In the answered call, a new offer of the far end (re-INVITE,
// UPDATE) is read by the same rules (sdp_answer.h): the same media go on as they are, media
// that moved (a new address, codec or key) are followed (OnSipMediaMoved), and an offer without
// usable audio, or without a key on an encrypted call, is refused, the call unchanged. Our
// answer names the one key taken; a re-INVITE without an offer gets our INVITE's offer again,
// and the answer in its ACK is read as the first answer was (one of no use ends the call).
//
// Each call has its own SIP stack (transport, transactions), so hanging up waits for exactly
// the call's own transactions: the CANCEL or BYE, and the REGISTER that removes the binding.
//
// Threads: every member is called on the loop thread; every observer call is made there too,
// and never after the session is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "linesvc/sip/re_thread.h"
#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/secret_text.h"
#include "linesvc/sip/sip_outcome.h"
#include "linesvc/sip/sip_settings.h"
#include "platform/message_loop.h"
#include "platform/timers.h"

namespace telvane::linesvc {

// What one call needs to know.
struct SipCallPlan {
  SipSettings settings;
  std::string request_uri;
  SecretText password;  // empty: challenges cannot be answered
  int no_response_ms = 4000;
  int hangup_wait_ms = 3000;
};

class SipSessionObserver {
 public:
  // A line for the event log: requests and responses, codec, RTP counts. Never a secret.
  virtual void OnSipEvent(const std::string& text) = 0;
  // 100 Trying.
  virtual void OnSipProceeding() = 0;
  // 180 or 183: the remote phone rings (183 may carry early media; it is no answer).
  virtual void OnSipRinging() = 0;
  // 2xx: the call is answered with these media; the socket offered is the driver's now.
  virtual void OnSipAnswered(const SipMedia& media, std::unique_ptr<RtpSocket> socket) = 0;
  // The far end moved the answered call's media (a new address, or another of the codecs
  // offered): the sound goes there from now on.
  virtual void OnSipMediaMoved(const SipMedia& media) = 0;
  // A key of the remote side, once per press.
  virtual void OnSipDigit(char digit) = 0;
  // The call is over (before or after the answer); OnSipClosed follows a Hangup.
  virtual void OnSipEnded(const SipEnd& end) = 0;
  // After Hangup: the call's transactions have ended, or were cut off after the wait.
  virtual void OnSipClosed() = 0;

 protected:
  ~SipSessionObserver() = default;
};

class SipSession {
 public:
  SipSession(platform::MessageLoop& loop, SipSessionObserver& observer, SipCallPlan plan,
             std::shared_ptr<ReThread> re_thread);
  // Hangs up without waiting for the other side; nothing more is reported.
  ~SipSession();
  SipSession(const SipSession&) = delete;
  SipSession& operator=(const SipSession&) = delete;

  // Registers if the line asks for it, then sends the INVITE.
  void Start();
  // CANCEL before the answer, BYE after; OnSipClosed once done. Once only.
  void Hangup();

  class Core;  // the libre side, in sip_session.cpp

 private:
  std::shared_ptr<ReThread> re_thread_;
  // What the Core reports from the libre thread runs only while the session lives.
  platform::TaskGroup reports_;
  std::shared_ptr<Core> core_;
  bool hung_up_ = false;
};

}  // namespace telvane::linesvc
