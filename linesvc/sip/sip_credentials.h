// Whom a SIP line's credentials may go to, and the digest challenges answered with them.
//
// A request goes first to its next hop: the outbound proxy when the line has one, else the
// host of its Request-URI. A challenge is answered only on a request whose next hop the line's
// own settings name: the outbound proxy, or without one the host of the account's domain (the
// `uri` key; any port of that host, as a digest's protection space is a realm on a host). Neither a
// dialled URI, nor a dial domain on another host, nor a redirect can make the line hand its
// credentials (a digest response, which can be attacked offline for the password) to anyone else;
// `auth_realm` narrows them to one realm.
//
//   SipChallenges challenges(settings, password, log);
//   if (challenges.Take(*response, NextHopOf(settings, *target)))
//     resend with challenges.Headers("INVITE", target_text);
//
// Libre thread only (SipChallenges reads libre's messages); the free functions are plain.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "linesvc/sip/secret_text.h"
#include "linesvc/sip/sip_digest.h"
#include "linesvc/sip/sip_settings.h"

struct sip_msg;

namespace telvane::linesvc {

// Where a request is sent first: a host (as written, IPv6 in brackets) and its port, the
// default of the transport when the URI gives none.
struct SipHop {
  std::string host;
  uint16_t port = 0;

  std::string ToString() const { return host + ":" + std::to_string(port); }
};

SipHop NextHopOf(const SipSettings& settings, const SipUri& request_uri);

// Whether the line's credentials may answer a challenge to a request sent to `hop`.
bool MayAnswerChallengesFrom(const SipSettings& settings, const SipHop& hop);

// Whether two hosts are the same, letter case aside.
bool SameHost(std::string_view a, std::string_view b);

class SipChallenges {
 public:
  using Log = std::function<void(const std::string&)>;

  // Reads `settings` and `password` at each call: both must outlive this object.
  SipChallenges(const SipSettings& settings, const SecretText& password, Log log);

  // The 401 or 407 `response` to a request sent to `hop` (with our answers, or without them:
  // `request_answered`): true when the request may be sent again with Headers(); false when
  // not, and why in the log.
  bool Take(const sip_msg& response, const SipHop& hop, bool request_answered = true);

  // The Authorization and Proxy-Authorization lines ("Name: value\r\n") for a request (empty
  // before any challenge was taken).
  std::string Headers(std::string_view method, std::string_view uri);

 private:
  const SipSettings& settings_;
  const SecretText& password_;
  Log log_;
  DigestAnswers answers_;
  int rounds_ = 0;
};

}  // namespace telvane::linesvc
