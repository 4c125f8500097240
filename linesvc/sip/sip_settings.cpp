// The keys of a SIP line, the dial rules and the password file.
#include "linesvc/sip/sip_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

#include "linesvc/driver_keys.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

bool IsIn(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

bool IsAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// RFC 3261 "token" characters: what a URI parameter name or value may be made of here.
bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return IsAlnum(c) || IsIn(c, "-.!%*_+`'~"); });
}

// The user part: unreserved characters, %-escapes, and the user-unreserved ones that cannot
// end a part of the request line or start a parameter or header ('&', '=', '+', '$', ',', '/').
bool IsUser(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return false;
      }
      i += 2;
      continue;
    }
    if (!IsAlnum(c) && !IsIn(c, "-_.!~*'()&=+$,/")) return false;
  }
  return true;
}

bool IsHost(std::string_view text) {
  if (text.empty()) return false;
  if (text.front() == '[') {
    return text.size() > 2 && text.back() == ']' &&
           std::all_of(text.begin() + 1, text.end() - 1, [](char c) {
             return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
           });
  }
  return std::all_of(text.begin(), text.end(), [](char c) { return IsAlnum(c) || IsIn(c, "-."); });
}

bool ParsePort(std::string_view text, uint16_t* port) {
  int64_t value = 0;
  if (!platform::ParseInteger(text, 1, 65535, &value)) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseParams(std::string_view text) {
  // ";name" or ";name=value", repeated; an empty list is fine.
  while (!text.empty()) {
    if (text.front() != ';') return false;
    text.remove_prefix(1);
    const size_t next = std::min(text.find(';'), text.size());
    const std::string_view param = text.substr(0, next);
    const size_t eq = param.find('=');
    if (!IsToken(param.substr(0, eq))) return false;
    if (eq != std::string_view::npos && !IsToken(param.substr(eq + 1))) return false;
    text.remove_prefix(next);
  }
  return true;
}

// host[:port], as the dial domain or an outbound proxy without scheme.
bool SplitHostPort(std::string_view text, std::string* host, std::optional<uint16_t>* port) {
  const size_t bracket = text.rfind(']');
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    uint16_t value = 0;
    if (!ParsePort(text.substr(colon + 1), &value)) return false;
    *port = value;
    text = text.substr(0, colon);
  }
  if (!IsHost(text)) return false;
  *host = std::string(text);
  return true;
}

std::string ExpandHome(const std::string& path) {
  if (path.rfind("~/", 0) != 0) return path;
  const char* home = std::getenv("HOME");
  return home == nullptr ? path : std::string(home) + path.substr(1);
}

}  // namespace

std::string SipUri::HostPort() const { return port ? host + ":" + std::to_string(*port) : host; }

std::string SipUri::ToString() const {
  return std::string(secure ? "sips:" : "sip:") + (user.empty() ? "" : user + "@") + HostPort() +
         params;
}

uint16_t PortOf(const SipUri& uri, SipTransport transport) {
  if (uri.port) return *uri.port;
  return uri.secure || transport == SipTransport::kTls ? 5061 : 5060;
}

std::optional<SipUri> ParseSipUri(std::string_view text) {
  SipUri uri;
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;  // "sip" alone is no URI
  const std::string scheme = platform::LowerCase(text.substr(0, colon));
  if (scheme != "sip" && scheme != "sips") return std::nullopt;
  uri.secure = scheme == "sips";
  text.remove_prefix(colon + 1);
  const size_t at = text.find('@');
  if (at != std::string_view::npos) {
    uri.user = std::string(text.substr(0, at));
    if (uri.user.empty() || !IsUser(uri.user)) return std::nullopt;
    text.remove_prefix(at + 1);
  }
  const size_t semicolon = std::min(text.find(';'), text.size());
  if (!SplitHostPort(text.substr(0, semicolon), &uri.host, &uri.port)) return std::nullopt;
  const std::string_view params = text.substr(semicolon);
  if (!ParseParams(params)) return std::nullopt;
  uri.params = std::string(params);
  return uri;
}

