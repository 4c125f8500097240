// The built program calls real SIP peers on 127.0.0.1, in real time: baresip answers, presses a
// key during the greeting and records the message it hears; sipp gives the final responses
// whose result lines must be those of a simulated line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

#include "tests/linesvc/sip/sip_peers.h"
#include "tests/linesvc/sip/sipp_scenarios.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wave_files.h"

namespace telvane::e2e {
namespace {

using namespace linesvc::testing_sip;

// The mean difference per sample between the message and the best-matching stretch of what
// was heard; a large number when nothing heard is as long as the message.
double BestMatchError(const std::vector<int16_t>& heard, const std::vector<int16_t>& message) {
  double best = 1e9;
  for (size_t offset = 0; offset + message.size() <= heard.size(); ++offset) {
    double error = 0;
    for (size_t i = 0; i < message.size() && error < best * message.size(); i += 4) {
      error += std::abs(heard[offset + i] - message[i]) * 4.0;
    }
    best = std::min(best, error / static_cast<double>(message.size()));
  }
  return best;
}

class SipE2eTest : public ::testing::Test {
 protected:
  // The program runs from a folder of its own, with its telephony service and greeting beside
  // it, so its settings can wait 2 s for an answer instead of 10.
  SipE2eTest() : dir_(testing::ScratchDir::ForCurrentTest()) {
    testing_wave::WriteFile(dir_ / "msg.wav", testing_wave::LineWave(message_));
    std::filesystem::copy_file(TELVANE_PROGRAM, dir_ / "telvane");
    std::filesystem::create_symlink(TELVANE_LINESVC_PATH, dir_ / "libTAPI32.so");
    std::filesystem::create_symlink(TELVANE_GREETING, dir_ / "PressAnyKey.wav");
    testing_wave::WriteFile(dir_ / "telvane.ini", "[General]\nConnectTimeOut=2000\n");
  }

  // A call to `number` that `callee` answers, pressing 5 half-way through the greeting: the run
  // completes and the callee hears the whole message, each sample within what G.711 keeps of
  // it (about 3%: a missing or shifted packet costs far more).
  void CallCompletesWithTheMessageHeard(Baresip& callee, const std::string& number,
                                        const std::string& keys = "") {
    auto run = std::async(std::launch::async, [&] { return Run(number, keys); });
    ASSERT_TRUE(callee.WaitForEvent("CALL_ESTABLISHED", 10000)) << Events();
    // The greeting starts a second after the answer.
    callee.WaitForEvent("never", 1800);
    callee.SendKey('5');
    EXPECT_EQ(run.get().lines,
              (std::vector<std::string>{"[T]\tDialing " + number, "[T]\tCall Completed"}))
        << Events();
    ASSERT_TRUE(callee.WaitForEvent("CALL_CLOSED", 5000));
    const std::vector<int16_t> heard = callee.Heard();
    EXPECT_LT(BestMatchError(heard, message_), 150.0) << heard.size() << " samples heard";
  }

  // What a run with one attempt prints: dialing `uri`, then the line "Result : `result`".
  static std::vector<std::string> OneAttempt(const std::string& uri, const std::string& result) {
    return {"[T]\tDialing " + uri, "[T]\tResult : " + result};
  }

  testing::ProgramRun Run(const std::string& number, const std::string& extra_keys = "",
                          std::vector<std::string> options = {}, int exit_code = 0) {
    testing_wave::WriteFile(dir_ / "lines.ini",
                            "[line SIP]\ndriver = sip\nuri = sip:alerts@127.0.0.1\n" + extra_keys);
    std::filesystem::remove(dir_ / "loader");
    std::map<std::string, std::string> environment = testing::ProgramEnvironment(dir_.Path());
    environment.insert(
        {{"LC_ALL", "C"}, {"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", (dir_ / "loader").string()}});
    options.insert(options.begin(), {(dir_ / "msg.wav").string(), "-phone:" + number});
    std::string program = (dir_ / "telvane").string();
    if (!netns_.empty()) {
      options.insert(options.begin(), {"netns", "exec", netns_, program});
      program = "/usr/sbin/ip";
    }
    testing::ProgramRun run = testing::RunProgram(program, options, environment);
    EXPECT_EQ(run.exit_code, exit_code);
    EXPECT_EQ(run.standard_error, "");
    return run;
  }

