// The SIP line through the telephony service against real peers on 127.0.0.1: sipp for exact
// responses, keys by SIP INFO and a socket of the test's own for RTP. Real time, short waits.
#include "linesvc/sip/sip_driver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linesvc/service.h"
#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sdes_crypto.h"
#include "linesvc/sip/sip_outcome.h"
#include "linesvc/sip/voice_codec.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"
#include "platform/text.h"
#include "tests/linesvc/sip/sip_peers.h"
#include "tests/linesvc/sip/sipp_scenarios.h"

namespace telvane::linesvc {
namespace {

using namespace testing_sip;

struct Message {
  DWORD device, message;
  DWORD_PTR p1, p2;
};

// A UDP socket on 127.0.0.1 that stands for the far end's media (or for a peer that never
// answers).
class UdpSocket {
 public:
  explicit UdpSocket(const char* host = "127.0.0.1")
      : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &address.sin_addr);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~UdpSocket() { ::close(fd_); }
  uint16_t Port() const { return port_; }
  // The next datagram within ms, with the port it came from; empty when none came.
  std::string Receive(int ms, uint16_t* from = nullptr) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, ms) <= 0) return {};
    char buffer[2048];
    sockaddr_in source{};
    socklen_t length = sizeof source;
    const ssize_t n =
        ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &length);
    if (from != nullptr) *from = ntohs(source.sin_port);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  void SendTo(uint16_t port, const std::string& bytes) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
             sizeof address);
  }

 private:
  int fd_;
  uint16_t port_ = 0;
};

uint32_t Timestamp(const std::string& packet) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(packet[4])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(packet[5])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(packet[6])) << 8) |
         static_cast<uint8_t>(packet[7]);
}

// An RFC 4733 packet of `key`'s event (its code) with payload type `type`.
std::string EventPacket(uint8_t type, uint16_t sequence, uint32_t timestamp, uint8_t key,
                        bool end) {
  std::string p(16, '\0');
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(type);
  p[2] = static_cast<char>(sequence >> 8);
  p[3] = static_cast<char>(sequence & 0xFF);
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
  p[11] = 1;
  p[12] = static_cast<char>(key);
  p[13] = static_cast<char>(end ? 0x8A : 0x0A);
  p[15] = static_cast<char>(160);
  return p;
}

class SipDriverTest : public ::testing::Test {
 protected:
  ~SipDriverTest() override { service_.reset(); }

  void Launch(const std::string& extra = "", const std::string& account = "sip:alerts@127.0.0.1") {
    lines_ = "[line SIP]\ndriver = sip\nuri = " + account + "\nwave = 4200\n" + extra;
    service_ =
        std::make_unique<Service>([this] { return ParseLinesFile(lines_, "test"); }, drivers_);
    DWORD devices = 0;
    ASSERT_EQ(service_->Initialize(&app_, platform::LineAppInstance(loop_), Callback, "sip test",
                                   &devices),
              0);
    ASSERT_EQ(devices, 1u);
    ASSERT_EQ(service_->Open(app_, 0, &line_, 0x00010004, 0, reinterpret_cast<DWORD_PTR>(this),
                             LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              0);
  }

  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                       DWORD_PTR) {
    reinterpret_cast<SipDriverTest*>(instance)->received_.push_back({device, message, p1, p2});
  }

  LONG Dial(const std::string& number) {
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwMediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
    const LONG request = service_->MakeCall(line_, &call_, number.c_str(), 0, &params);
    return request > 0 ? 0 : request;
  }

  // Runs the loop until the call reaches `state` (true) or ms pass (false).
  bool WaitForState(DWORD state, int ms) {
    return RunUntil([&] { return Reached(state); }, ms);
  }

  bool RunUntil(const std::function<bool()>& done, int ms) {
    return loop_.RunUntil(done, loop_.DeadlineAfter(ms)) == platform::WaitResult::kReached;
  }

  // Runs the loop until `done`, which looks at something outside the loop (a socket of the
  // test's), holds (true) or ms pass (false): it is asked every 10 ms.
  bool PollUntil(const std::function<bool()>& done, int ms) {
    for (int waited = 0; !done(); waited += 10) {
      if (waited >= ms) return false;
      loop_.RunFor(10);
    }
    return true;
  }

  bool Reached(DWORD state) const { return Mode(state).has_value(); }

  std::optional<DWORD> Mode(DWORD state) const {
    for (const Message& m : received_) {
      if (m.message == LINE_CALLSTATE && m.device == call_ && m.p1 == state) return m.p2;
    }
    return std::nullopt;
  }

  std::vector<DWORD> States() const {
    std::vector<DWORD> states;
    for (const Message& m : received_) {
      if (m.message == LINE_CALLSTATE && m.device == call_)
        states.push_back(static_cast<DWORD>(m.p1));
    }
    return states;
  }

  std::string Digits() const {
    std::string digits;
    for (const Message& m : received_) {
      if (m.message == LINE_MONITORDIGITS) digits += static_cast<char>(m.p1 & 0xFF);
    }
    return digits;
  }

  // Hangs up; true once the call is idle within the few seconds a hang-up may take.
  bool DropAndWaitIdle(int ms = 4000) {
    EXPECT_GT(service_->Drop(call_, nullptr, 0), 0);
    return WaitForState(LINECALLSTATE_IDLE, ms);
  }

  // At least `count` of the packets the line sends to `media` (fewer if they do not come within
  // 3 s), the port they come from, and how long they took to come.
  std::vector<std::string> OurPackets(UdpSocket& media, size_t count, uint16_t* ours,
                                      double* seconds) {
    std::vector<std::string> packets;
    const auto start = std::chrono::steady_clock::now();
    PollUntil(
        [&] {
          for (std::string p = media.Receive(0, ours); !p.empty(); p = media.Receive(0, ours)) {
            packets.push_back(p);
          }
          return packets.size() >= count;
        },
        3000);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return packets;
  }

  std::string EventLog() const {
    std::string text;
    for (const Event& e : service_->Events().Entries()) text += e.text + "\n";
    return text;
  }

  // The keys of a line with a password file ("Wh1sper").
  std::string WithPassword() {
    const std::filesystem::path password = dir_ / "password";
    std::ofstream(password) << "Wh1sper\n";
    std::filesystem::permissions(password, std::filesystem::perms::owner_read);
    return "password_file = " + password.string() + "\n";
  }

  platform::MessageLoop loop_{platform::ClockMode::kReal};
  // The driver's objects are linked into the test, not loaded as the program loads its module.
  const DriverRegistry drivers_{
      {"sip", [](const std::vector<DriverKey>& keys, DWORD device_id, const DriverLog&,
                 std::string* error) { return CreateSipDriver(keys, device_id, error); }}};
  std::string lines_;
  std::unique_ptr<Service> service_;
  testing::ScratchDir dir_ = PeerDir("files");
  HLINEAPP app_ = 0;
  HLINE line_ = 0;
  HCALL call_ = 0;
  std::vector<Message> received_;
};

// Each final response after ringing ends the call with its disconnect mode; busy is a state
// of its own, as on every line. The transaction is over at once, so idle follows the drop.
TEST_F(SipDriverTest, FinalResponsesEndTheCallWithTheirModes) {
  Launch();
  const struct {
    const char* status;
    DWORD state;
    DWORD mode;
  } cases[] = {
      {"486 Busy Here", LINECALLSTATE_BUSY, 0x1},
      {"603 Decline", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_REJECT},
      {"404 Not Found", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BADADDRESS},
      {"480 Temporarily Unavailable", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    received_.clear();
    Sipp uas(Scenario(RecvInvite() + Response("100 Trying") + Response("180 Ringing") + Pause(200) +
                      Response(c.status) + "<recv request=\"ACK\"/>\n"));
    ASSERT_EQ(Dial(uas.Uri()), 0);
    ASSERT_TRUE(WaitForState(c.state, 5000)) << EventLog();
    EXPECT_EQ(Mode(c.state), c.mode);
    EXPECT_EQ(States(),
              (std::vector<DWORD>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING,
                                  LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK, c.state}));
    EXPECT_TRUE(DropAndWaitIdle(1000));
    EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
    service_->DeallocateCall(call_);
  }
  const std::string log = EventLog();
  EXPECT_NE(log.find("sent INVITE (call "), std::string::npos) << log;
  EXPECT_NE(log.find("received 486 Busy Here (call "), std::string::npos) << log;
}

