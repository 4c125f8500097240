// TLS for one SIP call: libre's TLS context with OpenSSL's checks turned on.
//
// libre opens the TLS connections of its SIP transport by itself and offers no hook on them,
// but it hands out its OpenSSL context, and every connection made from the context copies the
// context's verification parameters when it is made. So the call names the peer it expects
// before each request that may open a connection (ExpectPeer), and the context does the rest:
// the chain must lead to one of the system's certificate authorities (or of the line's
// tls_ca_file instead), the certificate must be for that host name or IP address, the host
// name goes out as SNI, and a refusal is reported with its reason (expired, untrusted, name
// mismatch) while the handshake fails, so nothing is ever sent on that connection.
//
//   std::unique_ptr<SipTls> tls = SipTls::Create(settings, log, &error);
//   sip_transp_add(sip, SIP_TRANSP_TLS, &local, tls->Context());
//   tls->ExpectPeer("pbx.example.org");   // then send the REGISTER, the INVITE...
//
// With tls_verify = no the peer is not checked (a warning goes to the log at every call); SNI
// is still sent.
//
// Libre thread only: the callbacks run inside the handshakes of libre's connections.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "linesvc/sip/sip_settings.h"

struct tls;
struct ssl_ctx_st;
struct ssl_st;
struct x509_store_ctx_st;

namespace telvane::linesvc {

class SipTls {
 public:
  using Log = std::function<void(const std::string&)>;

  // A context that checks peers as the line's settings say; `log` hears every refusal and the
  // warning of an unchecked context. Null with the reason in *error when the certificates to
  // trust cannot be loaded.
  static std::unique_ptr<SipTls> Create(const SipSettings& settings, Log log, std::string* error);
  ~SipTls();
  SipTls(const SipTls&) = delete;
  SipTls& operator=(const SipTls&) = delete;

  // libre's context, for sip_transp_add.
  struct tls* Context() const {
    return tls_;
  }
  // OpenSSL's context inside it.
  ssl_ctx_st* OpenSslContext() const;

  // The host name or IP address (IPv6 with or without brackets) that connections made from now
  // on must prove to be.
  void ExpectPeer(std::string_view host);

 private:
  SipTls(struct tls* tls, Log log) : tls_(tls), log_(std::move(log)) {}
  static int OnVerify(int verified, ::x509_store_ctx_st* store);
  static void OnHandshakeInfo(const ::ssl_st* ssl, int where, int value);

  struct tls* tls_;
  Log log_;
};

}  // namespace telvane::linesvc
