// The INVITE side of one SIP call over libre's transactions and dialogs: what libre's session
// module (sipsess) did for the driver, with the line's own rules where sipsess has fixed ones.
// sipsess answers digest challenges with MD5 only, gives up at the first challenge of another
// algorithm, answers any host, and follows a 3xx by itself: it sends the INVITE again to the
// redirect's Contact, whatever host that names, and answers that host's challenge too.
//
//   SipCallLeg leg(sip, settings, password, tls, handlers, log);  // takes every request now
//   leg.Invite(invite);        // handlers: progress, established, info, closed
//   leg.Terminate();           // CANCEL before the answer, BYE after it; no handler after it
//   leg.WhenDone(callback);    // once the CANCEL's or the BYE's transaction has ended
//
// Requests that are not the call's are answered at once, and never reach the console: an
// INVITE with 486 (the line only places calls), requests of a dialog that does not exist
// with 481, other methods (OPTIONS, UPDATE...) with 501.
//
// A 401 or 407 is answered as SipChallenges allows (sip_credentials.h). A 3xx is followed
// only to the host the INVITE was sent to, three times at most; a redirect to another host
// ends the call with the 3xx, its target in the log.
//
// Libre thread only; the handlers are called there, never after Terminate or the destructor.
#pragma once

#include <functional>
#include <string>

#include "linesvc/sip/secret_text.h"
#include "linesvc/sip/sip_credentials.h"
#include "linesvc/sip/sip_nat.h"
#include "linesvc/sip/sip_settings.h"

struct sip;
struct sip_msg;
struct sip_dialog;
struct sip_request;
struct sip_lsnr;

namespace telvane::linesvc {

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

// What the call hears, as libre's session module told it.
struct SipCallLegHandlers {
  void (*progress)(const sip_msg* msg, void* arg);          // a 1xx
  void (*established)(const sip_msg* msg, void* arg);       // a 2xx, with the answer's SDP
  void (*info)(sip* stack, const sip_msg* msg, void* arg);  // an INFO of the call: reply to it
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
  int SendInvite();
  void SendAck(const sip_msg& ok);
  void SendBye();
  bool FollowRedirect(const sip_msg& response);
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
  std::string to_;           // the first target: the To of every INVITE, redirected or not
  std::string credentials_;  // the last INVITE's Authorization lines, for its ACK
  sip_lsnr* requests_ = nullptr;
  sip_lsnr* responses_ = nullptr;
  sip_dialog* dialog_ = nullptr;
  struct sip_request* request_ = nullptr;  // the INVITE's; libre clears it at the final response
  struct sip_request* bye_ = nullptr;      // likewise
  int redirects_ = 0;
  bool established_ = false;
  bool over_ = false;        // the far end ended it, or it failed: nothing to send
  bool terminated_ = false;  // Terminate was called
  std::function<void()> done_;
};

}  // namespace telvane::linesvc
