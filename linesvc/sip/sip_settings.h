// The settings of a SIP line, read from its section of the lines file, and the rules that turn
// what the application dials into the request URI of an INVITE.
//
//   [line SIP Alerts]
//   driver = sip
//   uri = sip:alerts@pbx.example.org
//   password_file = ~/.config/telvane/alerts.password
//
//   SipSettings settings;
//   if (!ParseSipSettings(line.driver_keys, device_id, &settings, &error)) ...
//   std::optional<std::string> uri = RequestUri(settings, "555-1234");  // sip:5551234@pbx...
//
// Nothing here touches the network; the password file is read at each call (ReadPasswordFile),
// so a mended file counts from the next call. Plain data and functions: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/lines_file.h"
#include "linesvc/sip/secret_text.h"
#include "platform/tapi.h"

namespace telvane::linesvc {

enum class SipTransport { kUdp, kTcp, kTls };
// The URI parameter that names a transport other than UDP: ";transport=tcp", ";transport=tls".
const char* SipTransportParam(SipTransport transport);
enum class SipRegister { kNo, kYes };
enum class SipTlsVerify { kYes, kNo };
// How the remote side's keys reach the line: `kAuto` offers RFC 4733 telephone-events and
// listens in-band when the peer does not take them.
enum class SipDtmf { kAuto, kRfc4733, kInfo, kInband };
// The codecs a line may offer: G.711 (PCMU, PCMA) and G.722 (64 kbit/s).
enum class SipCodec { kPcmu, kPcma, kG722 };
// Whether the sound is encrypted (SRTP with SDES keys): `kOffer` offers keys in a way a peer
// without SRTP still takes, and encrypts when the answer takes them; `kRequired` offers only
// SRTP and fails the attempt when the answer does not take it.
enum class SipSrtp { kNo, kOffer, kRequired };

// The parts of a SIP URI that the driver needs; `user` may be empty.
struct SipUri {
  bool secure = false;  // sips:
  std::string user;
  std::string host;  // a name, an IPv4 address, or an IPv6 address in brackets
  std::optional<uint16_t> port;
  std::string params;  // ";name=value..." as written, or ""

  std::string HostPort() const;
  std::string ToString() const;
};

struct SipSettings {
  SipUri account;         // uri: who we are (From)
  std::string auth_user;  // the digest user name; the account's user by default
  std::string password_file;
  std::string auth_realm;          // when set, only challenges of this realm are answered
  std::optional<SipUri> outbound;  // every request goes through this proxy
  SipTransport transport = SipTransport::kUdp;
  std::string tls_ca_file;  // trusted instead of the system's certificate authorities
  SipTlsVerify tls_verify = SipTlsVerify::kYes;
  SipRegister registration = SipRegister::kNo;
  int keepalive_s = 25;  // while registered: how often the NAT's mapping is refreshed; 0: never
  std::optional<SipUri> stun_server;  // host and port only: asked where we are seen
  std::string dial_domain;            // host[:port] of request URIs made from numbers
  std::string dial_prefix;
  int ring_timeout_s = 60;
  std::vector<SipCodec> codecs = {SipCodec::kPcmu, SipCodec::kPcma};
  SipDtmf dtmf = SipDtmf::kAuto;
  SipSrtp srtp = SipSrtp::kNo;  // without the key: kOffer with TLS, else kNo
  uint16_t rtp_port_low = 10000;
  uint16_t rtp_port_high = 20000;
  int rtp_timeout_s = 10;  // no RTP from the callee this long ends the call; 0: never
  DWORD wave_id = 0;
};

// The port a request to `uri` goes to: its own, else 5061 for TLS (or sips:), else 5060.
uint16_t PortOf(const SipUri& uri, SipTransport transport);

// Parses a SIP URI with the strict syntax the driver accepts: scheme sip or sips, an optional
// user of unreserved or %-escaped characters, a host, a port, and ";name[=value]" parameters
// of token characters. No headers ('?'), blanks, quotes, angle brackets or line breaks.
std::optional<SipUri> ParseSipUri(std::string_view text);

// Reads the keys of a SIP line; false with the reason in *error. `device_id` is the default
// wave device number.
bool ParseSipSettings(const std::vector<DriverKey>& keys, DWORD device_id, SipSettings* settings,
                      std::string* error);

// The request URI for a dialled address, or nullopt when the address may not be dialled on a
// SIP line. A full sip:/sips: URI is used as it is (if it passes ParseSipUri); a number may
// hold digits, '*', '#', '+', A-D and the separators "-.()" (dropped), gets the dial prefix,
// and goes to the dial domain, else to the account's host and port. Anything else that
// starts with a letter and holds only letters, digits and "-_.!~*'()" is a user name, called
// as written at the same domain ("callee" -> sip:callee@domain) without the prefix.
std::optional<std::string> RequestUri(const SipSettings& settings, std::string_view dialled);

// Reads the password from `path`: the file must belong to the user and be readable by nobody
// else (no group or other permission bits). The password is the first line, without its line
// break; what was read is wiped once the password is taken. False with a reason that never
// holds the file's contents.
bool ReadPasswordFile(const std::string& path, SecretText* password, std::string* error);

// The codec's name in SDP: "PCMU", "PCMA", "G722".
const char* CodecName(SipCodec codec);

}  // namespace telvane::linesvc