// 183 with SDP is early media, not an answer; the 200 after it is; our hang-up is a BYE.
TEST_F(SipDriverTest, EarlyMediaIsNoAnswer) {
  Launch();
  UdpSocket media;
  Sipp uas(Scenario(RecvInvite() + Response("183 Session Progress", "", true) + Pause(800) +
                    Response("200 OK", "", true) + "<recv request=\"ACK\"/>\n" + kAwaitBye),
           media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_RINGBACK, 5000)) << EventLog();
  EXPECT_FALSE(WaitForState(LINECALLSTATE_CONNECTED, 500)) << "183 taken for an answer";
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 3000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(EventLog().find("sent BYE"), std::string::npos);
}

// Ringing past the line's ringtimeout is cancelled as not answered; the request carried rport
// (sipp checks both, or fails).
TEST_F(SipDriverTest, RingTimeoutCancelsAsNoAnswer) {
  Launch("ringtimeout = 1\n");
  Sipp uas(
      Scenario("<recv request=\"INVITE\"><action><ereg regexp=\";rport\" search_in=\"hdr\" "
               "header=\"Via:\" check_it=\"true\" assign_to=\"rport\"/></action></recv>\n" +
               Response("180 Ringing", "X-Rport: [$rport]\n") + "<recv request=\"CANCEL\"/>\n" +
               Response("200 OK") +
               "<send><![CDATA[\nSIP/2.0 487 Request Terminated\n[last_Via:]\n[last_From:]\n"
               "[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\nCSeq: [cseq] INVITE\n"
               "Content-Length: 0\n\n]]></send>\n<recv request=\"ACK\"/>\n"));
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_RINGBACK, 5000)) << EventLog();
  ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 3000)) << EventLog();
  EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_NOANSWER);
  EXPECT_TRUE(DropAndWaitIdle(2000));
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(EventLog().find("sent CANCEL"), std::string::npos) << EventLog();
}

// A 401 is answered with the digest of the password file, to the INVITE and to the BYE (a
// provider that challenges it keeps the call open until then); nothing secret reaches the log.
TEST_F(SipDriverTest, ChallengeIsAnsweredFromThePasswordFile) {
  const std::filesystem::path password = dir_ / "password";
  std::ofstream(password) << "Wh1sper\n";
  std::filesystem::permissions(password, std::filesystem::perms::owner_read);
  Launch("password_file = " + password.string() + "\n");
  const std::string steps =
      RecvInvite() +
      Response("401 Unauthorized", "WWW-Authenticate: Digest realm=\"test\", nonce=\"n0nce\"\n") +
      "<recv request=\"ACK\"/>\n"
      "<recv request=\"INVITE\"><action><verifyauth assign_to=\"good\" username=\"alerts\" "
      "password=\"Wh1sper\"/></action></recv>\n"
      "<nop next=\"good\" test=\"good\"/>\n" +
      Response("403 Forbidden") + "<recv request=\"ACK\" next=\"end\"/>\n" +
      "<label id=\"good\"/>\n" + Response("200 OK", "", true) + "<recv request=\"ACK\"/>\n" +
      "<recv request=\"BYE\"/>\n" +
      Reply("401 Unauthorized", "WWW-Authenticate: Digest realm=\"test\", nonce=\"by3\"\n") +
      "<recv request=\"BYE\"><action><verifyauth assign_to=\"bye_good\" username=\"alerts\" "
      "password=\"Wh1sper\"/></action></recv>\n"
      "<nop next=\"bye_good\" test=\"bye_good\"/>\n"
      // A wrong answer fails the scenario: nothing more comes.
      "<recv request=\"CANCEL\" timeout=\"200\"/>\n"
      "<label id=\"bye_good\"/>\n" +
      Reply("200 OK") + "<label id=\"end\"/>\n";
  Sipp uas(Scenario(steps));
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  const std::string log = EventLog();
  EXPECT_NE(log.find("answering the challenge of realm test as alerts"), std::string::npos) << log;
  EXPECT_NE(log.find("sent BYE", log.find("received 401", log.find("sent BYE"))), std::string::npos)
      << log;
  EXPECT_EQ(log.find("Wh1sper"), std::string::npos);
  EXPECT_EQ(log.find("response="), std::string::npos);
  EXPECT_EQ(log.find("Digest"), std::string::npos);
}

