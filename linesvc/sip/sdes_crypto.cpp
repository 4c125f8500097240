// SDES crypto attributes: our keys out, the answer's in, checked.
#include "linesvc/sip/sdes_crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>

#include "linesvc/sip/secret_text.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

namespace {

// 30 bytes are 40 characters of base64, without padding.
constexpr size_t kKeyTextLength = 40;
// The shortest key lifetime taken, in packets.
constexpr uint64_t kShortestLifetime = uint64_t{1} << 20;

bool IsDigits(std::string_view text, size_t most) {
  return !text.empty() && text.size() <= most && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

bool IsBase64(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '/';
  });
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const size_t end = std::min(text.find_first_of(" \t"), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return words;
}

// A lifetime: decimal, or "2^" and a power.
std::optional<uint64_t> Lifetime(std::string_view text) {
  const bool power = text.rfind("2^", 0) == 0;
  if (power) text.remove_prefix(2);
  if (!IsDigits(text, power ? 2 : 18)) return std::nullopt;
  const uint64_t value = std::stoull(std::string(text));
  if (!power) return value;
  return value < 64 ? std::optional<uint64_t>(uint64_t{1} << value) : std::nullopt;
}

// "inline:KEY[|LIFETIME][|MKI:LENGTH]" into *key.
bool ReadKeyParams(std::string_view params, SrtpKey* key, std::string* error) {
  if (params.find(';') != std::string_view::npos) {
    *error = "it holds several keys";
    return false;
  }
  if (params.rfind("inline:", 0) != 0) {
    *error = "its key is not given inline";
    return false;
  }
  params.remove_prefix(7);
  const std::string_view text = params.substr(0, params.find('|'));
  std::string_view rest = params.substr(text.size());
  if (text.size() != kKeyTextLength || !IsBase64(text)) {
    *error = "its key is not 30 bytes of base64";
    return false;
  }
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the '|'
    const std::string_view field = rest.substr(0, rest.find('|'));
    rest.remove_prefix(field.size());
    if (field.find(':') != std::string_view::npos) {
      *error = "its key has a master key identifier (MKI), which the line does not use";
      return false;
    }
    const std::optional<uint64_t> lifetime = Lifetime(field);
    if (!lifetime) {
      *error = "its key's lifetime cannot be read";
      return false;
    }
    if (*lifetime < kShortestLifetime) {
      *error = "its key's lifetime is shorter than 2^20 packets";
      return false;
    }
  }
  // 40 characters decode to 30 bytes and nothing more.
  std::array<uint8_t, kSrtpKeyBytes + 2> decoded{};
  const int length =
      EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  const bool ok = length == static_cast<int>(kSrtpKeyBytes);
  if (ok) std::copy_n(decoded.begin(), kSrtpKeyBytes, key->MutableBytes().begin());
  WipeMemory(decoded.data(), decoded.size());
  if (!ok) *error = "its key is not 30 bytes of base64";
  return ok;
}

// Session parameters that leave the transform as it is; others would change it.
bool ReadSessionParams(std::span<const std::string_view> params, std::string* error) {
  for (const std::string_view param : params) {
    const size_t equals = param.find('=');
    const std::string_view name = param.substr(0, equals);
    const bool harmless = param == "UNENCRYPTED_SRTCP" ||  // the line sends no RTCP
                          (name == "WSH" && equals != std::string_view::npos &&
                           IsDigits(param.substr(equals + 1), 9));
    if (!harmless) {
      *error = "it asks for " + SipPrintable(name, 40) + ", which the line does not support";
      return false;
    }
  }
  return true;
}

}  // namespace

const char* SrtpSuiteName(SrtpSuite suite) {
  return suite == SrtpSuite::kAesCm128HmacSha1_32 ? "AES_CM_128_HMAC_SHA1_32"
                                                  : "AES_CM_128_HMAC_SHA1_80";
}

SrtpKey::~SrtpKey() { WipeMemory(bytes_.data(), bytes_.size()); }

bool NewSdesCrypto(std::vector<SdesCrypto>* offered, std::string* error) {
  std::vector<SdesCrypto> made(2);
  made[0] = {1, SrtpSuite::kAesCm128HmacSha1_80, {}};
  made[1] = {2, SrtpSuite::kAesCm128HmacSha1_32, {}};
  for (SdesCrypto& crypto : made) {
    if (RAND_bytes(crypto.key.MutableBytes().data(), static_cast<int>(kSrtpKeyBytes)) != 1) {
      *error = "no SRTP key: the system's random source gives none";
      return false;
    }
  }
  *offered = std::move(made);
  return true;
}

std::string FormatSdesCrypto(const SdesCrypto& crypto) {
  std::array<unsigned char, kKeyTextLength + 1> text{};
  EVP_EncodeBlock(text.data(), crypto.key.Bytes().data(), static_cast<int>(kSrtpKeyBytes));
  std::string value = std::to_string(crypto.tag) + " " + SrtpSuiteName(crypto.suite) + " inline:" +
                      std::string(reinterpret_cast<const char*>(text.data()), kKeyTextLength);
  WipeMemory(text.data(), text.size());
  return value;
}

std::optional<SdesCrypto> ParseSdesCrypto(std::string_view value, std::string* error) {
  const std::vector<std::string_view> words = Words(value);
  if (words.size() < 3 || !IsDigits(words[0], 9)) {
    *error = "it cannot be read";
    return std::nullopt;
  }
  SdesCrypto crypto;
  crypto.tag = static_cast<uint32_t>(std::stoul(std::string(words[0])));
  if (words[1] == SrtpSuiteName(SrtpSuite::kAesCm128HmacSha1_80)) {
    crypto.suite = SrtpSuite::kAesCm128HmacSha1_80;
  } else if (words[1] == SrtpSuiteName(SrtpSuite::kAesCm128HmacSha1_32)) {
    crypto.suite = SrtpSuite::kAesCm128HmacSha1_32;
  } else {
    *error = "its suite " + SipPrintable(words[1], 40) + " is not one the line offers";
    return std::nullopt;
  }
  if (!ReadKeyParams(words[2], &crypto.key, error) ||
      !ReadSessionParams(std::span(words).subspan(3), error)) {
    return std::nullopt;
  }
  return crypto;
}

}  // namespace telvane::linesvc
