// Two RTP streams on 127.0.0.1 talk to each other: G.711 out and back, DTMF tones heard in the
// sound, and the answer sent to where the packets came from rather than where the SDP said.
#include "linesvc/sip/rtp_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace telvane::linesvc {
namespace {

std::unique_ptr<RtpSocket> Bind() {
  std::string error;
  std::unique_ptr<RtpSocket> socket =
      RtpSocket::Bind(*SocketAddress::Parse("127.0.0.1", 0), 30000, 60000, &error);
  EXPECT_TRUE(socket) << error;
  return socket;
}

// A tone for the key '7' (852 + 1209 Hz) in the sound is heard once; the far end's sends go
// back to the address the tones came from, though its SDP named another port.
TEST(RtpStreamTest, InbandKeysAndSymmetricSending) {
  std::unique_ptr<RtpSocket> caller_socket = Bind();
  std::unique_ptr<RtpSocket> callee_socket = Bind();
  ASSERT_TRUE(caller_socket && callee_socket);
  SipMedia to_callee;
  to_callee.codec = G711Law::kA;
  to_callee.payload = 8;
  to_callee.remote = *SocketAddress::Parse("127.0.0.1", callee_socket->Port());
  SipMedia to_caller = to_callee;
  to_caller.keys = SipKeyPath::kInband;
  to_caller.remote = *SocketAddress::Parse("127.0.0.1", 9);  // what a NAT'ed SDP might say
  RtpStream caller(std::move(caller_socket), to_callee, nullptr);
  RtpStream callee(std::move(callee_socket), to_caller, InbandDtmf::Create());

  std::array<int16_t, kRtpFrameSamples> frame{};
  for (int packet = 0; packet < 10; ++packet) {
    for (size_t i = 0; i < frame.size(); ++i) {
      const double t = static_cast<double>(packet * frame.size() + i) / 8000;
      frame[i] = packet < 5 ? static_cast<int16_t>(5000 * (std::sin(2 * M_PI * 852 * t) +
                                                           std::sin(2 * M_PI * 1209 * t)))
                            : 0;
    }
    caller.Send(frame);
  }
  std::string log;
  EXPECT_EQ(callee.Receive([&](const std::string& text) { log += text; }), "7");
  EXPECT_EQ(callee.Received(), 10u);
  EXPECT_NE(log.find("RTP comes from 127.0.0.1:"), std::string::npos) << log;

  callee.Send(frame);
  EXPECT_EQ(callee.Sent(), 1u);
  EXPECT_EQ(caller.Receive([](const std::string&) {}), "");
  EXPECT_EQ(caller.Received(), 1u) << "sent back to where the sound came from";
}

// Every port of the range taken: refused with the range in the reason.
TEST(RtpStreamTest, NoFreePort) {
  std::unique_ptr<RtpSocket> held = Bind();
  ASSERT_TRUE(held);
  std::string error;
  EXPECT_FALSE(
      RtpSocket::Bind(*SocketAddress::Parse("127.0.0.1", 0), held->Port(), held->Port(), &error));
  EXPECT_EQ(error, "no free RTP port in " + std::to_string(held->Port()) + "-" +
                       std::to_string(held->Port()) + " on 127.0.0.1");
}

}  // namespace
}  // namespace telvane::linesvc
