// The INVITE side of one SIP call over libre's transactions and dialogs: what libre's session
// module (sipsess) did for the driver, with the line's own rules where sipsess has fixed ones.
// sipsess answers digest challenges with MD5 only, gives up at the first challenge of another
// algorithm, answers any host, and follows a 3xx by itself: it sends the INVITE again to the
// redirect's Contact, whatever host that names, and answers that host's challenge too.
//
//   SipCallLeg leg(sip, settings, password, tls, handlers, log);  // takes every request now
//   leg.Invite(invite);        // handlers: progress, established, info, media, lost, closed
//   leg.Terminate();           // CANCEL before the answer, BYE after it; no handler after it
//   leg.WhenDone(callback);    // once the CANCEL's or the BYE's transaction has ended
//
// Before the answer: a provisional response sent reliably (Require: 100rel, RFC 3262) gets its
// PRACK in its early dialog, once per RSeq and in order; a 422 is answered by asking again for
// the longer session interval it names.
//
// In the answered call: a re-INVITE or an UPDATE with an offer the offer handler takes is
// answered 200 with the handler's answer; one without an offer, 200 (an UPDATE's without SDP, a
// re-INVITE's with our offer, whose answer the ACK brings to the answer handler). A re-INVITE's
// 200 is sent again until its ACK. An offer the handler refuses gets 488 and the call goes on
// as it was; an offer while ours awaits its answer gets 491. OPTIONS, in the call or not, gets 200
// with what the line takes. Session timers (RFC 4028, sip_session_timer.h): the INVITE asks for
// one, the side the 2xx names refreshes (we by UPDATE), and a session nobody renewed ends with BYE
// ("lost").
//
// Other requests that are not the call's are answered at once, and never reach the console: an
// INVITE with 486 (the line only places calls), requests of a dialog that does not exist with
// 481, other methods with 501.
//
// A 401 or 407 is answered as SipChallenges allows (sip_credentials.h). A 3xx is followed
// only to the host the INVITE was sent to, three times at most; a redirect to another host
// ends the call with the 3xx, its target in the log.
//
// Libre thread only; the handlers are called there, never after Terminate or the destructor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/sip/secret_text.h"
#include "linesvc/sip/sip_credentials.h"
#include "linesvc/sip/sip_nat.h"
#include "linesvc/sip/sip_session_timer.h"
#include "linesvc/sip/sip_settings.h"

struct sip;
struct sip_msg;
struct sip_dialog;
struct sip_request;
struct sip_lsnr;

namespace telvane::linesvc {

class SipInviteOk;
class SipTls;

struct SipInvite {
  std::string target;           // the Request-URI
  std::string from;             // our address of record
  std::string contact_user;     // the user part of our Contact
  std::string route;            // the outbound proxy's URI, or empty
  std::string sdp;              // the offer
  std::string headers;          // more header lines, each ending in CRLF
  const SipNat* nat = nullptr;  // writes our Contact as seen from outside; must outlive the leg
};

// What the call hears.
struct SipCallLegHandlers {
  void (*progress)(const sip_msg* msg, void* arg);  // a 1xx
  // A 2xx, and the answer's SDP: the 2xx's own, or with none there, the SDP of a reliable
  // provisional response of the same dialog (RFC 3262: that was the answer).
  void (*established)(const sip_msg* msg, std::string_view sdp, void* arg);
  void (*info)(sip* stack, const sip_msg* msg, void* arg);  // an INFO of the call: reply to it
  // A new offer of the far end in the answered call (re-INVITE, UPDATE): the body of our
  // answer when the call takes it (the sound follows it), nullopt when it does not (the
  // request is refused, the call unchanged).
  std::optional<std::string> (*offer)(std::string_view sdp, void* arg);
  // The body of our offer, for the 200 to a re-INVITE that holds none.
  std::string (*our_offer)(void* arg);
  // The answer to that offer, in the ACK.
  void (*answer)(std::string_view sdp, void* arg);
  // The session ended without the far end's BYE (no refresh in time, a refresh that it no
  // longer knew, our 2xx never acknowledged); the leg has sent BYE, the reason is in the log.
  void (*lost)(void* arg);
  // The call is over: a final response >= 300 (err 0, or EACCES when its challenge was not
  // answered), the far end's BYE (msg is the request), or a network error (err, no msg).
  void (*closed)(int err, const sip_msg* msg, void* arg);
  void* arg;
};

class SipCallLeg {
 public:
  using Log = std::function<void(const std::string&)>;

  // `settings`, `password` and `tls` (null without TLS) must outlive the leg.
  SipCallLeg(sip* stack, const SipSettings& settings, const SecretText& password, SipTls* tls,
             const SipCallLegHandlers& handlers, const Log& log);
  // Sends nothing more; whatever is open is dropped.
  ~SipCallLeg();
  SipCallLeg(const SipCallLeg&) = delete;
  SipCallLeg& operator=(const SipCallLeg&) = delete;