bool ParseSipSettings(const std::vector<DriverKey>& keys, DWORD device_id, SipSettings* settings,
                      std::string* error) {
  SipSettings result;
  result.wave_id = device_id;
  bool have_uri = false;
  bool have_auth_user = false;
  std::optional<SipSrtp> srtp;
  const auto read = [&](const DriverKey& key) {
    const std::string& value = key.value;
    const std::string lower = platform::LowerCase(value);
    bool ok = true;
    if (key.key == "uri") {
      const std::optional<SipUri> uri = ParseSipUri(value);
      ok = uri && !uri->user.empty();
      if (ok) result.account = *uri;
      have_uri = ok;
    } else if (key.key == "auth_user") {
      ok = !value.empty() && IsUser(value);
      result.auth_user = value;
      have_auth_user = true;
    } else if (key.key == "password_file") {
      ok = !value.empty();
      result.password_file = ExpandHome(value);
    } else if (key.key == "auth_realm") {
      // Sent back in quotes: no control characters.
      ok = !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
      });
      result.auth_realm = value;
    } else if (key.key == "tls_ca_file") {
      ok = !value.empty();
      result.tls_ca_file = ExpandHome(value);
    } else if (key.key == "tls_verify") {
      ok = lower == "yes" || lower == "no";
      result.tls_verify = lower == "no" ? SipTlsVerify::kNo : SipTlsVerify::kYes;
    } else if (key.key == "outbound") {
      std::optional<SipUri> proxy = ParseSipUri(value);
      if (!proxy) {
        SipUri bare;
        if (SplitHostPort(value, &bare.host, &bare.port)) proxy = bare;
      }
      ok = proxy.has_value();
      result.outbound = proxy;
    } else if (key.key == "transport") {
      ok = lower == "udp" || lower == "tcp" || lower == "tls";
      result.transport = lower == "tcp"   ? SipTransport::kTcp
                         : lower == "tls" ? SipTransport::kTls
                                          : SipTransport::kUdp;
    } else if (key.key == "register") {
      ok = lower == "yes" || lower == "no";
      result.registration = lower == "yes" ? SipRegister::kYes : SipRegister::kNo;
    } else if (key.key == "keepalive") {
      int64_t seconds = 0;
      ok = platform::ParseInteger(value, 0, 3600, &seconds);
      result.keepalive_s = static_cast<int>(seconds);
    } else if (key.key == "stun_server") {
      SipUri server;
      ok = SplitHostPort(value, &server.host, &server.port);
      if (ok && !server.port) server.port = 3478;
      result.stun_server = server;
    } else if (key.key == "dialdomain") {
      std::string host;
      std::optional<uint16_t> port;
      ok = SplitHostPort(value, &host, &port);
      result.dial_domain = value;
    } else if (key.key == "dialprefix") {
      ok = std::all_of(value.begin(), value.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || IsIn(c, "*#+");
      });
      result.dial_prefix = value;
    } else if (key.key == "ringtimeout") {
      int64_t seconds = 0;
      ok = platform::ParseInteger(value, 1, 600, &seconds);
      result.ring_timeout_s = static_cast<int>(seconds);
    } else if (key.key == "codecs") {
      result.codecs.clear();
      size_t start = 0;
      while (ok && start <= lower.size()) {
        const size_t comma = std::min(lower.find(',', start), lower.size());
        const std::string name = platform::Trim(lower.substr(start, comma - start), " ");
        const SipCodec codec = name == "pcma"   ? SipCodec::kPcma
                               : name == "g722" ? SipCodec::kG722
                                                : SipCodec::kPcmu;
        ok = (name == "pcmu" || name == "pcma" || name == "g722") &&
             std::find(result.codecs.begin(), result.codecs.end(), codec) == result.codecs.end();
        result.codecs.push_back(codec);
        start = comma + 1;
      }
    } else if (key.key == "srtp") {
      ok = lower == "no" || lower == "offer" || lower == "required";
      srtp = lower == "required" ? SipSrtp::kRequired
             : lower == "offer"  ? SipSrtp::kOffer
                                 : SipSrtp::kNo;
    } else if (key.key == "dtmf") {
      ok = lower == "auto" || lower == "rfc4733" || lower == "info" || lower == "inband";
      result.dtmf = lower == "rfc4733"  ? SipDtmf::kRfc4733
                    : lower == "info"   ? SipDtmf::kInfo
                    : lower == "inband" ? SipDtmf::kInband
                                        : SipDtmf::kAuto;
    } else if (key.key == "rtp_ports") {
      const size_t dash = value.find('-');
      uint16_t low = 0;
      uint16_t high = 0;
      ok = dash != std::string::npos && ParsePort(std::string_view(value).substr(0, dash), &low) &&
           ParsePort(std::string_view(value).substr(dash + 1), &high) && low <= high;
      result.rtp_port_low = low;
      result.rtp_port_high = high;
    } else if (key.key == "rtp_timeout") {
      int64_t seconds = 0;
      ok = platform::ParseInteger(value, 0, 3600, &seconds);
      result.rtp_timeout_s = static_cast<int>(seconds);
    } else {
      return KeyRead::kUnknown;
    }
    return TakenIf(ok);
  };
  if (!ReadDriverKeys(keys, "sip", &result.wave_id, read, error)) return false;
  if (!have_uri) {
    *error = "the sip driver needs uri = sip:user@domain";
    return false;
  }
  if (!have_auth_user) result.auth_user = result.account.user;
  // Keys in the SDP are only as secret as the signalling: offered by default only over TLS.
  result.srtp =
      srtp.value_or(result.transport == SipTransport::kTls ? SipSrtp::kOffer : SipSrtp::kNo);
  *settings = std::move(result);
  return true;
}