  std::string Events() const { return testing_wave::ReadFile(dir_ / "events.log"); }

  // One greeting of `ms` (a tone), not five of the recorded one: a call without a key is over
  // in seconds.
  void OneShortGreeting(int ms = 2500) {
    std::vector<int16_t> tone(static_cast<size_t>(ms) * 8);
    for (size_t i = 0; i < tone.size(); ++i) {
      tone[i] =
          static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000));
    }
    testing_wave::WriteFile(dir_ / "greeting.wav", testing_wave::LineWave(tone));
    testing_wave::WriteFile(
        dir_ / "telvane.ini",
        "[General]\nConnectTimeOut=2000\nMaxGreetingsCount=1\nPressAnyKeyFile=" +
            (dir_ / "greeting.wav").string() + "\n");
  }

  // The loader's report of the libraries the last run loaded (loader.PID).
  std::string Loaded() const {
    std::string report;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
      if (entry.path().filename().string().rfind("loader.", 0) == 0) {
        report += testing_wave::ReadFile(entry.path());
        std::filesystem::remove(entry.path());
      }
    }
    return report;
  }

  const testing::ScratchDir dir_;
  std::string netns_;  // the network namespace the program runs in; "": this one
  // 1.5 s of a sweeping tone: no two stretches alike, so its place in a recording is clear.
  const std::vector<int16_t> message_ = [] {
    std::vector<int16_t> samples(12000);
    for (size_t i = 0; i < samples.size(); ++i) {
      const double t = static_cast<double>(i) / 8000;
      samples[i] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * (300 + 400 * t) * t));
    }
    return samples;
  }();
};

// The greeting plays until baresip presses a key; then the whole message reaches it, sample
// within what G.711 keeps of it.
TEST_F(SipE2eTest, GreetingKeyMessageThroughBaresip) {
  // baresip plays this to us; it hangs up when it ends, so it lasts longer than the call.
  testing_wave::WriteFile(dir_ / "callee.wav",
                          testing_wave::LineWave(std::vector<int16_t>(8000 * 30, 0)));
  Baresip callee(dir_ / "callee.wav");
  ASSERT_NE(callee.Port(), 0);
  CallCompletesWithTheMessageHeard(callee, callee.Uri());
  const std::string events = Events();
  EXPECT_NE(events.find("remote side presses 5 (RFC 4733)"), std::string::npos) << events;
  EXPECT_NE(events.find("sent BYE"), std::string::npos);
  // The SIP driver's module is loaded, but not spandsp: no key comes as a tone.
  const std::string loaded = Loaded();
  EXPECT_NE(loaded.find("libtelvane_sip.so"), std::string::npos) << loaded;
  EXPECT_EQ(loaded.find("libspandsp"), std::string::npos);
}

// A callee that insists on SRTP (baresip's srtp module, mediaenc=srtp-mand): with srtp = no it
// answers 488, which the event log names as a refused media offer; with srtp = required the
// call is encrypted both ways, its key counts, and the callee records the whole message.
TEST_F(SipE2eTest, SrtpWithACalleeThatInsistsOnIt) {
  testing_wave::WriteFile(dir_ / "callee.wav",
                          testing_wave::LineWave(std::vector<int16_t>(8000 * 30, 0)));
  Baresip callee(dir_ / "callee.wav", Baresip::Answer::kAuto, "baresip", {},
                 {.srtp_mandatory = true});
  ASSERT_NE(callee.Port(), 0);
  EXPECT_EQ(Run(callee.Uri(), "srtp = no\n").lines,
            OneAttempt(callee.Uri(), "Error : Tapi device is not ready"));
  EXPECT_NE(Events().find("call ends: the callee refused the media offer: 488 "), std::string::npos)
      << Events();

  std::filesystem::remove(dir_ / "events.log");
  CallCompletesWithTheMessageHeard(callee, callee.Uri(), "srtp = required\n");
  const std::string events = Events();
  EXPECT_NE(events.find(", SRTP AES_CM_128_HMAC_SHA1_"), std::string::npos) << events;
  EXPECT_NE(events.find("remote side presses 5 (RFC 4733)"), std::string::npos) << events;
}

