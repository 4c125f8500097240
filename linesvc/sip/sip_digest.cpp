// Digest challenges and answers, with OpenSSL's hashes.
#include "linesvc/sip/sip_digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include "linesvc/sip/secret_text.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

constexpr size_t kLongestValue = 512;

struct AlgorithmName {
  DigestAlgorithm algorithm;
  const char* name;
};
constexpr AlgorithmName kAlgorithms[] = {
    {DigestAlgorithm::kMd5, "MD5"},
    {DigestAlgorithm::kMd5Sess, "MD5-sess"},
    {DigestAlgorithm::kSha256, "SHA-256"},
    {DigestAlgorithm::kSha256Sess, "SHA-256-sess"},
    {DigestAlgorithm::kSha512_256, "SHA-512-256"},
    {DigestAlgorithm::kSha512_256Sess, "SHA-512-256-sess"},
};

bool IsSession(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kMd5Sess || algorithm == DigestAlgorithm::kSha256Sess ||
         algorithm == DigestAlgorithm::kSha512_256Sess;
}

const EVP_MD* HashOf(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kSha256:
    case DigestAlgorithm::kSha256Sess:
      return EVP_sha256();
    case DigestAlgorithm::kSha512_256:
    case DigestAlgorithm::kSha512_256Sess:
      return EVP_sha512_256();
    case DigestAlgorithm::kMd5:
    case DigestAlgorithm::kMd5Sess:
      break;
  }
  return EVP_md5();
}

// One hash over parts joined by ':', as hex; the parts are fed where they lie.
class Hash {
 public:
  explicit Hash(DigestAlgorithm algorithm) : context_(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(context_.get(), HashOf(algorithm), nullptr);
  }
  Hash& Then(std::string_view part) {
    if (!first_) EVP_DigestUpdate(context_.get(), ":", 1);
    first_ = false;
    EVP_DigestUpdate(context_.get(), part.data(), part.size());
    return *this;
  }
  // Lower-case hex, as the digest's strings are.
  std::string Hex() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_.get(), digest.data(), &size);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (unsigned int i = 0; i < size; ++i) {
      hex += kDigits[digest[i] >> 4];
      hex += kDigits[digest[i] & 0xF];
    }
    WipeMemory(digest.data(), digest.size());
    return hex;
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
  bool first_ = true;
};

// A quoted-string of a header: '\' before '"' and '\'.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool IsTokenChar(char c) {
  return !IsControl(c) && !IsBlank(c) &&
         std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

// Reads "name=value" parameters separated by commas, as the challenge writes them.
class ParamReader {
 public:
  explicit ParamReader(std::string_view text) : text_(text) {}

  bool AtEnd() {
    SkipBlanks();
    return text_.empty();
  }

  std::string_view Token() {
    SkipBlanks();
    size_t length = 0;
    while (length < text_.size() && IsTokenChar(text_[length])) ++length;
    const std::string_view token = text_.substr(0, length);
    text_.remove_prefix(length);
    return token;
  }

  bool Take(char c) {
    SkipBlanks();
    if (text_.empty() || text_.front() != c) return false;
    text_.remove_prefix(1);
    return true;
  }

  // A token or a quoted-string, unescaped; false when it is malformed or holds a control
  // character.
  bool Value(std::string* value) {
    SkipBlanks();
    value->clear();
    if (text_.empty() || text_.front() != '"') {
      const std::string_view token = Token();
      value->assign(token);
      return !token.empty();
    }
    text_.remove_prefix(1);
    while (!text_.empty() && text_.front() != '"') {
      char c = text_.front();
      text_.remove_prefix(1);
      if (c == '\\') {
        if (text_.empty()) return false;
        c = text_.front();
        text_.remove_prefix(1);
      }
      if (IsControl(c) || value->size() >= kLongestValue) return false;
      *value += c;
    }
    return Take('"');
  }

 private:
  void SkipBlanks() {
    while (!text_.empty() && IsBlank(text_.front())) text_.remove_prefix(1);
  }
  std::string_view text_;
};

std::optional<DigestAlgorithm> AlgorithmNamed(std::string_view name) {
  const auto* entry = std::find_if(
      std::begin(kAlgorithms), std::end(kAlgorithms),
      [&](const AlgorithmName& e) { return platform::EqualsIgnoringCase(name, e.name); });
  if (entry == std::end(kAlgorithms)) return std::nullopt;
  return entry->algorithm;
}

bool OffersAuth(std::string_view qop) {
  size_t start = 0;
  while (start <= qop.size()) {
    const size_t comma = std::min(qop.find(',', start), qop.size());
    if (platform::EqualsIgnoringCase(platform::Trim(qop.substr(start, comma - start)), "auth")) {
      return true;
    }
    start = comma + 1;
  }
  return false;
}

std::string NewCnonce() {
  std::array<unsigned char, 16> bytes{};
  RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

}  // namespace

const char* DigestAlgorithmName(DigestAlgorithm algorithm) {
  const auto* entry =
      std::find_if(std::begin(kAlgorithms), std::end(kAlgorithms),
                   [&](const AlgorithmName& e) { return e.algorithm == algorithm; });
  return entry != std::end(kAlgorithms) ? entry->name : "MD5";
}

