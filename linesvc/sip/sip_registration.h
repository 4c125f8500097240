// The registration of a SIP line's account for the length of one call (register = yes): a
// REGISTER to the account's domain (through the outbound proxy, if any), its challenges
// answered as SipChallenges allows, refreshed at half the time the registrar grants, and
// removed when the call hangs up. libre's own registration (sipreg) answers MD5 challenges of
// any host only.
//
// While registered, keep-alives every `keepalive` seconds hold the NAT's mapping towards the
// registrar open: a CRLF pair on the TCP or TLS connection (RFC 5626 3.5.1), an OPTIONS on UDP
// (any server answers one, where a STUN keep-alive needs a server that takes STUN on its SIP
// port). The responses tell `nat` how the registrar sees us (SipNat), and our Contact says so.
//
//   SipRegistration registration(sip, settings, password, tls, nat, route,
//                                {OnRegistered, core}, log);
//   registration.Register();                 // OnRegistered(0, 200) or the failure, once
//   registration.Unregister([] { ... });     // the binding removed (or nothing to remove)
//
// Libre thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "linesvc/sip/secret_text.h"
#include "linesvc/sip/sip_credentials.h"
#include "linesvc/sip/sip_nat.h"
#include "linesvc/sip/sip_settings.h"

struct sip;
struct sip_msg;
struct sip_dialog;
struct sip_request;

namespace telvane::linesvc {

class SipTls;

struct SipRegistrationHandler {
  // The first registration's outcome: a final response (a 2xx, or >= 300 with err 0, or
  // EACCES when its challenge was not answered), or a network error (err, no msg).
  void (*registered)(int err, const sip_msg* msg, void* arg);
  void* arg;
};

class SipRegistration {
 public:
  using Log = std::function<void(const std::string&)>;

  // `settings`, `password`, `tls` (null without TLS) and `nat` must outlive the registration.
  // `route` is the pre-loaded Route of every request (the outbound proxy or the registrar's
  // address when the line named it), or empty.
  SipRegistration(sip* stack, const SipSettings& settings, const SecretText& password, SipTls* tls,
                  SipNat& nat, std::string route, SipRegistrationHandler handler, const Log& log);
  // Sends nothing more; the refresh stops.
  ~SipRegistration();
  SipRegistration(const SipRegistration&) = delete;
  SipRegistration& operator=(const SipRegistration&) = delete;

  // Sends the REGISTER; 0 or an errno value.
  int Register();
  // Removes the binding if there is one, then calls `done`; at once when there is none.
  void Unregister(std::function<void()> done);

 private:
  int Send(uint32_t expires);
  void Finish(int err, const sip_msg* msg);
  void StartKeepAlive(const sip_msg& ok);
  void KeepAlive();
  SipHop Hop() const;

  struct Callbacks;  // libre's, in sip_registration.cpp

  sip* stack_;
  const SipSettings& settings_;
  SipTls* tls_;
  SipNat& nat_;
  SipRegistrationHandler handler_;
  Log log_;
  SipChallenges challenges_;
  std::string registrar_;  // the Request-URI: sip:domain
  std::string route_;
  sip_dialog* dialog_ = nullptr;
  struct sip_request* request_ = nullptr;  // libre clears it at the final response
  struct Timer;
  std::unique_ptr<Timer> refresh_;
  std::unique_ptr<Timer> keepalive_;
  struct sip_request* keepalive_request_ = nullptr;
  std::optional<SocketAddress> registrar_address_;  // where the keep-alives go
  uint32_t expires_ = 0;                            // of the REGISTER in flight
  bool registered_ = false;
  bool reported_ = false;
  std::function<void()> done_;  // while the binding is being removed
};

}  // namespace telvane::linesvc
