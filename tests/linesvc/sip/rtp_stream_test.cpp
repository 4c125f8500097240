// Two RTP streams on 127.0.0.1 talk to each other: G.711 and G.722 out and back, DTMF tones
// heard in the sound, and the answer sent to where the packets came from rather than where the
// SDP said; only the callee's packets count, with SRTP only those that pass authentication;
// RTP headers as a stranger may write them.
#include "linesvc/sip/rtp_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <string>
#include <vector>

#include "tests/linesvc/sip/sip_peers.h"

namespace telvane::linesvc {
namespace {

using testing_sip::SevenThenSilence;

std::unique_ptr<RtpSocket> Bind(const std::string& host = "127.0.0.1") {
  std::string error;
  std::unique_ptr<RtpSocket> socket =
      RtpSocket::Bind(*SocketAddress::Parse(host, 0), 30000, 60000, &error);
  EXPECT_TRUE(socket) << error;
  return socket;
}

std::unique_ptr<RtpStream> Stream(std::unique_ptr<RtpSocket> socket, const SipMedia& media,
                                  std::unique_ptr<InbandDtmf> inband = nullptr) {
  std::string error;
  std::unique_ptr<RtpStream> stream = RtpStream::Create(
      std::move(socket), media, VoiceCodec::Create(media.codec), std::move(inband), &error);
  EXPECT_TRUE(stream) << error;
  return stream;
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

// A tone for the key '7' in the sound is heard once, decoded with the call's codec; the far
// end's sends go back to the address the tones came from, though its SDP named another port.
TEST(RtpStreamTest, InbandKeysAndSymmetricSending) {
  for (const SipCodec codec : {SipCodec::kPcma, SipCodec::kG722}) {
    SCOPED_TRACE(CodecName(codec));
    std::unique_ptr<RtpSocket> caller_socket = Bind();
    std::unique_ptr<RtpSocket> callee_socket = Bind();
    ASSERT_TRUE(caller_socket && callee_socket);
    SipMedia to_callee;
    to_callee.codec = codec;
    to_callee.payload = codec == SipCodec::kG722 ? 9 : 8;
    to_callee.remote = *SocketAddress::Parse("127.0.0.1", callee_socket->Port());
    SipMedia to_caller = to_callee;
    to_caller.keys = SipKeyPath::kInband;
    to_caller.remote = *SocketAddress::Parse("127.0.0.1", 9);  // what a NAT'ed SDP might say
    std::unique_ptr<RtpStream> caller = Stream(std::move(caller_socket), to_callee);
    std::unique_ptr<RtpStream> callee =
        Stream(std::move(callee_socket), to_caller, InbandDtmf::Create());
    ASSERT_TRUE(caller && callee);

    for (const std::vector<int16_t>& frame : SevenThenSilence(10)) caller->Send(frame);
    std::string log;
    EXPECT_EQ(callee->Receive([&](const std::string& text) { log += text; }), "7");
    EXPECT_EQ(callee->Received(), 10u);
    EXPECT_NE(log.find("RTP comes from 127.0.0.1:"), std::string::npos) << log;

    callee->Send(std::vector<int16_t>(160));
    EXPECT_EQ(callee->Sent(), 1u);
    EXPECT_EQ(caller->Receive([](const std::string&) {}), "");
    EXPECT_EQ(caller->Received(), 1u) << "sent back to where the sound came from";
  }
}

// With SRTP only what passes authentication with the callee's key counts. Forgeries from the
// callee's host under many SSRCs before its first packet do not keep its packets out (libre
// keeps a state for each SSRC it is shown, a few dozen at most); a replay, a packet changed on
// the way, or a key event without the key count nothing, and SRTCP is passed over. The sound,
// decrypted, carries its tones.
TEST(RtpStreamTest, SrtpCountsOnlyAuthenticPackets) {
  for (const SrtpSuite suite : {SrtpSuite::kAesCm128HmacSha1_80, SrtpSuite::kAesCm128HmacSha1_32}) {
    SCOPED_TRACE(SrtpSuiteName(suite));
    std::vector<SdesCrypto> keys;
    std::string error;
    ASSERT_TRUE(NewSdesCrypto(&keys, &error)) << error;
    std::unique_ptr<RtpSocket> caller_socket = Bind();
    std::unique_ptr<RtpSocket> callee_socket = Bind();
    std::unique_ptr<RtpSocket> wire = Bind();  // between the two: it sees what goes out
    std::unique_ptr<RtpSocket> forger = Bind();
    ASSERT_TRUE(caller_socket && callee_socket && wire && forger);
    const uint16_t callee_port = callee_socket->Port();
    SipMedia to_callee;
    to_callee.remote = *SocketAddress::Parse("127.0.0.1", wire->Port());
    to_callee.srtp = SrtpKeys{suite, keys[0].key, keys[1].key};
    SipMedia to_caller = to_callee;
    to_caller.srtp = SrtpKeys{suite, keys[1].key, keys[0].key};
    to_caller.event_payload = 101;
    std::unique_ptr<RtpStream> caller = Stream(std::move(caller_socket), to_callee);
    std::unique_ptr<RtpStream> callee =
        Stream(std::move(callee_socket), to_caller, InbandDtmf::Create());
    ASSERT_TRUE(caller && callee);
    const auto send = [&](const RtpSocket& from, const std::string& packet) {
      const SocketAddress to = *SocketAddress::Parse("127.0.0.1", callee_port);
      ::sendto(from.Fd(), packet.data(), packet.size(), 0,
               reinterpret_cast<const sockaddr*>(&to.storage), to.length);
    };
    std::string log;
    const auto receive = [&] {
      return callee->Receive([&](const std::string& text) { log += text + "\n"; });
    };

    std::string forged(12 + 160 + 10, '\x55');
    forged[0] = '\x80';
    forged[1] = 0;
    for (uint8_t ssrc = 0; ssrc < 40; ++ssrc) {
      forged[11] = static_cast<char>(ssrc);
      send(*forger, forged);
    }
    EXPECT_EQ(receive(), "");
    EXPECT_EQ(callee->Ignored(), 40u);

    std::vector<std::string> sent;
    for (const std::vector<int16_t>& frame : SevenThenSilence(10)) {
      caller->Send(frame);
      std::array<char, 1500> bytes;
      const ssize_t n = ::recv(wire->Fd(), bytes.data(), bytes.size(), 0);
      ASSERT_GT(n, 0);
      sent.emplace_back(bytes.data(), static_cast<size_t>(n));
    }
    const size_t tag = suite == SrtpSuite::kAesCm128HmacSha1_80 ? 10 : 4;
    EXPECT_EQ(sent[9].size(), 12u + 160u + tag);
    EXPECT_NE(sent[9].substr(12, 160), std::string(160, '\xFF')) << "mu-law silence in the clear";
    for (const std::string& packet : sent) send(*wire, packet);
    EXPECT_EQ(receive(), "7");
    EXPECT_EQ(callee->Received(), 10u) << log;

    std::string changed = sent[3];
    changed[20] = static_cast<char>(changed[20] ^ 1);
    std::string event = sent[9].substr(0, 12) + std::string{5, 0, 0, static_cast<char>(160)} +
                        std::string(tag, '\0');
    event[1] = 101;
    event[3] = static_cast<char>(event[3] + 1);
    std::string rtcp = sent[9];
    rtcp[1] = static_cast<char>(200);  // SRTCP, as a peer with rtcp-mux sends it
    for (const std::string& packet : {sent[0], changed, event, rtcp}) send(*wire, packet);
    EXPECT_EQ(receive(), "");
    EXPECT_EQ(callee->Received(), 10u);
    EXPECT_EQ(callee->Ignored(), 44u);
    EXPECT_NE(log.find("dropped: it fails authentication"), std::string::npos) << log;
  }
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
  std::unique_ptr<RtpStream> stream = Stream(std::move(ours), media);
  SendEvent(*stranger, port, 0xbad, 100, 1);
  SendEvent(*callee, port, 0xca11ee, 200, 2);
  SendEvent(*callee, port, 0x5ec0d, 300, 3);
  SendEvent(*callee, port, 0xca11ee, 400, 4);
  std::string log;
  EXPECT_EQ(stream->Receive([&](const std::string& text) { log += text + "\n"; }), "24");
  EXPECT_EQ(stream->Received(), 2u);
  EXPECT_EQ(stream->Ignored(), 2u);
  EXPECT_NE(log.find("RTP from 127.0.0.2:"), std::string::npos) << log;
  EXPECT_NE(log.find("SSRC 0005ec0d is not the callee's 00ca11ee"), std::string::npos) << log;
}

// Media moved by the far end are latched afresh: packets from where they were count no more
// (also a straggler from the same host, which would otherwise pass for a NAT's port change),
// and the new address's first source counts, whatever its SSRC. Their packet time counts too.
TEST(RtpStreamTest, MovedMediaAreLatchedAfresh) {
  std::unique_ptr<RtpSocket> ours = Bind();
  std::unique_ptr<RtpSocket> old_callee = Bind();
  std::unique_ptr<RtpSocket> new_callee = Bind();
  ASSERT_TRUE(ours && old_callee && new_callee);
  const uint16_t port = ours->Port();
  SipMedia media;
  media.event_payload = 101;
  media.remote = *SocketAddress::Parse("127.0.0.1", old_callee->Port());
  std::unique_ptr<RtpStream> stream = Stream(std::move(ours), media);
  const auto log = [](const std::string&) {};
  SendEvent(*old_callee, port, 0xca11ee, 100, 1);
  EXPECT_EQ(stream->Receive(log), "1");

  media.remote = *SocketAddress::Parse("127.0.0.1", new_callee->Port());
  media.packet_ms = 30;
  stream->Follow(media, VoiceCodec::Create(media.codec), nullptr);
  EXPECT_EQ(stream->FrameSamples(), 240u);
  SendEvent(*old_callee, port, 0xca11ee, 200, 2);
  SendEvent(*new_callee, port, 0x4e11, 300, 3);
  SendEvent(*old_callee, port, 0xca11ee, 400, 4);
  EXPECT_EQ(stream->Receive(log), "3");
  EXPECT_EQ(stream->Received(), 2u);
  EXPECT_EQ(stream->Ignored(), 2u);
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
