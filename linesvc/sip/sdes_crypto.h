// SDES keys for SRTP (RFC 4568): the `a=crypto` lines our offer carries and the one of the
// answer, for the two suites the line speaks, AES_CM_128_HMAC_SHA1_80 and _32 (RFC 3711).
//
//   std::vector<SdesCrypto> ours;
//   if (!NewSdesCrypto(&ours, &error)) ...          // fresh random keys, one per suite
//   sdp += "a=crypto:" + FormatSdesCrypto(ours[0]);  // "1 AES_CM_128_HMAC_SHA1_80 inline:..."
//   std::optional<SdesCrypto> theirs = ParseSdesCrypto(value_of_the_answer, &error);
//
// A key is 30 bytes, the AES master key (16) and the master salt (14), written in base64. What
// the far end writes is checked strictly: a key of another length, a character outside base64,
// a suite of another name, a master key identifier (MKI) or a session parameter that would change
// the transform is refused. Keys are secrets: SrtpKey wipes its bytes when it goes, and no
// error text ever holds a key. Plain functions: any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::linesvc {

enum class SrtpSuite { kAesCm128HmacSha1_80, kAesCm128HmacSha1_32 };
// As SDP writes it: "AES_CM_128_HMAC_SHA1_80".
const char* SrtpSuiteName(SrtpSuite suite);

inline constexpr size_t kSrtpKeyBytes = 30;

// A master key and salt. Copies are separate secrets, each wiped when it goes.
class SrtpKey {
 public:
  SrtpKey() = default;
  SrtpKey(const SrtpKey&) = default;
  SrtpKey& operator=(const SrtpKey&) = default;
  ~SrtpKey();

  std::span<const uint8_t, kSrtpKeyBytes> Bytes() const { return bytes_; }
  std::span<uint8_t, kSrtpKeyBytes> MutableBytes() { return bytes_; }

 private:
  std::array<uint8_t, kSrtpKeyBytes> bytes_{};
};

// One crypto attribute: its tag, suite and key.
struct SdesCrypto {
  uint32_t tag = 0;
  SrtpSuite suite = SrtpSuite::kAesCm128HmacSha1_80;
  SrtpKey key;
};

// The SRTP of an answered call: ours sealed with `send`, the callee's checked with `receive`.
struct SrtpKeys {
  SrtpSuite suite = SrtpSuite::kAesCm128HmacSha1_80;
  SrtpKey send;
  SrtpKey receive;
};

// Our offer's crypto: tag 1 with the 80-bit tag suite, tag 2 with the 32-bit one, each with a
// key of its own from the system's random source. False with the reason when none is to be had.
bool NewSdesCrypto(std::vector<SdesCrypto>* offered, std::string* error);

// The value of an a=crypto attribute (after "crypto:"), the key in base64 without padding.
std::string FormatSdesCrypto(const SdesCrypto& crypto);

// Reads the value of an a=crypto attribute; nullopt with a sentence in *error (never the key).
// A key's lifetime must be 2^20 packets at least (the line does not change keys during a call:
// that is over five hours of 20 ms packets).
std::optional<SdesCrypto> ParseSdesCrypto(std::string_view value, std::string* error);

}  // namespace telvane::linesvc
