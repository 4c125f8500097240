// libre's TLS context with the chain, the peer's name and SNI checked and sent by OpenSSL.
#include "linesvc/sip/sip_tls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

// libre declares its OpenSSL parts (the context's accessor among them) only for builds that
// say they use OpenSSL; its SHA-1 then comes from OpenSSL's header instead of its own.
#define USE_OPENSSL 1
#include "linesvc/sip/re_include.h"
#include "linesvc/sip/rtp_stream.h"

namespace telvane::linesvc {

namespace {

// Where a context keeps its SipTls.
int ContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string Bare(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return std::string(host);
}

// The name the connection was made for: its host name, or its IP address.
std::string ExpectedPeer(SSL* ssl) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (const char* host = X509_VERIFY_PARAM_get0_host(param, 0)) return host;
  char* ip = X509_VERIFY_PARAM_get1_ip_asc(param);
  const std::string text = ip != nullptr ? ip : "the peer";
  OPENSSL_free(ip);
  return text;
}

}  // namespace

std::unique_ptr<SipTls> SipTls::Create(const SipSettings& settings, Log log, std::string* error) {
  struct tls* tls = nullptr;
  if (tls_alloc(&tls, TLS_METHOD_SSLV23, nullptr, nullptr) != 0) {
    *error = "TLS cannot start";
    return nullptr;
  }
  std::unique_ptr<SipTls> self(new SipTls(tls, std::move(log)));
  SSL_CTX* context = self->OpenSslContext();
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_ex_data(context, ContextIndex(), self.get());
  SSL_CTX_set_info_callback(context, OnHandshakeInfo);

  // A store of our own, so that the line's CA file is trusted instead of the system's, not
  // besides them.
  X509_STORE* store = X509_STORE_new();
  const bool loaded = settings.tls_ca_file.empty()
                          ? X509_STORE_set_default_paths(store) == 1
                          : X509_STORE_load_file(store, settings.tls_ca_file.c_str()) == 1;
  SSL_CTX_set_cert_store(context, store);
  if (!loaded) {
    *error = settings.tls_ca_file.empty()
                 ? "the system's certificate authorities cannot be loaded"
                 : "tls_ca_file " + settings.tls_ca_file + " cannot be read as PEM certificates";
    return nullptr;
  }
  X509_VERIFY_PARAM_set_hostflags(SSL_CTX_get0_param(context),
                                  X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (settings.tls_verify == SipTlsVerify::kNo) {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    self->log_(
        "TLS certificates are not checked (tls_verify = no): anyone on the way can "
        "pose as the server");
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, OnVerify);
  }
  return self;
}

SipTls::~SipTls() {
  SSL_CTX_set_ex_data(OpenSslContext(), ContextIndex(), nullptr);
  mem_deref(tls_);
}

ssl_ctx_st* SipTls::OpenSslContext() const { return tls_openssl_context(tls_); }

void SipTls::ExpectPeer(std::string_view host) {
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(OpenSslContext());
  const std::string bare = Bare(host);
  if (SocketAddress::Parse(bare, 0)) {
    X509_VERIFY_PARAM_set1_host(param, nullptr, 0);
    X509_VERIFY_PARAM_set1_ip_asc(param, bare.c_str());
  } else {
    X509_VERIFY_PARAM_set1_ip(param, nullptr, 0);
    X509_VERIFY_PARAM_set1_host(param, bare.c_str(), 0);
  }
}

int SipTls::OnVerify(int verified, X509_STORE_CTX* store) {
  if (verified == 1) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = static_cast<SipTls*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
  if (self != nullptr) {
    std::string subject = "?";
    if (X509* certificate = X509_STORE_CTX_get_current_cert(store)) {
      char name[256] = {};
      X509_NAME_oneline(X509_get_subject_name(certificate), name, sizeof name);
      subject = name;
    }
    const int error = X509_STORE_CTX_get_error(store);
    self->log_("TLS: the certificate of " + ExpectedPeer(ssl) + " is refused: " +
               X509_verify_cert_error_string(error) + " (" + subject + "); nothing is sent");
  }
  return 0;
}

void SipTls::OnHandshakeInfo(const SSL* ssl, int where, int) {
  // Before the ClientHello is written: a host name goes into it as SNI (an IP address may not).
  if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
  auto* connection = const_cast<SSL*>(ssl);
  if (const char* host = X509_VERIFY_PARAM_get0_host(SSL_get0_param(connection), 0)) {
    SSL_set_tlsext_host_name(connection, host);
  }
}

}  // namespace telvane::linesvc