std::optional<DigestChallenge> ParseDigestChallenge(std::string_view value) {
  ParamReader reader(value);
  if (!platform::EqualsIgnoringCase(reader.Token(), "Digest")) return std::nullopt;
  DigestChallenge challenge;
  bool have_realm = false;
  bool have_nonce = false;
  bool have_qop = false;
  bool first = true;
  while (!reader.AtEnd()) {
    if (!first && !reader.Take(',')) return std::nullopt;
    first = false;
    if (reader.AtEnd()) break;  // a trailing comma
    const std::string name = platform::LowerCase(reader.Token());
    std::string text;
    if (name.empty() || !reader.Take('=') || !reader.Value(&text)) return std::nullopt;
    if (name == "realm") {
      challenge.realm = std::move(text);
      have_realm = true;
    } else if (name == "nonce") {
      challenge.nonce = std::move(text);
      have_nonce = true;
    } else if (name == "opaque") {
      challenge.opaque = std::move(text);
    } else if (name == "algorithm") {
      const std::optional<DigestAlgorithm> algorithm = AlgorithmNamed(text);
      if (!algorithm) return std::nullopt;
      challenge.algorithm = *algorithm;
    } else if (name == "qop") {
      have_qop = true;
      challenge.qop_auth = OffersAuth(text);
    } else if (name == "stale") {
      challenge.stale = platform::EqualsIgnoringCase(text, "true");
    }
  }
  // Only auth-int offered, or a session algorithm without the cnonce that qop brings.
  if (have_qop && !challenge.qop_auth) return std::nullopt;
  if (IsSession(challenge.algorithm) && !challenge.qop_auth) return std::nullopt;
  if (!have_realm || !have_nonce) return std::nullopt;
  return challenge;
}

std::string DigestAuthorization(const DigestChallenge& challenge, const DigestRequest& request) {
  const DigestAlgorithm algorithm = challenge.algorithm;
  std::string first =
      Hash(algorithm).Then(request.user).Then(challenge.realm).Then(request.password).Hex();
  if (IsSession(algorithm)) {
    std::string session =
        Hash(algorithm).Then(first).Then(challenge.nonce).Then(request.cnonce).Hex();
    WipeMemory(first.data(), first.size());
    first.swap(session);
  }
  const std::string second = Hash(algorithm).Then(request.method).Then(request.uri).Hex();
  char count[9] = {};
  std::snprintf(count, sizeof count, "%08x", request.count);
  Hash response(algorithm);
  response.Then(first).Then(challenge.nonce);
  if (challenge.qop_auth) response.Then(count).Then(request.cnonce).Then("auth");
  const std::string answer = response.Then(second).Hex();
  WipeMemory(first.data(), first.size());

  std::string header = "Digest username=" + Quoted(request.user) +
                       ", realm=" + Quoted(challenge.realm) + ", nonce=" + Quoted(challenge.nonce) +
                       ", uri=" + Quoted(request.uri) + ", response=\"" + answer +
                       "\", algorithm=" + DigestAlgorithmName(algorithm);
  if (challenge.qop_auth) {
    header += ", cnonce=" + Quoted(request.cnonce) + ", qop=auth, nc=" + count;
  }
  if (challenge.opaque) header += ", opaque=" + Quoted(*challenge.opaque);
  return header;
}

DigestAnswers::Taken DigestAnswers::Take(DigestHeader header,
                                         const std::vector<std::string_view>& values,
                                         std::string_view pinned_realm, bool request_answered) {
  std::optional<DigestChallenge> chosen;
  Taken taken;
  bool any = false;
  for (const std::string_view value : values) {
    std::optional<DigestChallenge> challenge = ParseDigestChallenge(value);
    if (!challenge) continue;
    if (!any) taken.realm = challenge->realm;
    any = true;
    if (pinned_realm.empty() || challenge->realm == pinned_realm) {
      chosen = std::move(challenge);
      break;
    }
  }
  if (!chosen) {
    taken.result = any ? Result::kOtherRealm : Result::kNoneUsable;
    return taken;
  }
  taken.realm = chosen->realm;
  taken.algorithm = chosen->algorithm;
  taken.result = Result::kAnswered;
  for (Answer& answer : answers_) {
    if (answer.header != header || answer.challenge.realm != chosen->realm) continue;
    if (!chosen->stale && request_answered) {
      taken.result = Result::kRefusedAgain;
    } else {
      answer = Answer{header, std::move(*chosen), NewCnonce(), 0};
    }
    return taken;
  }
  answers_.push_back(Answer{header, std::move(*chosen), NewCnonce(), 0});
  return taken;
}

std::string DigestAnswers::Headers(std::string_view method, std::string_view uri,
                                   std::string_view user, std::string_view password) {
  std::string lines;
  for (Answer& answer : answers_) {
    ++answer.count;
    lines += answer.header == DigestHeader::kProxy ? "Proxy-Authorization: " : "Authorization: ";
    lines += DigestAuthorization(answer.challenge,
                                 {method, uri, user, password, answer.cnonce, answer.count});
    lines += "\r\n";
  }
  return lines;
}

}  // namespace telvane::linesvc
