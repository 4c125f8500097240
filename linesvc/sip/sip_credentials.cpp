// The next hop of a request, and the challenges the line may answer.
#include "linesvc/sip/sip_credentials.h"

#include <vector>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sip_trace.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

// The values of every header of this kind, in the order the server wrote them.
std::vector<std::string_view> HeaderValues(const sip_msg& message, enum sip_hdrid id) {
  std::vector<std::string_view> values;
  sip_msg_hdr_apply(
      &message, true, id,
      [](const struct sip_hdr* header, const struct sip_msg*, void* arg) {
        static_cast<std::vector<std::string_view>*>(arg)->emplace_back(header->val.p,
                                                                       header->val.l);
        return false;  // go on with the next
      },
      &values);
  return values;
}

}  // namespace

SipHop NextHopOf(const SipSettings& settings, const SipUri& request_uri) {
  const SipUri& hop = settings.outbound ? *settings.outbound : request_uri;
  return {hop.host, PortOf(hop, settings.transport)};
}

bool MayAnswerChallengesFrom(const SipSettings& settings, const SipHop& hop) {
  if (settings.outbound) return true;  // every request goes through it
  return SameHost(hop.host, settings.account.host);
}

bool SameHost(std::string_view a, std::string_view b) { return platform::EqualsIgnoringCase(a, b); }

SipChallenges::SipChallenges(const SipSettings& settings, const SecretText& password, Log log)
    : settings_(settings), password_(password), log_(std::move(log)) {}

bool SipChallenges::Take(const sip_msg& response, const SipHop& hop, bool request_answered) {
  const bool proxy = response.scode == 407;
  const std::vector<std::string_view> values =
      HeaderValues(response, proxy ? SIP_HDR_PROXY_AUTHENTICATE : SIP_HDR_WWW_AUTHENTICATE);
  if (!MayAnswerChallengesFrom(settings_, hop)) {
    log_("challenge not answered: the request went to " + SipPrintable(hop.ToString(), 80) +
         ", and the line's credentials go only to " +
         (settings_.outbound ? "its outbound proxy" : "its own domain " + settings_.account.host));
    return false;
  }
  if (password_.Empty()) {
    log_("challenge not answered: the line has no password_file");
    return false;
  }
  if (++rounds_ > 4) {
    log_("challenge not answered: challenged again and again");
    return false;
  }
  const DigestAnswers::Taken taken =
      answers_.Take(proxy ? DigestHeader::kProxy : DigestHeader::kWww, values, settings_.auth_realm,
                    request_answered);
  const std::string realm = SipPrintable(taken.realm, 80);
  switch (taken.result) {
    case DigestAnswers::Result::kAnswered:
      log_("answering the challenge of realm " + realm + " as " + settings_.auth_user + " (" +
           DigestAlgorithmName(taken.algorithm) + ")");
      return true;
    case DigestAnswers::Result::kNoneUsable:
      log_("challenge not answered: none of its " + std::to_string(values.size()) +
           " digest challenges has an algorithm this line knows (MD5, SHA-256, SHA-512-256)");
      return false;
    case DigestAnswers::Result::kOtherRealm:
      log_("challenge not answered: realm " + realm + " is not the line's auth_realm " +
           SipPrintable(settings_.auth_realm, 80));
      return false;
    case DigestAnswers::Result::kRefusedAgain:
      log_("the credentials for realm " + realm + " were refused");
      return false;
  }
  return false;
}

std::string SipChallenges::Headers(std::string_view method, std::string_view uri) {
  return answers_.Headers(method, uri, settings_.auth_user, password_.View());
}

}  // namespace telvane::linesvc