// With dtmf = inband the key is heard as a tone in what baresip plays, through spandsp's
// module as the program loads it.
TEST_F(SipE2eTest, InbandKeyThroughBaresip) {
  // A '5' (770 + 1336 Hz) for 150 ms, 2.5 s after the answer: half-way through the greeting.
  std::vector<int16_t> sound(8000 * 30, 0);
  for (size_t i = 0; i < 1200; ++i) {
    const double t = static_cast<double>(i) / 8000;
    sound[20000 + i] =
        static_cast<int16_t>(6000 * (std::sin(2 * M_PI * 770 * t) + std::sin(2 * M_PI * 1336 * t)));
  }
  testing_wave::WriteFile(dir_ / "callee.wav", testing_wave::LineWave(sound));
  Baresip callee(dir_ / "callee.wav");
  ASSERT_NE(callee.Port(), 0);
  EXPECT_EQ(Run(callee.Uri(), "dtmf = inband\n").lines,
            (std::vector<std::string>{"[T]\tDialing " + callee.Uri(), "[T]\tCall Completed"}))
      << Events();
  const std::string events = Events();
  EXPECT_NE(events.find("remote side presses 5 (in-band tones)"), std::string::npos) << events;
  EXPECT_NE(Loaded().find("libtelvane_spandsp.so"), std::string::npos);
}

