// Digest authentication as a SIP client answers it (RFC 3261 section 22, RFC 7616 for the
// algorithms, RFC 8760 for SHA-256 and SHA-512/256 in SIP): the challenges of a 401's
// WWW-Authenticate or a 407's Proxy-Authenticate headers, the choice among them, and the
// Authorization or Proxy-Authorization header of the request sent again.
//
//   DigestAnswers answers;
//   if (answers.Take(DigestHeader::kWww, challenge_values, pinned_realm).result ==
//       DigestAnswers::Result::kAnswered) {
//     extra_headers = answers.Headers("INVITE", "sip:bob@pbx.example.org", "alerts",
//                                     password.View());
//   }
//
// The server lists its challenges in the order it prefers them (SHA-256 before MD5, say); the
// first one of an algorithm this client knows is answered, the others are skipped. The password
// is read where it lies and hashed at once; what is derived from it alone (the first hash,
// which opens the realm as the password does) is wiped after use.
//
// Plain data and functions: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::linesvc {

enum class DigestAlgorithm { kMd5, kMd5Sess, kSha256, kSha256Sess, kSha512_256, kSha512_256Sess };

// "MD5", "SHA-256-sess", ... as written in the headers.
const char* DigestAlgorithmName(DigestAlgorithm algorithm);

struct DigestChallenge {
  DigestAlgorithm algorithm = DigestAlgorithm::kMd5;
  std::string realm;
  std::string nonce;
  std::optional<std::string> opaque;
  bool qop_auth = false;  // the server asks for qop=auth; without it, the older RFC 2069 form
  bool stale = false;     // the nonce was old, the credentials were fine
};

// The challenge of one WWW-Authenticate or Proxy-Authenticate value, or nullopt when it is not
// one this client may answer: another scheme, an unknown algorithm, a qop without "auth", a
// missing realm or nonce, or a value that could not be sent back safely (a control character,
// a line break, more than 512 characters).
std::optional<DigestChallenge> ParseDigestChallenge(std::string_view value);

// What a response is computed over.
struct DigestRequest {
  std::string_view method;  // "INVITE", "REGISTER", ...
  std::string_view uri;     // the Request-URI as sent
  std::string_view user;
  std::string_view password;
  std::string_view cnonce;  // with qop=auth: fresh for each challenge
  uint32_t count = 1;       // nc: how many requests this nonce has answered, this one included
};

// The header value "Digest username=..., response=..." answering the challenge.
std::string DigestAuthorization(const DigestChallenge& challenge, const DigestRequest& request);

enum class DigestHeader { kWww, kProxy };  // 401 and Authorization, 407 and Proxy-Authorization

// The challenges one request was asked, kept to answer the request sent again and the requests
// after it (the same nonce with a higher count).
class DigestAnswers {
 public:
  enum class Result {
    kAnswered,      // a challenge was chosen
    kNoneUsable,    // no challenge this client can answer
    kOtherRealm,    // none of the pinned realm; `realm` names the first one offered
    kRefusedAgain,  // a realm already answered was challenged anew without a stale nonce:
                    // the credentials were refused
  };
  struct Taken {
    Result result = Result::kNoneUsable;
    std::string realm;
    DigestAlgorithm algorithm = DigestAlgorithm::kMd5;
  };

  // Takes the challenge values of one response. An empty `pinned_realm` takes any realm.
  // `request_answered` says whether the challenged request carried our answers: a request sent
  // without them (a BYE after the INVITE's) is challenged afresh, not refused.
  Taken Take(DigestHeader header, const std::vector<std::string_view>& values,
             std::string_view pinned_realm, bool request_answered = true);

  // The header lines ("Authorization: Digest ...\r\n") of the next request, one per realm
  // answered; each call counts one more use of each nonce.
  std::string Headers(std::string_view method, std::string_view uri, std::string_view user,
                      std::string_view password);

  bool Empty() const { return answers_.empty(); }

 private:
  struct Answer {
    DigestHeader header;
    DigestChallenge challenge;
    std::string cnonce;
    uint32_t count = 0;
  };
  std::vector<Answer> answers_;
};

}  // namespace telvane::linesvc
