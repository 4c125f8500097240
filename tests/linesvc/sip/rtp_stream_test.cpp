// Two RTP streams on 127.0.0.1 talk to each other: G.711 out and back, DTMF tones heard in the
// sound, and the answer sent to where the packets came from rather than where the SDP said;
// only the callee's packets count; RTP headers as a stranger may write them.
#include "linesvc/sip/rtp_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <cmath>

namespace telvane::linesvc {
namespace {

std::unique_ptr<RtpSocket> Bind(const std::string& host = "127.0.0.1") {
  std::string error;
  std::unique_ptr<RtpSocket> socket =
      RtpSocket::Bind(*SocketAddress::Parse(host, 0), 30000, 60000, &error);
  EXPECT_TRUE(socket) << error;
  return socket;
}

// An RFC 4733 press of `code` (payload type 101) from `ssrc`, sent from `from` to `port`.
void SendEvent(const RtpSocket& from, uint16_t port, uint32_t ssrc, uint32_t timestamp,
               uint8_t code) {
  std::array<uint8_t, 16> packet = {0x80, 101, 0, 1};
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  }
  packet[12] = code;
  const SocketAddress to = *SocketAddress::Parse("127.0.0.1", port);
  ::sendto(from.Fd(), packet.data(), packet.size(), 0,
           reinterpret_cast<const sockaddr*>(&to.storage), to.length);
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

// A stranger's key before the callee's first packet, and a second source at the callee's
// address after it, count nothing: only the SSRC of the callee's first packet does.
TEST(RtpStreamTest, OnlyTheCalleesFirstSourceCounts) {
  std::unique_ptr<RtpSocket> ours = Bind();
  std::unique_ptr<RtpSocket> callee = Bind();
  std::unique_ptr<RtpSocket> stranger = Bind("127.0.0.2");
  ASSERT_TRUE(ours && callee && stranger);
  const uint16_t port = ours->Port();
  SipMedia media;
  media.event_payload = 101;
  media.remote = *SocketAddress::Parse("127.0.0.1", callee->Port());
  RtpStream stream(std::move(ours), media, nullptr);
  SendEvent(*stranger, port, 0xbad, 100, 1);
  SendEvent(*callee, port, 0xca11ee, 200, 2);
  SendEvent(*callee, port, 0x5ec0d, 300, 3);
  SendEvent(*callee, port, 0xca11ee, 400, 4);
  std::string log;
  EXPECT_EQ(stream.Receive([&](const std::string& text) { log += text + "\n"; }), "24");
  EXPECT_EQ(stream.Received(), 2u);
  EXPECT_EQ(stream.Ignored(), 2u);
  EXPECT_NE(log.find("RTP from 127.0.0.2:"), std::string::npos) << log;
  EXPECT_NE(log.find("SSRC 0005ec0d is not the callee's 00ca11ee"), std::string::npos) << log;
}

// Media moved by the far end are latched afresh: packets from where they were count no more
// (also a straggler from the same host, which would otherwise pass for a NAT's port change),
// and the new address's first source counts, whatever its SSRC.
TEST(RtpStreamTest, MovedMediaAreLatchedAfresh) {
  std::unique_ptr<RtpSocket> ours = Bind();
  std::unique_ptr<RtpSocket> old_callee = Bind();
  std::unique_ptr<RtpSocket> new_callee = Bind();
  ASSERT_TRUE(ours && old_callee && new_callee);
  const uint16_t port = ours->Port();
  SipMedia media;
  media.event_payload = 101;
  media.remote = *SocketAddress::Parse("127.0.0.1", old_callee->Port());
  RtpStream stream(std::move(ours), media, nullptr);
  const auto log = [](const std::string&) {};
  SendEvent(*old_callee, port, 0xca11ee, 100, 1);
  EXPECT_EQ(stream.Receive(log), "1");

  media.remote = *SocketAddress::Parse("127.0.0.1", new_callee->Port());
  stream.Follow(media);
  SendEvent(*old_callee, port, 0xca11ee, 200, 2);
  SendEvent(*new_callee, port, 0x4e11, 300, 3);
  SendEvent(*old_callee, port, 0xca11ee, 400, 4);
  EXPECT_EQ(stream.Receive(log), "3");
  EXPECT_EQ(stream.Received(), 2u);
  EXPECT_EQ(stream.Ignored(), 2u);
}

// The payload lies after the CSRCs and a header extension and before the padding; RTCP and
// lengths that do not add up are no RTP.
TEST(RtpStreamTest, HeaderFields) {
  auto payload_of = [](std::vector<uint8_t> packet) -> std::optional<std::vector<uint8_t>> {
    const std::optional<RtpHeader> header = ParseRtpHeader(packet);
    if (!header) return std::nullopt;
    return std::vector<uint8_t>(header->payload.begin(), header->payload.end());
  };
  const std::vector<uint8_t> fixed = {0x80, 0x00, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
  auto with = [&](uint8_t first, std::vector<uint8_t> rest) {
    std::vector<uint8_t> packet = fixed;
    packet[0] = first;
    packet.insert(packet.end(), rest.begin(), rest.end());
    return packet;
  };
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(payload_of(with(0x81, {0, 0, 0, 9, 7})), Bytes{7});              // a CSRC
  EXPECT_EQ(payload_of(with(0x90, {0, 0, 0, 1, 1, 2, 3, 4, 7})), Bytes{7});  // an extension
  EXPECT_EQ(payload_of(with(0xA0, {7, 0, 2})), Bytes{7});                    // padding
  EXPECT_EQ(payload_of(with(0x80, {})), Bytes{});
  for (const Bytes& bad : {Bytes(fixed.begin(), fixed.end() - 1), with(0x40, {7}),
                           with(0x90, {0, 0, 0, 2, 1, 2, 3, 4}), with(0x82, {0, 0, 0, 9}),
                           with(0xA0, {7, 0}), with(0xA0, {7, 3})}) {
    EXPECT_FALSE(ParseRtpHeader(bad)) << bad.size();
  }
  Bytes rtcp = fixed;
  rtcp[1] = 200;  // a sender report
  EXPECT_FALSE(ParseRtpHeader(rtcp));
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