// With register = yes the line registers first (answering the registrar's challenge), calls,
// and removes its binding when it hangs up.
TEST_F(SipDriverTest, RegistersFirstAndUnregistersAfter) {
  const std::filesystem::path password = dir_ / "password";
  std::ofstream(password) << "Wh1sper\n";
  std::filesystem::permissions(password, std::filesystem::perms::owner_read);
  const std::string ok_register =
      "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
      "[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
      "[last_Contact:];expires=[$expires]\nContent-Length: 0\n\n]]></send>\n";
  const std::string expires =
      "<action><ereg regexp=\"[0-9]+\" search_in=\"hdr\" header=\"Expires:\" "
      "assign_to=\"expires\"/></action>";
  Sipp registrar(Scenario(
      "<recv request=\"REGISTER\"/>\n" +
      Response("401 Unauthorized", "WWW-Authenticate: Digest realm=\"reg\", nonce=\"r3g\"\n") +
      "<recv request=\"REGISTER\">" + expires + "</recv>\n" + ok_register +
      "<recv request=\"REGISTER\">" + expires + "</recv>\n" + ok_register));
  Sipp callee(AnsweredUntilBye());
  const std::string registrar_host = registrar.Uri().substr(registrar.Uri().find('@') + 1);
  Launch("register = yes\npassword_file = " + password.string() + "\n",
         "sip:alerts@" + registrar_host);
  ASSERT_EQ(Dial(callee.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(callee.Finish(3000)) << callee.Log();
  EXPECT_TRUE(registrar.Finish(3000)) << registrar.Log();
  EXPECT_NE(EventLog().find("registered"), std::string::npos) << EventLog();
}

// A host name the system resolves (localhost, from /etc/hosts) is called at its address, and
// so is an IPv6 address in brackets; libre's own DNS client alone could do neither.
TEST_F(SipDriverTest, HostNamesAndIpv6Addresses) {
  Launch();
  Sipp by_name(AnsweredUntilBye());
  std::string named = by_name.Uri();
  named.replace(named.find("127.0.0.1"), 9, "localhost");
  ASSERT_EQ(Dial(named), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(by_name.Finish(3000)) << by_name.Log();
  EXPECT_NE(EventLog().find("localhost -> 127.0.0.1:"), std::string::npos) << EventLog();
  service_->DeallocateCall(call_);

  const bool ipv6 = [] {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool bound =
        fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    if (fd >= 0) ::close(fd);
    return bound;
  }();
  if (!ipv6) GTEST_SKIP() << "this machine has no IPv6 loopback";
  received_.clear();
  std::string answer = Response("200 OK", "", true);
  answer.replace(answer.find("IN IP4 127.0.0.1\nt="), 16, "IN IP6 ::1");
  Sipp by_address(Scenario(RecvInvite() + answer + "<recv request=\"ACK\"/>\n" + kAwaitBye), 0,
                  "::1");
  ASSERT_EQ(Dial(by_address.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(by_address.Finish(3000)) << by_address.Log();
}

// Behind a NAT the registrar's 200 says in its Via where it saw us (received, rport): the
// INVITE then names that address in its Contact and its SDP, and while the line is registered
// an OPTIONS keeps the NAT's mapping towards the registrar open (sipp checks each).
TEST_F(SipDriverTest, AddressSeenByTheRegistrarGoesIntoContactAndSdp) {
  const std::string ok =
      "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
      "[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n"
      "[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";
  Sipp registrar(Scenario(
      "<recv request=\"REGISTER\"><action>"
      "<ereg regexp=\"SIP/2.0/UDP [^;]*\" search_in=\"hdr\" header=\"Via:\" assign_to=\"sent\"/>"
      "<ereg regexp=\"branch=[^;]*\" search_in=\"hdr\" header=\"Via:\" assign_to=\"branch\"/>"
      "</action></recv>\n"
      "<send><![CDATA[\nSIP/2.0 200 OK\nVia: [$sent];received=192.0.2.7;rport=4242;[$branch]\n"
      "[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
      "[last_Contact:];expires=600\nContent-Length: 0\n\n]]></send>\n"
      "<recv request=\"OPTIONS\"/>\n" +
      ok + "<recv request=\"REGISTER\"/>\n" + ok));
  Sipp callee(
      Scenario("<recv request=\"INVITE\"><action>"
               "<ereg regexp=\"sip:alerts@192.0.2.7:4242\" search_in=\"hdr\" header=\"Contact:\" "
               "check_it=\"true\" assign_to=\"contact\"/>"
               "<ereg regexp=\"c=IN IP4 192.0.2.7\" search_in=\"msg\" check_it=\"true\" "
               "assign_to=\"media\"/></action></recv>\n" +
               Response("200 OK", "X-Seen: [$contact] [$media]\n", true) +
               "<recv request=\"ACK\"/>\n" + kAwaitBye));
  const std::string registrar_host = registrar.Uri().substr(registrar.Uri().find('@') + 1);
  Launch("register = yes\nkeepalive = 1\n", "sip:alerts@" + registrar_host);
  ASSERT_EQ(Dial(callee.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  ASSERT_TRUE(RunUntil([&] { return EventLog().find("sent OPTIONS") != std::string::npos; }, 3000))
      << EventLog();
  loop_.RunFor(200);  // its answer
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(callee.Finish(3000)) << callee.Log();
  EXPECT_TRUE(registrar.Finish(3000)) << registrar.Log();
  EXPECT_NE(EventLog().find("the server sees our SIP address 127.0.0.1:"), std::string::npos)
      << EventLog();
}

// While registered over TCP, a CRLF pair keeps the registration's connection open every
// `keepalive` seconds (RFC 5626), on that connection.
TEST_F(SipDriverTest, KeepAlivesOnTheRegistrationsTcpConnection) {
  UdpSocket media;
  TcpSipPeer peer(media.Port());
  const std::string host = "127.0.0.1:" + std::to_string(peer.Port());
  Launch("register = yes\ntransport = tcp\nkeepalive = 1\nrtp_timeout = 0\n", "sip:alerts@" + host);
  ASSERT_EQ(Dial("sip:service@" + host), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  const auto answered = std::chrono::steady_clock::now();
  ASSERT_TRUE(PollUntil([&] { return peer.KeepAlives().size() >= 2; }, 3000)) << EventLog();
  const std::vector<std::chrono::steady_clock::time_point> times = peer.KeepAlives();
  const auto seconds = [](auto from, auto to) {
    return std::chrono::duration<double>(to - from).count();
  };
  EXPECT_LT(seconds(answered, times[0]), 1.3);
  EXPECT_GT(seconds(times[0], times[1]), 0.8);
  EXPECT_LT(seconds(times[0], times[1]), 1.3);
  EXPECT_NE(EventLog().find("keep-alive every 1 s while registered (CRLF on the connection)"),
            std::string::npos)
      << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
}

// With stun_server, STUN says before the first request where our sockets are seen (the test's
// server answers 198.51.100.1, as a NAT that keeps ports would): the INVITE's Contact and the
// SDP name that address.
TEST_F(SipDriverTest, StunMappingGoesIntoContactAndSdp) {
  StunServer stun("198.51.100.1");
  Sipp callee(Scenario(
      "<recv request=\"INVITE\"><action>"
      "<ereg regexp=\"sip:alerts@198.51.100.1:[0-9]+\" search_in=\"hdr\" header=\"Contact:\" "
      "check_it=\"true\" assign_to=\"contact\"/>"
      "<ereg regexp=\"c=IN IP4 198.51.100.1\" search_in=\"msg\" check_it=\"true\" "
      "assign_to=\"media\"/></action></recv>\n" +
      Response("200 OK", "X-Seen: [$contact] [$media]\n", true) + "<recv request=\"ACK\"/>\n" +
      kAwaitBye));
  Launch("stun_server = 127.0.0.1:" + std::to_string(stun.Port()) + "\n");
  ASSERT_EQ(Dial(callee.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(callee.Finish(3000)) << callee.Log();
  EXPECT_EQ(stun.Answered(), 2u) << "the RTP socket's and the SIP socket's";
  EXPECT_NE(EventLog().find("media offered at 198.51.100.1:"), std::string::npos) << EventLog();
}

// The line's credentials go to its own domain's host only (127.0.0.1 here), and with
// auth_realm to that realm only: a challenge of another host, or of another realm, is not
// answered, and the INVITE is not sent again.
TEST_F(SipDriverTest, ChallengesOutsideTheLinesOwnDomainAreNotAnswered) {
  const struct {
    const char* host;
    const char* keys;
    const char* reason;
  } cases[] = {
      {"127.0.0.2", "", "challenge not answered: the request went to 127.0.0.2:"},
      {"127.0.0.1", "auth_realm = pbx\n", "challenge not answered: realm evil is not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    service_.reset();
    received_.clear();
    Launch(WithPassword() + c.keys);
    Sipp uas(Scenario(RecvInvite() +
                      Response("401 Unauthorized",
                               "WWW-Authenticate: Digest realm=\"evil\", nonce=\"n0nce\"\n") +
                      "<recv request=\"ACK\"/>\n"),
             0, c.host);
    ASSERT_EQ(Dial(uas.Uri()), 0);
    ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 5000)) << EventLog();
    EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_REJECT);
    EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
    EXPECT_NE(EventLog().find(c.reason), std::string::npos) << EventLog();
    const std::string log = EventLog();
    EXPECT_EQ(log.find("sent INVITE", log.find("received 401")), std::string::npos) << log;
    EXPECT_TRUE(DropAndWaitIdle(1000));
  }
}

// A 3xx is followed to the host the INVITE went to, never to another one: that host hears
// nothing, and the call ends with the redirect, its target in the event log.
TEST_F(SipDriverTest, RedirectsAreFollowedOnTheSameHostOnly) {
  Launch(WithPassword());
  UdpSocket elsewhere("127.0.0.2");
  const std::string away = "sip:bob@127.0.0.2:" + std::to_string(elsewhere.Port());
  Sipp redirecting(Scenario(RecvInvite() +
                            Response("302 Moved Temporarily", "", false, "<" + away + ">") +
                            "<recv request=\"ACK\"/>\n"));
  ASSERT_EQ(Dial(redirecting.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 5000)) << EventLog();
  EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_TEMPFAILURE);
  EXPECT_TRUE(elsewhere.Receive(300).empty()) << "the redirect was followed";
  EXPECT_NE(EventLog().find("redirected to " + away + ": not followed"), std::string::npos)
      << EventLog();
  EXPECT_TRUE(redirecting.Finish(3000)) << redirecting.Log();
  EXPECT_TRUE(DropAndWaitIdle(1000));
  service_->DeallocateCall(call_);

  received_.clear();
  Sipp answering(AnsweredUntilBye());
  Sipp moving(Scenario(RecvInvite() +
                       Response("302 Moved Temporarily", "", false, "<" + answering.Uri() + ">") +
                       "<recv request=\"ACK\"/>\n"));
  ASSERT_EQ(Dial(moving.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(moving.Finish(3000)) << moving.Log();
  EXPECT_TRUE(answering.Finish(3000)) << answering.Log();
}

// A server that prefers SHA-256 (RFC 8760) offers it before MD5: the line answers SHA-256,
// with qop=auth, a fresh cnonce and the nonce's first count (sipp checks the header).
TEST_F(SipDriverTest, Sha256IsAnsweredBeforeMd5) {
  Launch(WithPassword());
  const std::string challenge = "Digest realm=\"test\", nonce=\"n0nce\", qop=\"auth\", algorithm=";
  Sipp uas(Scenario(
      RecvInvite() +
      Response("401 Unauthorized", "WWW-Authenticate: " + challenge + "SHA-256\n" +
                                       "WWW-Authenticate: " + challenge + "MD5\n") +
      "<recv request=\"ACK\"/>\n"
      "<recv request=\"INVITE\"><action><ereg regexp=\"username=.alerts., realm=.test., "
      "nonce=.n0nce., uri=.[^,]*, response=.[0-9a-f]{64}., algorithm=SHA-256, "
      "cnonce=.[0-9a-f]{32}., qop=auth, nc=00000001\" search_in=\"hdr\" "
      "header=\"Authorization:\" check_it=\"true\" assign_to=\"digest\"/></action></recv>\n" +
      Response("200 OK", "X-Digest: [$digest]\n", true) + "<recv request=\"ACK\"/>\n" + kAwaitBye));
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(EventLog().find("answering the challenge of realm test as alerts (SHA-256)"),
            std::string::npos)
      << EventLog();
}

// A peer that never answers: unreachable after our own short timer, far before the 32 s of
// the transaction, and the hang-up does not wait for it longer than a few seconds.
TEST_F(SipDriverTest, NoResponseIsUnreachableSoon) {
  Launch();
  UdpSocket silent;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Dial("sip:nobody@127.0.0.1:" + std::to_string(silent.Port())), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 8000)) << EventLog();
  EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_UNREACHABLE);
  EXPECT_FALSE(silent.Receive(0).empty()) << "the INVITE went out";
  EXPECT_TRUE(DropAndWaitIdle(500)) << "nothing to wait for";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

// The far end hangs up in the middle of the call: a normal disconnection. Its INFO keys
// reach the application first, in both body types, answered 200; an INFO of another dialog
// (libre refuses it with 481) presses nothing.
TEST_F(SipDriverTest, InfoKeysThenRemoteBye) {
  Launch();
  UdpSocket media;
  Sipp uas(Scenario(RecvInvite(Dialog::kKeep) + Response("200 OK", "", true) +
                    "<recv request=\"ACK\"/>\n" + Pause(300) +
                    InDialog("INFO", 1, "application/dtmf", "9", "481", "intruder") +
                    InDialog("INFO", 1, "application/dtmf-relay", "Signal=5\nDuration=160\n") +
                    InDialog("INFO", 2, "application/dtmf", "#") + Pause(300) + InDialog("BYE", 3)),
           media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 5000)) << EventLog();
  EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_NORMAL) << EventLog();
  EXPECT_EQ(Digits(), "5#");
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_TRUE(DropAndWaitIdle(1000));
}

// Sound goes out as PCMU in 20 ms packets to where the peer's RTP comes from; RFC 4733 keys
// count once per press, however many end packets repeat.
TEST_F(SipDriverTest, RtpPacketsAndTelephoneEvents) {
  Launch();
  UdpSocket media;
  Sipp uas(AnsweredUntilBye(), media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);

  // Our packets: payload type 0, 160 bytes of silence, timestamps 160 apart, about 50 a second.
  uint16_t ours = 0;
  double seconds = 0;
  const std::vector<std::string> packets = OurPackets(media, 26, &ours, &seconds);
  ASSERT_GE(packets.size(), 26u);
  EXPECT_GT(seconds, 0.35) << "paced, not a burst";
  for (size_t i = 0; i < packets.size(); ++i) {
    ASSERT_EQ(packets[i].size(), 12u + 160u);
    EXPECT_EQ(static_cast<uint8_t>(packets[i][1]) & 0x7F, 0);
    EXPECT_EQ(static_cast<uint8_t>(packets[i][12]), 0xFF) << "mu-law silence";
  }
  EXPECT_EQ(Timestamp(packets[1]) - Timestamp(packets[0]), 160u);

  // Keys from our media socket: '5' with three end packets, then '#'.
  auto event = [&](uint16_t seq, uint32_t ts, uint8_t key, bool end) {
    media.SendTo(ours, EventPacket(101, seq, ts, key, end));
  };
  uint16_t seq = 1;
  for (int i = 0; i < 2; ++i) event(seq++, 8000, 5, false);
  for (int i = 0; i < 3; ++i) event(seq++, 8000, 5, true);
  for (int i = 0; i < 3; ++i) event(seq++, 9600, 11, i > 0);
  ASSERT_TRUE(RunUntil([&] { return Digits().size() >= 2; }, 3000)) << EventLog();
  loop_.RunFor(200);  // no third key from the repeated end packets
  EXPECT_EQ(Digits(), "5#");
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(EventLog().find("RTP stopped: "), std::string::npos);
}

// An answer in G.722 alone, with ptime 30, to a line that offers it: the call is answered, and
// our packets are G.722 (payload type 9) of 30 ms, 240 bytes with timestamps 240 apart (RTP
// counts G.722 at 8000 Hz), about 33 a second.
TEST_F(SipDriverTest, G722OnlyAnswerWithPtime30) {
  Launch("codecs = pcmu,g722\n");
  UdpSocket media;
  Sipp uas(AnsweredUntilBye(
               SdpWithMedia("m=audio @AUDIO@ RTP/AVP 9\na=rtpmap:9 G722/8000\na=ptime:30\n")),
           media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  uint16_t ours = 0;
  double seconds = 0;
  const std::vector<std::string> packets = OurPackets(media, 17, &ours, &seconds);
  ASSERT_GE(packets.size(), 17u);
  EXPECT_GT(seconds, 0.42) << "16 packet times of 30 ms";
  for (const std::string& packet : packets) {
    ASSERT_EQ(packet.size(), 12u + 240u);
    EXPECT_EQ(static_cast<uint8_t>(packet[1]) & 0x7F, 9);
  }
  for (size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(Timestamp(packets[i]) - Timestamp(packets[i - 1]), 240u);
  }
  EXPECT_NE(EventLog().find("answered: codec G722 in 30 ms packets, unencrypted"),
            std::string::npos)
      << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
}

// A peer that answers telephone-event as 96 may send with the 101 we offered (RFC 3264): keys
// on either count, once per press.
TEST_F(SipDriverTest, TelephoneEventsOnTheOfferedPayloadType) {
  Launch();
  UdpSocket media;
  Sipp uas(AnsweredUntilBye(SdpWithMedia("m=audio @AUDIO@ RTP/AVP 0 96\n"
                                         "a=rtpmap:96 telephone-event/8000\na=fmtp:96 0-15\n")),
           media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);
  uint16_t ours = 0;
  ASSERT_FALSE(media.Receive(2000, &ours).empty());
  uint16_t seq = 1;
  for (int i = 0; i < 4; ++i) media.SendTo(ours, EventPacket(101, seq++, 8000, 5, i > 0));
  for (int i = 0; i < 4; ++i) media.SendTo(ours, EventPacket(96, seq++, 9600, 11, i > 0));
  ASSERT_TRUE(RunUntil([&] { return Digits().size() >= 2; }, 3000)) << EventLog();
  EXPECT_EQ(Digits(), "5#");
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
}

// srtp = offer over UDP, answered with a key: our packets are SRTP that a stream of the test's,
// holding the keys of the SDP, authenticates with the key we offered. Neither key reaches the
// event log; the keys going without TLS are warned of.
TEST_F(SipDriverTest, SrtpWithTheKeysOfTheSdpWhichStayOutOfTheLog) {
  Launch("srtp = offer\n");
  std::vector<SdesCrypto> theirs;
  std::string error;
  ASSERT_TRUE(NewSdesCrypto(&theirs, &error)) << error;
  std::unique_ptr<RtpSocket> callee_socket =
      RtpSocket::Bind(*SocketAddress::Parse("127.0.0.1", 0), 30000, 60000, &error);
  ASSERT_TRUE(callee_socket) << error;
  Sipp uas(Scenario("<recv request=\"INVITE\"><action><ereg regexp=\"inline:[A-Za-z0-9+/]+\" "
                    "search_in=\"body\" check_it=\"true\" assign_to=\"key\"/>"
                    "<log message=\"[$key]\"/></action></recv>\n" +
                    Response("200 OK", "", true, kSippContact,
                             SdpWithMedia("m=audio @AUDIO@ RTP/AVP 0\na=crypto:" +
                                          FormatSdesCrypto(theirs[0]) + "\n")) +
                    "<recv request=\"ACK\"/>\n" + kAwaitBye),
           callee_socket->Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  const std::string our_key = platform::Trim(uas.Logged(), "\r\n").substr(7);  // "inline:"
  const std::optional<SdesCrypto> ours =
      ParseSdesCrypto("1 AES_CM_128_HMAC_SHA1_80 inline:" + our_key, &error);
  ASSERT_TRUE(ours) << error << ": " << uas.Logged();

  SipMedia callee_media;
  callee_media.remote = *SocketAddress::Parse("127.0.0.1", 9);  // until our first packet
  callee_media.srtp = SrtpKeys{SrtpSuite::kAesCm128HmacSha1_80, theirs[0].key, ours->key};
  std::unique_ptr<RtpStream> callee = RtpStream::Create(
      std::move(callee_socket), callee_media, VoiceCodec::Create(SipCodec::kPcmu), nullptr, &error);
  ASSERT_TRUE(callee) << error;
  EXPECT_TRUE(PollUntil(
      [&] {
        callee->Receive([](const std::string&) {});
        return callee->Received() >= 10;
      },
      2000));
  EXPECT_EQ(callee->Ignored(), 0u);
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();

  const std::string log = EventLog();
  EXPECT_NE(log.find("answered: codec PCMU in 20 ms packets, SRTP AES_CM_128_HMAC_SHA1_80"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("warning: the SRTP keys go in the SDP without TLS (transport = udp)"),
            std::string::npos)
      << log;
  for (const std::string& key : {our_key, FormatSdesCrypto(theirs[0]).substr(33)}) {
    EXPECT_EQ(log.find(key.substr(0, 12)), std::string::npos) << key;
  }
}

// The packets keep their own clock: while the application's thread does something else for a
// second (its controller sleeps before and after each greeting), they come every 20 ms, and
// none are sent in a burst once the loop runs again.
TEST_F(SipDriverTest, PacketsKeepTheirPaceWhileTheLoopIsBusy) {
  Launch();
  UdpSocket media;
  Sipp uas(AnsweredUntilBye(), media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  while (!media.Receive(0).empty()) {
  }

  // The loop's own thread reads the packets for a second, and runs nothing of the loop.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(1);
  std::vector<Clock::time_point> arrivals = {Clock::now()};
  for (Clock::time_point now = arrivals[0]; now < end; now = Clock::now()) {
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
    if (!media.Receive(left + 1).empty()) arrivals.push_back(Clock::now());
  }
  EXPECT_GE(arrivals.size(), 46u);
  EXPECT_LE(arrivals.size(), 54u);
  std::chrono::milliseconds longest{0};
  for (size_t i = 1; i < arrivals.size(); ++i) {
    longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                    arrivals[i] - arrivals[i - 1]));
  }
  EXPECT_LT(longest.count(), 80) << "a gap while the loop was busy";

  // A fifth of a second of the loop again: about ten packets, not the second's fifty.
  loop_.RunFor(200);
  size_t after = 0;
  while (!media.Receive(0).empty()) ++after;
  EXPECT_LE(after, 14u);
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
}

// What could smuggle headers or parameters is refused before anything is sent; a password
// file others can read ends the call with a clear reason.
TEST_F(SipDriverTest, RefusedAddressesAndAnOpenPasswordFile) {
  const std::filesystem::path password = dir_ / "password";
  std::ofstream(password) << "Wh1sper\n";
  std::filesystem::permissions(
      password, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  Launch("password_file = " + password.string() + "\n");
  for (const char* number : {"sip:a@127.0.0.1?Subject=x", "5551234;user=phone", "555 1234"}) {
    EXPECT_EQ(Dial(number), LINEERR_INVALADDRESS) << number;
  }
  ASSERT_EQ(Dial("5551234"), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 2000));
  EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_UNAVAIL);
  EXPECT_NE(EventLog().find("is open to other users"), std::string::npos) << EventLog();
  EXPECT_EQ(EventLog().find("sent INVITE"), std::string::npos);
  EXPECT_TRUE(DropAndWaitIdle(1000));
}

// --- Mid-call requests, session timers, reliable provisional responses -----------------------

// Takes the INVITE as RecvInvite does and runs the checks in `action`; with kForResponses
// also saves what a response to it needs after other requests came (InviteResponse).
enum class Saved { kNothing, kForResponses };
std::string RecvInviteChecking(const std::string& action, Dialog dialog,
                               Saved saved = Saved::kNothing) {
  std::string steps = "<recv request=\"INVITE\"><action>";
  if (dialog == Dialog::kKeep || saved == Saved::kForResponses) {
    steps += "<ereg regexp=\".*\" search_in=\"hdr\" header=\"From:\" assign_to=\"caller\"/>";
  }
  if (dialog == Dialog::kKeep) {
    steps +=
        "<ereg regexp=\"sip:[^>;]*\" search_in=\"hdr\" header=\"Contact:\" assign_to=\"contact\"/>";
  }
  if (saved == Saved::kForResponses) {
    for (const char* header : {"Via", "To", "Call-ID", "CSeq"}) {
      steps += "<ereg regexp=\".*\" search_in=\"hdr\" header=\"" + std::string(header) +
               ":\" assign_to=\"saved_" +
               std::string(header == std::string("Call-ID") ? "callid" : header) + "\"/>";
    }
  }
  return steps + action + "</action></recv>\n";
}

// A response to the INVITE saved by RecvInviteChecking.
std::string InviteResponse(const std::string& status, const std::string& extra, bool sdp) {
  return "<send><![CDATA[\nSIP/2.0 " + status +
         "\nVia:[$saved_Via]\nFrom:[$caller]\nTo:[$saved_To];tag=[pid]SIPpTag01[call_number]\n"
         "Call-ID:[$saved_callid]\nCSeq:[$saved_CSeq]\n"
         "Contact: <sip:[local_ip]:[local_port];transport=[transport]>\n" +
         extra +
         (sdp ? "Content-Type: application/sdp\nContent-Length: [len]\n\n" + Sdp()
              : "Content-Length: 0\n\n") +
         "]]></send>\n";
}

const std::string kContact = "Contact: <sip:[local_ip]:[local_port];transport=[transport]>\n";
const std::string kOriginLine = "o=[^[:cntrl:]]*";

// Fails the scenario (through kFailedTail) unless the variables hold the same text.
std::string ExpectSame(const std::string& a, const std::string& b) {
  return "<nop><action><strcmp assign_to=\"" + b + "_cmp\" variable=\"" + a + "\" variable2=\"" +
         b + "\"/><test assign_to=\"" + b + "_differs\" variable=\"" + b +
         "_cmp\" compare=\"not_equal\" value=\"0\"/></action></nop>\n<nop next=\"failed\" test=\"" +
         b + "_differs\"/>\n";
}
const char* kFailedTail =
    "<nop next=\"end\"/>\n<label id=\"failed\"/>\n<recv request=\"NEVER\" timeout=\"10\"/>\n"
    "<label id=\"end\"/>\n";

// The version of the origin line (o=) that the scenario's Check logged as `name`; -1 when it
// logged none.
int64_t OriginVersion(const std::string& logged, const std::string& name) {
  const size_t at = logged.find(name + ": o=");
  if (at == std::string::npos) return -1;
  std::istringstream line(logged.substr(at + name.size() + 2));
  std::string user, id;
  int64_t version = -1;
  line >> user >> id >> version;
  return version;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What the far end asks in the answered call: a re-INVITE without an offer gets ours (the
// INVITE's SDP, o= unchanged), sent again until its ACK; an offer crossing it gets 491; the same
// media 200 with our answer (the codec chosen alone, so the version moves on once); an UPDATE
// and OPTIONS (in the call or not) 200; a codec we did not offer 488, the call unchanged; and
// media moved to another port are followed, our answer unchanged: the sound goes there, and
// only the packets from there count.
TEST_F(SipDriverTest, MidCallRequestsAreAnsweredAndMovedMediaFollowed) {
  Launch("rtp_timeout = 1\n");
  RtpPeer before;
  RtpPeer after;
  const std::string ack_answer = Request("ACK", 2, "", "application/sdp", Sdp());
  Sipp uas(
      Scenario(
          RecvInviteChecking(Check("body", kOriginLine, "offer_o"), Dialog::kKeep) +
          Response("200 OK", "", true) + "<recv request=\"ACK\"/>\n" + Pause(200) +
          Request("INVITE", 2, kContact) + "<recv response=\"200\"><action>" +
          Check("body", kOriginLine, "ok_o") +
          Check("Contact", "sip:alerts@127[.]0[.]0[.]1:[0-9]+", "ok_contact") +
          "</action></recv>\n" + ExpectSame("offer_o", "ok_o") + Pause(700) +
          Request("UPDATE", 3, kContact, "application/sdp", Sdp()) + "<recv response=\"491\"/>\n" +
          ack_answer + Request("INVITE", 4, kContact, "application/sdp", Sdp()) +
          "<recv response=\"200\"><action>" + Check("body", kOriginLine, "same_o") +
          Check("body", "m=audio [0-9]+ RTP/AVP 0 101\r", "same_m") + "</action></recv>\n" +
          Request("ACK", 4) + Request("UPDATE", 5, kContact) + "<recv response=\"200\"/>\n" +
          Request("OPTIONS", 6) + "<recv response=\"200\"><action>" +
          Check("Allow", "UPDATE", "allow") + Check("Supported", "timer", "supported") +
          "</action></recv>\n" + InDialog("OPTIONS", 1, "", "", "200", "stranger") +
          Request("INVITE", 7, kContact, "application/sdp", Sdp("@AUDIO@", "18")) +
          "<recv response=\"488\"/>\n" +
          Request("ACK", 7, "", "", "", "[pid]SIPpTag01[call_number]", "[branch-2]") +
          Request("INVITE", 8, kContact, "application/sdp", Sdp(std::to_string(after.Port()))) +
          "<recv response=\"200\"><action>" + Check("body", kOriginLine, "moved_o") +
          "</action></recv>\n" + Request("ACK", 8) + kAwaitBye + kFailedTail),
      before.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  // The peers' counts change on threads of their own: looked at every 50 ms.
  const auto moved_sound_arrives = [&] {
    for (int waited = 0; waited < 6000 && after.Received() < 10; waited += 50) loop_.RunFor(50);
    return after.Received() >= 10;
  };
  ASSERT_TRUE(moved_sound_arrives()) << EventLog();
  // Longer than rtp_timeout: the old port hears nothing more, and the call goes on.
  const uint64_t stale = before.Received();
  loop_.RunFor(1300);
  EXPECT_LE(before.Received(), stale + 2) << "the sound still goes to the old port";
  EXPECT_FALSE(Reached(LINECALLSTATE_DISCONNECTED)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  const std::string logged = uas.Logged();
  const int64_t offered = OriginVersion(logged, "offer_o");
  EXPECT_GE(offered, 0) << logged;
  EXPECT_EQ(OriginVersion(logged, "same_o"), offered + 1) << logged;
  EXPECT_EQ(OriginVersion(logged, "moved_o"), offered + 1) << logged;
  const std::string log = EventLog();
  EXPECT_NE(log.find("new SDP of the far end not taken, the media stay as they were"),
            std::string::npos)
      << log;
  const std::string moved = "127.0.0.1:" + std::to_string(after.Port());
  EXPECT_NE(
      log.find(
          "the media move: codec PCMU in 20 ms packets, unencrypted, keys by RFC 4733, RTP -> " +
          moved),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("the callee's RTP arrives from " + moved), std::string::npos) << log;
  // Six 200s (re-INVITEs 2, 4 and 8, UPDATE 5, two OPTIONS), and the one of re-INVITE 2
  // again before its ACK.
  EXPECT_GE(Count(log, "sent 200 OK"), 7u) << log;
}

// What the scenario logged as `name` with LogBody: the text between "name: " and ":end".
std::string LoggedBody(const std::string& logged, const std::string& name) {
  const size_t at = logged.find(name + ": ");
  if (at == std::string::npos) return {};
  const size_t from = at + name.size() + 2;
  return logged.substr(from, logged.find(":end", from) - from);
}
std::string LogBody(const std::string& name) {
  return "<ereg regexp=\"m=audio.*\" search_in=\"body\" check_it=\"true\" assign_to=\"" + name +
         "\"/><log message=\"" + name + ": [$" + name + "]:end\"/>";
}

// A re-offer on an SRTP call: our answer names exactly one key, with the offer's tag for the
// suite the call uses and our own key of that suite, in the offer's profile; the far end's new
// key counts from then on (our side latches its packets afresh) while ours goes on unchanged.
// An offer without a key is refused (488) and the call goes on; a re-INVITE without an offer
// gets both our keys, and the answer in its ACK moves the call to the other suite.
TEST_F(SipDriverTest, SrtpReoffersAreAnsweredWithOneKey) {
  Launch("srtp = offer\nrtp_timeout = 1\n");
  std::vector<SdesCrypto> first, second, third;
  std::string error;
  ASSERT_TRUE(NewSdesCrypto(&first, &error) && NewSdesCrypto(&second, &error) &&
              NewSdesCrypto(&third, &error))
      << error;
  const auto crypto = [](uint32_t tag, SrtpSuite suite, const SrtpKey& key) {
    return "a=crypto:" + FormatSdesCrypto(SdesCrypto{tag, suite, key}) + "\n";
  };
  const auto media = [](const std::string& profile, const std::string& keys) {
    return SdpWithMedia("m=audio @AUDIO@ " + profile +
                        " 0 101\na=rtpmap:0 PCMU/8000\na=rtpmap:101 telephone-event/8000\n" + keys);
  };
  const SrtpSuite k80 = SrtpSuite::kAesCm128HmacSha1_80;
  const SrtpSuite k32 = SrtpSuite::kAesCm128HmacSha1_32;
  const std::string reoffer =
      media("RTP/SAVP", crypto(5, k32, second[1].key) + crypto(6, k80, second[0].key));
  std::unique_ptr<RtpSocket> callee_socket =
      RtpSocket::Bind(*SocketAddress::Parse("127.0.0.1", 0), 30000, 60000, &error);
  ASSERT_TRUE(callee_socket) << error;
  Sipp uas(
      Scenario(
          RecvInviteChecking(
              "<ereg regexp=\"inline:[A-Za-z0-9+/]+\" search_in=\"body\" "
              "check_it=\"true\" assign_to=\"key\"/><log message=\"ours: [$key]\"/>" +
                  Check("body", kOriginLine, "offer_o"),
              Dialog::kKeep) +
          Response("200 OK", "", true, kSippContact,
                   media("RTP/AVP", crypto(1, k80, first[0].key))) +
          "<recv request=\"ACK\"/>\n" + Pause(600) +
          Request("INVITE", 2, kContact, "application/sdp", reoffer) +
          "<recv response=\"200\"><action>" + Check("body", kOriginLine, "answer_o") +
          LogBody("answer") + "</action></recv>\n" + Request("ACK", 2) + Pause(1500) +
          Request("INVITE", 3, kContact, "application/sdp", media("RTP/AVP", "")) +
          "<recv response=\"488\"/>\n" +
          Request("ACK", 3, "", "", "", "[pid]SIPpTag01[call_number]", "[branch-2]") +
          Request("INVITE", 4, kContact) + "<recv response=\"200\"><action>" +
          Check("body", kOriginLine, "offer4_o") + LogBody("offer4") + "</action></recv>\n" +
          Request("ACK", 4, "", "application/sdp", media("RTP/AVP", crypto(2, k32, third[1].key))) +
          kAwaitBye),
      callee_socket->Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  const std::string logged = uas.Logged();
  const size_t key_at = logged.find("ours: inline:");
  ASSERT_NE(key_at, std::string::npos) << logged;
  const std::string our_key = logged.substr(key_at + 13, 40);
  const std::optional<SdesCrypto> ours =
      ParseSdesCrypto("1 AES_CM_128_HMAC_SHA1_80 inline:" + our_key, &error);
  ASSERT_TRUE(ours) << error;

  // The callee's stream: ours authenticated with our key, its own sent with its first key,
  // then with the new one of its offer.
  SipMedia callee_media;
  callee_media.remote = *SocketAddress::Parse("127.0.0.1", 9);  // until our first packet
  callee_media.srtp = SrtpKeys{k80, first[0].key, ours->key};
  std::unique_ptr<RtpStream> callee = RtpStream::Create(
      std::move(callee_socket), callee_media, VoiceCodec::Create(SipCodec::kPcmu), nullptr, &error);
  ASSERT_TRUE(callee) << error;
  const auto talk_until = [&](const std::function<bool()>& done) {
    return PollUntil(
        [&] {
          callee->Send(std::vector<int16_t>(160));
          callee->Receive([](const std::string&) {});
          return done();
        },
        2500);
  };
  const std::string latched = "the callee's RTP arrives from";
  ASSERT_TRUE(talk_until([&] { return Count(EventLog(), latched) == 1; })) << EventLog();
  ASSERT_TRUE(talk_until([&] {
    return EventLog().find(
               "the media move: codec PCMU in 20 ms packets, SRTP "
               "AES_CM_128_HMAC_SHA1_80, keys by RFC 4733") != std::string::npos;
  })) << EventLog();
  const std::string answered = EventLog();
  const size_t port_at = answered.find("RTP port ") + 9;
  callee_media.remote = *SocketAddress::Parse(
      "127.0.0.1", static_cast<uint16_t>(std::stoi(answered.substr(port_at))));
  callee_media.srtp->send = second[0].key;
  callee->Follow(callee_media, VoiceCodec::Create(SipCodec::kPcmu), nullptr);
  const uint64_t heard_before = callee->Received();
  EXPECT_TRUE(talk_until([&] {
    return Count(EventLog(), latched) == 2 && callee->Received() >= heard_before + 10;
  })) << EventLog();

  ASSERT_TRUE(talk_until([&] {
    return EventLog().find("SRTP AES_CM_128_HMAC_SHA1_32") != std::string::npos;
  })) << EventLog()
      << uas.Log();
  EXPECT_FALSE(Reached(LINECALLSTATE_DISCONNECTED)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();

  const std::string answer = LoggedBody(uas.Logged(), "answer");
  EXPECT_NE(answer.find(" RTP/SAVP 0 101\r"), std::string::npos) << uas.Logged();
  EXPECT_EQ(Count(answer, "a=crypto:"), 1u) << answer;
  EXPECT_NE(answer.find("a=crypto:6 AES_CM_128_HMAC_SHA1_80 inline:" + our_key + "\r"),
            std::string::npos)
      << answer;
  EXPECT_EQ(Count(LoggedBody(uas.Logged(), "offer4"), "a=crypto:"), 2u) << uas.Logged();
  const int64_t offered = OriginVersion(uas.Logged(), "offer_o");
  EXPECT_EQ(OriginVersion(uas.Logged(), "answer_o"), offered + 1) << uas.Logged();
  EXPECT_EQ(OriginVersion(uas.Logged(), "offer4_o"), offered + 2) << uas.Logged();
  EXPECT_NE(EventLog().find("new SDP of the far end not taken, the media stay as they were: the "
                            "offer holds no SRTP key, and the call is encrypted"),
            std::string::npos)
      << EventLog();
}

// A move to media without telephone-event makes keys come as tones in the sound: the tone of
// '7' in the far end's PCMU counts, though the call began with keys by RFC 4733.
TEST_F(SipDriverTest, MoveToMediaWithoutEventsHearsKeysAsTones) {
  Launch();
  UdpSocket media;
  Sipp uas(Scenario(RecvInvite(Dialog::kKeep) + Response("200 OK", "", true) +
                    "<recv request=\"ACK\"/>\n" + Pause(300) +
                    Request("INVITE", 2, kContact, "application/sdp",
                            SdpWithMedia("m=audio @AUDIO@ RTP/AVP 0\n")) +
                    "<recv response=\"200\"/>\n" + Request("ACK", 2) + kAwaitBye),
           media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);
  ASSERT_TRUE(RunUntil(
      [&] { return EventLog().find("keys by in-band tones, RTP ->") != std::string::npos; }, 3000))
      << EventLog();
  // The packet clock takes the move with its next packet, and drops what came before it.
  loop_.RunFor(100);
  uint16_t ours = 0;
  ASSERT_FALSE(media.Receive(1000, &ours).empty());
  std::unique_ptr<VoiceCodec> pcmu = VoiceCodec::Create(SipCodec::kPcmu);
  uint16_t sequence = 1;
  for (const std::vector<int16_t>& frame : testing_sip::SevenThenSilence(10)) {
    std::string packet = EventPacket(0, sequence, 160u * sequence, 0, false).substr(0, 12);
    packet.resize(12 + frame.size());
    pcmu->Encode(frame, reinterpret_cast<uint8_t*>(packet.data() + 12));
    media.SendTo(ours, packet);
    ++sequence;
  }
  EXPECT_TRUE(RunUntil([&] { return Digits() == "7"; }, 2000)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
}

// The INVITE offers session timers; a 422 is answered by asking for the interval it names;
// with refresher=uac we refresh by UPDATE at half the interval, until a 2xx without
// Session-Expires turns the timer off.
TEST_F(SipDriverTest, SessionIsRefreshedByUpdateAtHalfTheInterval) {
  Launch();
  UdpSocket media;
  Sipp uas(
      Scenario("<recv request=\"INVITE\"><action>" + Check("Supported", "100rel", "rel") +
               Check("Supported", "timer", "timer") + Check("Session-Expires", "1800", "se") +
               Check("Allow", "UPDATE", "allow") + "</action></recv>\n" +
               Response("422 Session Interval Too Small", "Min-SE: 3600\n") +
               "<recv request=\"ACK\"/>\n" +
               RecvInviteChecking(
                   Check("Session-Expires", "3600", "se2") + Check("Min-SE", "3600", "min"),
                   Dialog::kNone) +
               Response("200 OK", "Session-Expires: 2;refresher=uac\nRequire: timer\n", true) +
               "<recv request=\"ACK\"/>\n<recv request=\"UPDATE\" timeout=\"2500\"><action>" +
               Check("Session-Expires", "3600;refresher=uac", "refresh") + "</action></recv>\n" +
               Reply("200 OK", "Session-Expires: 2;refresher=uac\nRequire: timer\n") +
               "<recv request=\"UPDATE\" timeout=\"2500\"/>\n" + Reply("200 OK") + kAwaitBye),
      media.Port());
  using Clock = std::chrono::steady_clock;
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  const Clock::time_point answered = Clock::now();
  const auto seconds_since = [](Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
  };
  ASSERT_TRUE(RunUntil([&] { return Count(EventLog(), "sent UPDATE") >= 1; }, 3000)) << EventLog();
  const double first = seconds_since(answered);
  EXPECT_GT(first, 0.8);
  EXPECT_LT(first, 1.6);
  const Clock::time_point refreshed = Clock::now();
  ASSERT_TRUE(RunUntil([&] { return Count(EventLog(), "sent UPDATE") >= 2; }, 3000)) << EventLog();
  EXPECT_GT(seconds_since(refreshed), 0.8);
  EXPECT_LT(seconds_since(refreshed), 1.6);
  loop_.RunFor(1500);
  EXPECT_EQ(Count(EventLog(), "sent UPDATE"), 2u) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  const std::string log = EventLog();
  EXPECT_NE(log.find("session interval too small (422): asking for 3600 s"), std::string::npos)
      << log;
  EXPECT_NE(log.find("session timer 2 s, refreshed by us (UPDATE)"), std::string::npos) << log;
  EXPECT_NE(log.find("no session timer any more"), std::string::npos) << log;
}

// The far end refreshes: its UPDATE is answered with the interval and the refresher it asked
// for. When it stops, we end the call with BYE a third of the interval before the session
// would expire: the far end is gone, a normal hang-up.
TEST_F(SipDriverTest, SessionNotRefreshedByTheFarEndEndsWithBye) {
  Launch();
  UdpSocket media;
  Sipp uas(
      Scenario(
          RecvInvite(Dialog::kKeep) +
          Response("200 OK", "Session-Expires: 3;refresher=uas\nRequire: timer\n", true) +
          "<recv request=\"ACK\"/>\n" + Pause(500) +
          Request("UPDATE", 2, kContact + "Session-Expires: 3;refresher=uac\nSupported: timer\n") +
          "<recv response=\"200\"><action>" + Check("Session-Expires", "3;refresher=uac", "se") +
          Check("Require", "timer", "require") + "</action></recv>\n" +
          "<recv request=\"BYE\" timeout=\"4000\"/>\n" + Reply("200 OK")),
      media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  ASSERT_TRUE(
      RunUntil([&] { return EventLog().find("received UPDATE") != std::string::npos; }, 3000))
      << EventLog();
  const auto refreshed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForState(LINECALLSTATE_DISCONNECTED, 4000)) << EventLog();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - refreshed).count();
  EXPECT_GT(seconds, 1.7);
  EXPECT_LT(seconds, 2.7);
  EXPECT_EQ(Mode(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_NORMAL);
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(EventLog().find("the session expired: not refreshed within 3 s"), std::string::npos)
      << EventLog();
}

// A reliable 183 gets its PRACK (RAck: its RSeq and the INVITE's CSeq) once, however often it
// comes, and the next reliable response its own; a 2xx without SDP takes the reliable 183's,
// and only then does the sound go there.
TEST_F(SipDriverTest, ReliableProvisionalResponsesArePracked) {
  Launch();
  UdpSocket media;
  const std::string rack_check =
      "<ereg regexp=\"7 ([0-9]+) INVITE\" search_in=\"hdr\" header=\"RAck:\" check_it=\"true\" "
      "assign_to=\"rack,rack_cseq\"/><log message=\"[$rack]\"/>";
  Sipp uas(
      Scenario(RecvInviteChecking(Check("Supported", "100rel", "rel") +
                                      "<ereg regexp=\"[0-9]+\" search_in=\"hdr\" header=\"CSeq:\" "
                                      "assign_to=\"invite_cseq\"/>",
                                  Dialog::kNone, Saved::kForResponses) +
               InviteResponse("183 Session Progress", "Require: 100rel\nRSeq: 7\n", true) +
               "<recv request=\"PRACK\"><action>" + rack_check + "</action></recv>\n" +
               ExpectSame("invite_cseq", "rack_cseq") + Reply("200 OK") +
               InviteResponse("183 Session Progress", "Require: 100rel\nRSeq: 7\n", true) +
               Pause(300) + InviteResponse("180 Ringing", "Require: 100rel\nRSeq: 8\n", false) +
               "<recv request=\"PRACK\"><action>" + Check("RAck", "8 [0-9]+ INVITE", "rack8") +
               "</action></recv>\n" + Reply("200 OK") + Pause(300) +
               InviteResponse("200 OK", "", false) + "<recv request=\"ACK\"/>\n" + kAwaitBye +
               kFailedTail),
      media.Port());
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_RINGBACK, 5000)) << EventLog();
  EXPECT_TRUE(media.Receive(400).empty()) << "sound before the answer";
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_FALSE(media.Receive(1000).empty()) << "no sound where the reliable 183 asked for it";
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_EQ(Count(EventLog(), "sent PRACK"), 2u) << EventLog();
}

// A forking proxy may pass on the answers of two phones: the second is acknowledged in a dialog
// of its own and ended at once with BYE (its phone would wait for its ACK and keep a listener
// in silence otherwise); the call goes on with the first.
TEST_F(SipDriverTest, SecondForkAnswerIsAckedAndEnded) {
  Launch();
  std::string second_fork = InviteResponse("200 OK", "", true);
  second_fork.replace(second_fork.find("SIPpTag01"), 9, "SIPpFork2");
  const std::string to_fork = "tag=[^;>]*SIPpFork2";
  Sipp uas(Scenario(RecvInviteChecking("", Dialog::kNone, Saved::kForResponses) +
                    InviteResponse("200 OK", "", true) + "<recv request=\"ACK\"/>\n" + second_fork +
                    "<recv request=\"ACK\"><action>" + Check("To", to_fork, "fork_acked") +
                    "</action></recv>\n" + "<recv request=\"BYE\"><action>" +
                    Check("To", to_fork, "fork_ended") + "</action></recv>\n" + Reply("200 OK") +
                    kAwaitBye));
  ASSERT_EQ(Dial(uas.Uri()), 0);
  ASSERT_TRUE(WaitForState(LINECALLSTATE_CONNECTED, 5000)) << EventLog();
  EXPECT_FALSE(WaitForState(LINECALLSTATE_DISCONNECTED, 500)) << EventLog();
  EXPECT_TRUE(DropAndWaitIdle());
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log() << EventLog();
}

}  // namespace
}  // namespace telvane::linesvc