  // Sends the INVITE; 0 or an errno value.
  int Invite(SipInvite invite);
  // Ends the call: CANCEL before the answer (sent once a provisional response came), BYE
  // after it, nothing when the call is over already. Once only; no handler is called after it.
  void Terminate();
  // Calls `done` once nothing of the call is open any more: at once, or when the CANCELled
  // INVITE or the BYE has its final response.
  void WhenDone(std::function<void()> done);

 private:
  // A provisional response sent reliably, in one early dialog.
  struct EarlyDialog {
    std::string tag;  // the far end's (To) tag
    sip_dialog* dialog = nullptr;
    uint32_t rseq = 0;  // the last RSeq acknowledged
    std::string sdp;    // the last SDP one carried
  };

  // A call that another phone answered as well (the INVITE forked): ended at once, in a
  // dialog of its own.
  struct OtherFork {
    std::string tag;  // its (To) tag
    sip_dialog* dialog = nullptr;
    struct sip_request* bye = nullptr;  // libre clears it at the final response
  };

  int SendInvite();
  // The ACK of the 2xx `ok`, in `dialog` (the call's, or another fork's).
  void SendAck(const sip_msg& ok, sip_dialog* dialog);
  // A 2xx to the INVITE after the call was answered: ours again (our ACK was lost), or another
  // fork's, which gets its ACK and a BYE.
  void TakeLateOk(const sip_msg& ok);
  // The BYE; with `answering`, with the answer to the challenge its first sending got.
  void SendBye(bool answering = false);
  bool FollowRedirect(const sip_msg& response);
  bool AskLongerInterval(const sip_msg& response);
  // Whether a 1xx is to be taken: false for a reliable one already acknowledged or out of
  // order. A reliable one is acknowledged here (PRACK).
  bool TakeProvisional(const sip_msg& response);
  // The dialog of a 2xx: its early dialog, or a new one. False when libre cannot make it.
  bool Confirm(const sip_msg& ok);
  void ClearEarlyDialogs();
  void AgreeSessionTimer(const sip_msg& response);
  void SendRefresh();

  void OnDialogRequest(const sip_msg& request);
  void OnSessionRequest(const sip_msg& request);
  void OnAck(const sip_msg& ack);
  void ReplyOptions(const sip_msg& request);
  // The Session-Expires (and Require) lines of our 2xx to a refresh of the far end, whose
  // interval starts now; empty when it asks for no session timer.
  std::string AgreeSessionTimerOf(const sip_msg& request);
  // The Content-Type and Content-Length lines, the blank line and `body`.
  static std::string WithSdp(const std::string& body);
  void Lose(const std::string& why);

  void Close(int err, const sip_msg* msg);
  void Done();
  SipHop Hop() const;

  struct Callbacks;  // libre's, in sip_call_leg.cpp

  sip* stack_;
  const SipSettings& settings_;
  SipTls* tls_;
  SipCallLegHandlers handlers_;
  Log log_;
  SipChallenges challenges_;
  SipInvite invite_;
  std::string to_;             // the first target: the To of every INVITE, redirected or not
  std::string credentials_;    // the last INVITE's Authorization lines, for its ACK
  std::string remote_target_;  // the 2xx's Contact: the Request-URI of our requests in the call
  std::string remote_tag_;     // the 2xx's To tag
  std::vector<OtherFork> other_forks_;
  sip_lsnr* requests_ = nullptr;
  sip_lsnr* responses_ = nullptr;
  // The INVITE's dialog: what the 2xx confirms (early dialogs are made from it before that).
  sip_dialog* dialog_ = nullptr;
  // Once the call is answered, the INVITE's own, unconfirmed: another fork's dialog is made
  // from it.
  sip_dialog* invite_dialog_ = nullptr;
  std::vector<EarlyDialog> early_;
  std::string early_sdp_;  // the SDP of the reliable provisional responses of the 2xx's dialog
  struct sip_request* request_ = nullptr;  // the INVITE's; libre clears it at the final response
  struct sip_request* bye_ = nullptr;      // likewise
  struct sip_request* refresh_ = nullptr;  // likewise
  int redirects_ = 0;
  bool bye_challenged_ = false;
  uint32_t session_expires_ = kSessionExpiresAsked;  // what the INVITE asks for
  uint32_t min_se_ = kSessionExpiresMinimum;         // the least the far end takes
  int interval_retries_ = 0;                         // 422s answered
  SipSessionTimer session_timer_;
  std::unique_ptr<SipInviteOk> ok_;  // our 2xx to the last re-INVITE, until its ACK
  bool established_ = false;
  bool over_ = false;        // the far end ended it, it failed, or the session was lost
  bool terminated_ = false;  // Terminate was called
  std::function<void()> done_;
};

}  // namespace telvane::linesvc
