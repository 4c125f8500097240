// The TLS context of a SIP call against openssl s_server, driven by a plain OpenSSL client
// instead of libre's transport: a host name (which libre could reach on 127.0.0.1 only through
// a name server) goes out as SNI and must be the certificate's.
#include "linesvc/sip/sip_tls.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/linesvc/sip/sip_peers.h"

namespace telvane::linesvc {
namespace {

using namespace testing_sip;

// A TLS handshake with a connection of `context` to 127.0.0.1:port; true when it succeeded.
bool Handshake(SSL_CTX* context, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  ok = ok && SSL_connect(ssl) == 1;
  if (ok) SSL_shutdown(ssl);
  SSL_free(ssl);
  ::close(fd);
  return ok;
}

// The expected host name is sent as SNI and checked against the certificate; a connection
// for another name is refused with the reason, before anything could be sent.
TEST(SipTlsTest, TheHostNameGoesOutAsSniAndMustBeTheCertificates) {
  TestCertificates certificates;
  TlsServer server(certificates.Make("localhost", TestCertificates::Signer::kTestCa));
  SipSettings settings;
  settings.tls_ca_file = certificates.CaFile().string();
  std::string log;
  std::string error;
  const std::unique_ptr<SipTls> tls = SipTls::Create(
      settings, [&](const std::string& text) { log += text + "\n"; }, &error);
  ASSERT_TRUE(tls) << error;

  tls->ExpectPeer("localhost");
  EXPECT_TRUE(Handshake(tls->OpenSslContext(), server.Port())) << log;
  ASSERT_TRUE(server.WaitFor("TLS client extension \"server name\"", 2000)) << server.Log();
  const std::string heard = server.Log();
  EXPECT_NE(heard.find("localhost", heard.find("\"server name\"")), std::string::npos) << heard;

  tls->ExpectPeer("pbx.example.org");
  EXPECT_FALSE(Handshake(tls->OpenSslContext(), server.Port()));
  EXPECT_NE(log.find("the certificate of pbx.example.org is refused: hostname mismatch"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace telvane::linesvc