// Busy, declined, unknown, not answered: the result lines of the simulated line.
TEST_F(SipE2eTest, FailedCallsGiveTheResultLinesOfEveryLine) {
  const struct {
    const char* status;
    std::vector<std::string> tail;
  } cases[] = {
      {"486 Busy Here", {"busy", "[T]\tResult : Error : Tapi device is not ready"}},
      {"603 Decline", {"[T]\tResult : Error : Tapi device is not ready"}},
      {"404 Not Found", {"[T]\tResult : Error : Tapi device is not ready"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    Sipp uas(Scenario(RecvInvite() + Response("180 Ringing") + Pause(100) + Response(c.status) +
                      "<recv request=\"ACK\"/>\n"));
    const testing::ProgramRun run = Run(uas.Uri());
    std::vector<std::string> expected = {"[T]\tDialing " + uas.Uri()};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(run.lines, expected) << Events();
    EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  }
}

// The far end hangs up during the greeting: the attempt fails as on every line.
TEST_F(SipE2eTest, RemoteHangUpDuringTheGreeting) {
  Sipp uas(Scenario(RecvInvite(Dialog::kKeep) + Response("200 OK", "", true) +
                    "<recv request=\"ACK\"/>\n" + Pause(1800) + InDialog("BYE", 1)));
  EXPECT_EQ(Run(uas.Uri()).lines, OneAttempt(uas.Uri(), "Disconnected by remote")) << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
}

// A line that cannot work says why in the event log, and the program ends cleanly: a password
// file others can read, no free RTP port, a CA file that cannot be read.
TEST_F(SipE2eTest, UnusableLinesEndCleanly) {
  const std::filesystem::path password = dir_ / "password";
  std::ofstream(password) << "Wh1sper\n";
  std::filesystem::permissions(
      password, std::filesystem::perms::owner_read | std::filesystem::perms::others_read);
  const uint16_t taken = FreePort();
  const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(taken);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string port = std::to_string(taken);
  const struct {
    std::string keys;
    std::string reason;
  } cases[] = {
      {"password_file = " + password.string() + "\n", "is open to other users"},
      {"rtp_ports = " + port + "-" + port + "\n", "no free RTP port in " + port + "-" + port},
      {"transport = tls\ntls_ca_file = " + (dir_ / "none.pem").string() + "\n",
       "none.pem cannot be read as PEM certificates"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    std::filesystem::remove(dir_ / "events.log");
    const testing::ProgramRun run = Run("5551234", c.keys);
    EXPECT_EQ(run.lines,
              (std::vector<std::string>{"[T]\tDialing 5551234",
                                        "[T]\tResult : Error : Tapi device is not ready"}));
    EXPECT_NE(Events().find(c.reason), std::string::npos) << Events();
    EXPECT_EQ(Events().find("Wh1sper"), std::string::npos);
  }
  ::close(holder);
}

// A TLS peer must prove to be the next hop before anything is sent to it: one with a
// self-signed certificate, or with the test CA's certificate for another name or expired, gets
// no SIP at all and the attempt fails with the reason in the event log; the test CA's
// certificate for 127.0.0.1 (tls_ca_file) gets the INVITE, and with tls_verify = no any peer
// does, with a warning in the event log.
TEST_F(SipE2eTest, TlsPeersMustProveTheirName) {
  // Nothing answers the INVITEs that go out: the program gives up after a second.
  testing_wave::WriteFile(dir_ / "telvane.ini", "[General]\nConnectTimeOut=1000\n");
  TestCertificates certificates;
  using Signer = TestCertificates::Signer;
  const std::string trust =
      "transport = tls\ntls_ca_file = " + certificates.CaFile().string() + "\n";
  const struct {
    const char* name;
    Signer signer;
    std::string keys;
    const char* reason;
  } cases[] = {
      {"127.0.0.1", Signer::kSelf, trust, "is refused: self-signed certificate"},
      {"other.example", Signer::kTestCa, trust, "is refused: IP address mismatch"},
      {"127.0.0.1", Signer::kExpired, trust, "is refused: certificate has expired"},
      {"127.0.0.1", Signer::kTestCa, trust, nullptr},
      {"other.example", Signer::kSelf, trust + "tls_verify = no\n", "are not checked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys + c.name);
    std::filesystem::remove(dir_ / "events.log");
    TlsServer server(certificates.Make(c.name, c.signer));
    const std::string uri = "sip:bob@127.0.0.1:" + std::to_string(server.Port());
    const testing::ProgramRun run = Run(uri, c.keys);
    const bool refused = c.reason != nullptr && c.keys == trust;
    if (refused) {
      EXPECT_EQ(run.lines, OneAttempt(uri, "Error : Tapi device is not ready"));
    }
    EXPECT_EQ(server.WaitFor("INVITE " + uri, refused ? 0 : 3000), !refused) << server.Log();
    if (c.reason != nullptr) {
      EXPECT_NE(Events().find(c.reason), std::string::npos) << Events();
    }
  }
}

// Whatever else reaches the SIP port during a call stays off the console: datagrams that are
// not SIP, and requests the line does not take (REFER, MESSAGE: answered 501). What libre
// says about them goes to the event log.
TEST_F(SipE2eTest, StrayTrafficOnTheSipPortStaysOffTheConsole) {
  const std::string garbage = "<send><![CDATA[\nthis is no SIP\nCall-ID: [call_id]\n\n]]></send>\n";
  Sipp uas(Scenario(RecvInvite(Dialog::kKeep) + Response("200 OK", "", true) +
                    "<recv request=\"ACK\"/>\n" + Pause(300) + garbage + garbage +
                    InDialog("REFER", 1, "", "", "501") + InDialog("MESSAGE", 2, "", "", "501") +
                    Pause(300) + InDialog("BYE", 3)));
  EXPECT_EQ(Run(uas.Uri()).lines,  // the run's standard error is empty
            OneAttempt(uas.Uri(), "Disconnected by remote"))
      << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(Events().find("SIP library: sip: msg decode err"), std::string::npos) << Events();
}

// An outbound proxy that never answers: the line gives up after its own few seconds, long
// before the 32 s of the INVITE transaction, and the hang-up does not wait for it either.
TEST_F(SipE2eTest, SilentOutboundProxyIsNamed) {
  testing_wave::WriteFile(dir_ / "telvane.ini", "[General]\nConnectTimeOut=5000\n");
  const std::string proxy = "127.0.0.1:" + std::to_string(FreePort());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("5551234", "outbound = " + proxy + "\n").lines,
            (std::vector<std::string>{"[T]\tDialing 5551234",
                                      "[T]\tResult : Error : Tapi device is not ready"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_NE(Events().find("no response to INVITE in time"), std::string::npos) << Events();
}

// --- Through a real registrar and proxy --------------------------------------------------------

class KamailioE2eTest : public SipE2eTest {
 protected:
  // A callee registered at `kamailio` that plays silence for longer than a call takes.
  std::unique_ptr<Baresip> RegisteredCallee(const Kamailio& kamailio, BaresipMedia media = {}) {
    testing_wave::WriteFile(dir_ / "callee.wav",
                            testing_wave::LineWave(std::vector<int16_t>(8000 * 30, 0)));
    BaresipPlace place;
    place.registrar = "127.0.0.1:" + std::to_string(kamailio.Port());
    auto callee = std::make_unique<Baresip>(dir_ / "callee.wav", Baresip::Answer::kAuto, "baresip",
                                            place, std::move(media));
    // Not baresip's REGISTER_OK: it may come before the test's control connection does.
    EXPECT_TRUE(kamailio.WaitFor("registered sip:callee@127.0.0.1", 5000)) << kamailio.Log();
    return callee;
  }

  std::string PasswordFile(const std::string& password) {
    const std::filesystem::path path = dir_ / "password";
    std::filesystem::remove(path);
    std::ofstream(path) << password << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    return "password_file = " + path.string() + "\n";
  }

  // The callee's user name is dialled as it is: the line's domain is Kamailio's. The callee
  // presses a key half-way through the greeting; the message it then hears is the file's.
  void CallCompletesWithTheMessageHeard(Baresip& callee, const std::string& keys) {
    SipE2eTest::CallCompletesWithTheMessageHeard(callee, "callee", keys);
    EXPECT_NE(Events().find("registered"), std::string::npos) << Events();
  }
};

// Kamailio as registrar and proxy with digest authentication: the program registers with the
// password of its file and calls the callee's address of record through it. With a wrong
// password the registration fails, the attempt with it, and no call reaches the callee.
TEST_F(KamailioE2eTest, RegistersAndCallsThroughKamailio) {
  Kamailio kamailio("alerts", "Wh1sper");
  std::unique_ptr<Baresip> callee = RegisteredCallee(kamailio);
  const std::string line =
      "register = yes\noutbound = 127.0.0.1:" + std::to_string(kamailio.Port()) + "\n";
  CallCompletesWithTheMessageHeard(*callee, line + PasswordFile("Wh1sper"));

  std::filesystem::remove(dir_ / "events.log");
  EXPECT_EQ(Run("callee", line + PasswordFile("Wr0ng")).lines,
            (std::vector<std::string>{"[T]\tDialing callee",
                                      "[T]\tResult : Error : Tapi device is not ready"}))
      << Events();
  EXPECT_NE(Events().find("registration failed"), std::string::npos) << Events();
  EXPECT_EQ(Events().find("sent INVITE"), std::string::npos) << Events();
  EXPECT_FALSE(callee->WaitForEvent("CALL_INCOMING", 300));
}

// The same over TLS: Kamailio's certificate is signed by the test's CA, which the line trusts
// (tls_ca_file); the callee stays on UDP, and Kamailio bridges the two.
TEST_F(KamailioE2eTest, RegistersAndCallsOverTls) {
  TestCertificates certificates;
  Kamailio kamailio("alerts", "Wh1sper",
                    certificates.Make("127.0.0.1", TestCertificates::Signer::kTestCa));
  std::unique_ptr<Baresip> callee = RegisteredCallee(kamailio);
  CallCompletesWithTheMessageHeard(
      *callee, "register = yes\ntransport = tls\ntls_ca_file = " + certificates.CaFile().string() +
                   "\noutbound = 127.0.0.1:" + std::to_string(kamailio.TlsPort()) + "\n" +
                   PasswordFile("Wh1sper"));
}

// Over TLS with SRTP: the line requires it, the callee insists on it (baresip's srtp module,
// mediaenc=srtp-mand), and Kamailio relays the SDP with its keys as it is: the call is
// encrypted end to end and the callee hears the message.
TEST_F(KamailioE2eTest, RegistersAndCallsOverTlsWithSrtp) {
  TestCertificates certificates;
  Kamailio kamailio("alerts", "Wh1sper",
                    certificates.Make("127.0.0.1", TestCertificates::Signer::kTestCa));
  std::unique_ptr<Baresip> callee = RegisteredCallee(kamailio, {.srtp_mandatory = true});
  CallCompletesWithTheMessageHeard(
      *callee, "register = yes\ntransport = tls\nsrtp = required\ntls_ca_file = " +
                   certificates.CaFile().string() + "\noutbound = 127.0.0.1:" +
                   std::to_string(kamailio.TlsPort()) + "\n" + PasswordFile("Wh1sper"));
  EXPECT_NE(Events().find(", SRTP AES_CM_128_HMAC_SHA1_"), std::string::npos) << Events();
}

// --- Behind a NAT ------------------------------------------------------------------------------

// Three network namespaces of the test's own, with documentation addresses that lead nowhere
// else: the program's LAN (198.51.100.0/24), a router that masquerades what leaves it for the
// outside (203.0.113.0/24, where it is 203.0.113.1), and the outside, where a baresip callee
// and a STUN server stand at 203.0.113.2. Linux's masquerading keeps ports where it can and
// lets in only what answers a packet sent out (port-restricted); the router drops the rest. Removed
// when the object goes; `Unavailable()` says why there is none (no namespaces or no NAT in this
// kernel).
class NatNetwork {
 public:
  NatNetwork() {
    const std::string id = std::to_string(::getpid());
    lan_ = "tvlan" + id;
    router_ = "tvnat" + id;
    outside_ = "tvout" + id;
    const std::vector<std::string> steps = {
        "ip netns add " + lan_, "ip netns add " + router_, "ip netns add " + outside_,
        "ip link add tvl" + id + " netns " + lan_ + " type veth peer name tvr" + id + " netns " +
            router_,
        "ip link add tvo" + id + " netns " + outside_ + " type veth peer name tvw" + id +
            " netns " + router_,
        "ip -n " + lan_ + " addr add 198.51.100.2/24 dev tvl" + id,
        "ip -n " + router_ + " addr add 198.51.100.1/24 dev tvr" + id,
        "ip -n " + router_ + " addr add 203.0.113.1/24 dev tvw" + id,
        "ip -n " + outside_ + " addr add 203.0.113.2/24 dev tvo" + id,
        "ip -n " + lan_ + " link set lo up", "ip -n " + router_ + " link set lo up",
        "ip -n " + outside_ + " link set lo up", "ip -n " + lan_ + " link set tvl" + id + " up",
        "ip -n " + router_ + " link set tvr" + id + " up",
        "ip -n " + router_ + " link set tvw" + id + " up",
        "ip -n " + outside_ + " link set tvo" + id + " up",
        "ip -n " + lan_ + " route add default via 198.51.100.1",
        "ip netns exec " + router_ + " sysctl -qw net.ipv4.ip_forward=1",
        "ip netns exec " + router_ + " nft add table ip nat",
        "ip netns exec " + router_ +
            " nft 'add chain ip nat out { type nat hook postrouting priority 100 ; }'",
        "ip netns exec " + router_ + " nft add rule ip nat out oifname tvw" + id + " masquerade",
        // What comes in unasked is dropped, as a home router does; else a packet of the
        // callee's that came first would hold the mapping's port, and ours would leave from
        // another.
        "ip netns exec " + router_ + " nft add table ip filter",
        "ip netns exec " + router_ +
            " nft 'add chain ip filter in { type filter hook input priority 0 ; }'",
        "ip netns exec " + router_ + " nft add rule ip filter in iifname tvw" + id +
            " ct state new drop"};
    for (const std::string& step : steps) {
      if (std::system((step + " >/dev/null 2>&1").c_str()) != 0) {
        unavailable_ = "this machine cannot make a NAT of network namespaces (failed: " + step +
                       "; as root, with nftables and the kernel's nf_nat)";
        return;
      }
    }
  }
  ~NatNetwork() {
    for (const std::string* netns : {&lan_, &router_, &outside_}) {
      (void)!std::system(("ip netns del " + *netns + " >/dev/null 2>&1").c_str());
    }
  }
  const std::string& Unavailable() const { return unavailable_; }
  const std::string& Lan() const { return lan_; }
  const std::string& Outside() const { return outside_; }

 private:
  std::string lan_, router_, outside_;
  std::string unavailable_;
};

// The program behind the NAT calls a baresip outside, which sends its media to the address of
// our offer, not back to where ours comes from. With stun_server the offer names the NAT's
// mapping of our RTP socket: the call completes and the callee hears the message. Without it
// the offer names our private address, the callee's media never arrive, and the attempt fails
// for want of them (what the documentation says of a NAT without STUN).
TEST_F(SipE2eTest, BehindANatStunMakesTheMediaArrive) {
  NatNetwork network;
  if (!network.Unavailable().empty()) GTEST_SKIP() << network.Unavailable();
  testing_wave::WriteFile(dir_ / "callee.wav",
                          testing_wave::LineWave(std::vector<int16_t>(8000 * 30, 0)));
  StunServer stun("", "203.0.113.2", network.Outside());
  BaresipPlace place;
  place.ip = "203.0.113.2";
  place.netns = network.Outside();
  Baresip callee(dir_ / "callee.wav", Baresip::Answer::kAuto, "baresip", place);
  ASSERT_NE(callee.Port(), 0);
  netns_ = network.Lan();

  OneShortGreeting(1500);
  EXPECT_EQ(Run(callee.Uri(), "rtp_timeout = 2\n", {}, 0).lines,
            OneAttempt(callee.Uri(), "Disconnected by remote"))
      << Events();
  EXPECT_NE(Events().find("no RTP from the callee within 2 s"), std::string::npos) << Events();
  ASSERT_TRUE(callee.WaitForEvent("CALL_CLOSED", 5000));

  std::filesystem::remove(dir_ / "events.log");
  testing_wave::WriteFile(dir_ / "telvane.ini", "[General]\nConnectTimeOut=2000\n");
  auto run = std::async(std::launch::async, [&] {
    return Run(callee.Uri(), "stun_server = 203.0.113.2:" + std::to_string(stun.Port()) + "\n");
  });
  ASSERT_TRUE(callee.WaitForEvent("CALL_ESTABLISHED", 10000)) << Events();
  callee.WaitForEvent("never", 1800);
  callee.SendKey('5');
  EXPECT_EQ(run.get().lines,
            (std::vector<std::string>{"[T]\tDialing " + callee.Uri(), "[T]\tCall Completed"}))
      << Events();
  ASSERT_TRUE(callee.WaitForEvent("CALL_CLOSED", 5000));
  EXPECT_LT(BestMatchError(callee.Heard(), message_), 150.0);
  EXPECT_NE(Events().find("media offered at 203.0.113.1:"), std::string::npos) << Events();
}

// --- Media only from the callee, and only while it is there ------------------------------------

// A UAS that rings for `ring_ms`, answers with SDP, and then waits for our BYE, or with
// Dialog::kKeep sends its own after `bye_after_ms`.
std::string AnsweringScenario(int ring_ms, Dialog dialog = Dialog::kNone, int bye_after_ms = 0) {
  return Scenario(RecvInvite(dialog) + Response("180 Ringing") + Pause(ring_ms) +
                  Response("200 OK", "", true) + "<recv request=\"ACK\"/>\n" +
                  (dialog == Dialog::kKeep ? Pause(bye_after_ms) + InDialog("BYE", 1) : kAwaitBye));
}

// A stranger sprays RTP with a key at the line's RTP ports while the phone rings and after the
// answer: neither its key counts nor does the alert go to it. The callee hangs up during the
// greeting without a key, so the attempt fails.
TEST_F(SipE2eTest, SprayedRtpPressesNoKeyAndHearsNothing) {
  OneShortGreeting();
  const uint16_t port = FreePort();
  RtpPeer callee_media;
  Sipp uas(AnsweringScenario(500, Dialog::kKeep, 2500), callee_media.Port());
  RtpSprayer sprayer("127.0.0.2", port, port, 3000, '5');
  const testing::ProgramRun run =
      Run(uas.Uri(), "rtp_ports = " + std::to_string(port) + "-" + std::to_string(port) + "\n",
          {"-ack", "-exitcode"}, 1);
  EXPECT_EQ(run.lines, OneAttempt(uas.Uri(), "Disconnected by remote")) << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_EQ(sprayer.Received(), 0u);
  EXPECT_GT(callee_media.Received(), 50u);
  EXPECT_NE(Events().find("RTP from 127.0.0.2:"), std::string::npos) << Events();
}

// A 183 whose SDP names another host, which sends early media while the phone rings: the sound
// goes to the 200's address, and the callee's key counts.
TEST_F(SipE2eTest, EarlyMediaElsewhereDoesNotTakeTheSound) {
  OneShortGreeting();
  const uint16_t port = FreePort();
  RtpSprayer early_media("127.0.0.2", port, port, 600);
  RtpPeer callee_media({.key = '5', .key_at_ms = 1800});
  std::string early = Response("183 Session Progress", "", true);
  early.replace(early.find("@AUDIO@"), 7, std::to_string(early_media.Port()));
  early.replace(early.find("c=IN IP4 127.0.0.1"), 18, "c=IN IP4 127.0.0.2");
  Sipp uas(Scenario(RecvInvite() + early + Pause(600) + Response("200 OK", "", true) +
                    "<recv request=\"ACK\"/>\n" + kAwaitBye),
           callee_media.Port());
  EXPECT_EQ(
      Run(uas.Uri(), "rtp_ports = " + std::to_string(port) + "-" + std::to_string(port) + "\n",
          {"-ack", "-exitcode"})
          .lines,
      (std::vector<std::string>{"[T]\tDialing " + uas.Uri(), "[T]\tCall Completed"}))
      << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_EQ(early_media.Received(), 0u);
  EXPECT_NE(Events().find("remote side presses 5 (RFC 4733)"), std::string::npos) << Events();
}

// A callee that answers and never sends RTP: the attempt fails once rtp_timeout has passed,
// with the reason in the event log, and the dial plan goes on to the backup number. The line
// holds the greeting meanwhile: played out, the time-out would have fallen in the message,
// which counts as heard.
TEST_F(SipE2eTest, AnswerWithoutRtpFailsAndTheDialPlanGoesOn) {
  OneShortGreeting(500);
  RtpPeer mute({.answer_ms = 0});
  Sipp uas(AnsweringScenario(100), mute.Port());
  Sipp backup(Scenario(RecvInvite() + Response("486 Busy Here") + "<recv request=\"ACK\"/>\n"));
  EXPECT_EQ(
      Run(uas.Uri(), "rtp_timeout = 3\n", {"-backupphone:" + backup.Uri()}).lines,
      (std::vector<std::string>{"[T]\tDialing " + uas.Uri(), "[T]\tResult : Disconnected by remote",
                                "[T]\tDialing " + backup.Uri(), "busy",
                                "[T]\tResult : Error : Tapi device is not ready"}))
      << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_GT(mute.Received(), 0u);
  EXPECT_NE(Events().find("no RTP from the callee within 3 s of the answer"), std::string::npos)
      << Events();
}

// A callee whose RTP stops in the middle of the greeting, without a BYE: the call ends as if
// it had hung up.
TEST_F(SipE2eTest, CalleeFallingSilentEndsTheCall) {
  OneShortGreeting();
  RtpPeer fading({.answer_ms = 1000});
  Sipp uas(AnsweringScenario(100), fading.Port());
  EXPECT_EQ(Run(uas.Uri(), "rtp_timeout = 1\n", {"-exitcode"}, 1).lines,
            OneAttempt(uas.Uri(), "Disconnected by remote"))
      << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(Events().find("no RTP from the callee for 1 s"), std::string::npos) << Events();
}

// An answer that refuses the audio stream is no answer: BYE, and the attempt fails.
TEST_F(SipE2eTest, AnswerRefusingTheAudioFails) {
  OneShortGreeting();
  std::string refusal = Response("200 OK", "", true);
  refusal.replace(refusal.find("@AUDIO@"), 7, "0");
  Sipp uas(Scenario(RecvInvite() + refusal + "<recv request=\"ACK\"/>\n" + kAwaitBye));
  EXPECT_EQ(Run(uas.Uri(), "", {"-exitcode"}, 1).lines,
            OneAttempt(uas.Uri(), "Error : Tapi device is not ready"))
      << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(Events().find("the answer refuses the audio stream (port 0)"), std::string::npos)
      << Events();
}

}  // namespace
}  // namespace telvane::e2e