std::optional<std::string> RequestUri(const SipSettings& settings, std::string_view dialled) {
  const std::string scheme = platform::LowerCase(dialled.substr(0, 5));
  if (scheme.rfind("sip:", 0) == 0 || scheme == "sips:") {
    const std::optional<SipUri> uri = ParseSipUri(dialled);
    if (!uri) return std::nullopt;
    return std::string(dialled);
  }
  const std::string domain =
      settings.dial_domain.empty() ? settings.account.HostPort() : settings.dial_domain;
  const std::string scheme_part = settings.account.secure ? "sips:" : "sip:";
  std::string user = settings.dial_prefix;
  bool number = true;
  for (const char c : dialled) {
    if (std::isdigit(static_cast<unsigned char>(c)) || IsIn(c, "*+ABCDabcd")) {
      user += platform::UpperAscii(c);
    } else if (c == '#') {
      user += "%23";  // '#' is not allowed as it is in a SIP URI's user part
    } else if (!IsIn(c, "-.()")) {
      number = false;
      break;
    }
  }
  if (number) {
    if (user.empty() || user == settings.dial_prefix) return std::nullopt;
    return scheme_part + user + "@" + domain;
  }
  // A user name ("callee", "Bob.Smith"): as written, without the prefix, which is for numbers.
  const bool name = std::isalpha(static_cast<unsigned char>(dialled.front())) != 0 &&
                    std::all_of(dialled.begin(), dialled.end(),
                                [](char c) { return IsAlnum(c) || IsIn(c, "-_.!~*'()"); });
  if (!name) return std::nullopt;
  return scheme_part + std::string(dialled) + "@" + domain;
}

bool ReadPasswordFile(const std::string& path, SecretText* password, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = "the password file " + path + " cannot be opened";
    return false;
  }
  struct stat info {};
  // One buffer of a fixed size, so that no copy of the password is left in a buffer outgrown.
  constexpr size_t kLongest = 4096;
  std::unique_ptr<char[]> text(new char[kLongest]);
  size_t size = 0;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (!ok) {
    *error = "the password file " + path + " is not a regular file";
  } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    ok = false;
    *error = "the password file " + path +
             " is open to other users (it must be readable by its owner only: chmod 600)";
  } else if (info.st_uid != ::geteuid()) {
    ok = false;
    *error = "the password file " + path + " belongs to another user";
  } else {
    ssize_t n = 0;
    while (size < kLongest && (n = ::read(fd, text.get() + size, kLongest - size)) > 0) {
      size += static_cast<size_t>(n);
    }
    ok = n >= 0;
    if (!ok) *error = "the password file " + path + " cannot be read";
  }
  ::close(fd);
  const std::string_view first_line(
      text.get(), std::min(std::string_view(text.get(), size).find_first_of("\r\n"), size));
  if (ok && first_line.empty()) {
    ok = false;
    *error = "the password file " + path + " is empty";
  }
  if (ok) *password = SecretText(first_line);
  WipeMemory(text.get(), kLongest);
  return ok;
}

const char* SipTransportParam(SipTransport transport) {
  return transport == SipTransport::kTcp   ? ";transport=tcp"
         : transport == SipTransport::kTls ? ";transport=tls"
                                           : "";
}

const char* CodecName(SipCodec codec) {
  switch (codec) {
    case SipCodec::kPcmu:
      return "PCMU";
    case SipCodec::kPcma:
      return "PCMA";
    case SipCodec::kG722:
      return "G722";
  }
  return "";
}

}  // namespace telvane::linesvc
