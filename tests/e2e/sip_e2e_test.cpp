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

  testing::ProgramRun Run(const std::string& number, const std::string& extra_keys = "",
                          std::vector<std::string> options = {}, int exit_code = 0) {
    testing_wave::WriteFile(dir_ / "lines.ini",
                            "[line SIP]\ndriver = sip\nuri = sip:alerts@127.0.0.1\n" + extra_keys);
    std::filesystem::remove(dir_ / "loader");
    std::map<std::string, std::string> environment = testing::ProgramEnvironment(dir_.Path());
    environment.insert(
        {{"LC_ALL", "C"}, {"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", (dir_ / "loader").string()}});
    options.insert(options.begin(), {(dir_ / "msg.wav").string(), "-phone:" + number});
    testing::ProgramRun run =
        testing::RunProgram((dir_ / "telvane").string(), options, environment);
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
  auto run = std::async(std::launch::async, [&] { return Run(callee.Uri()); });
  ASSERT_TRUE(callee.WaitForEvent("CALL_ESTABLISHED", 10000));
  // The greeting starts a second after the answer; press the key half-way through it.
  callee.WaitForEvent("never", 1800);
  callee.SendKey('5');
  const testing::ProgramRun result = run.get();
  EXPECT_EQ(result.lines,
            (std::vector<std::string>{"[T]\tDialing " + callee.Uri(), "[T]\tCall Completed"}))
      << Events();
  ASSERT_TRUE(callee.WaitForEvent("CALL_CLOSED", 5000));

  // G.711 keeps a sample within about 3% of its size; a missing or shifted packet costs far
  // more than that.
  const std::vector<int16_t> heard = callee.Heard();
  EXPECT_LT(BestMatchError(heard, message_), 150.0) << heard.size() << " samples heard";
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
  Baresip callee(dir_ / "callee.wav", Baresip::Answer::kAuto, "baresip", {.srtp_mandatory = true});
  ASSERT_NE(callee.Port(), 0);
  EXPECT_EQ(Run(callee.Uri(), "srtp = no\n").lines,
            (std::vector<std::string>{"[T]\tDialing " + callee.Uri(),
                                      "[T]\tResult : Error : Tapi device is not ready"}));
  EXPECT_NE(Events().find("call ends: the callee refused the media offer: 488 "), std::string::npos)
      << Events();

  std::filesystem::remove(dir_ / "events.log");
  auto run = std::async(std::launch::async, [&] { return Run(callee.Uri(), "srtp = required\n"); });
  ASSERT_TRUE(callee.WaitForEvent("CALL_ESTABLISHED", 10000));
  callee.WaitForEvent("never", 1800);  // half-way through the greeting
  callee.SendKey('5');
  EXPECT_EQ(run.get().lines,
            (std::vector<std::string>{"[T]\tDialing " + callee.Uri(), "[T]\tCall Completed"}))
      << Events();
  ASSERT_TRUE(callee.WaitForEvent("CALL_CLOSED", 5000));
  const std::vector<int16_t> heard = callee.Heard();
  EXPECT_LT(BestMatchError(heard, message_), 150.0) << heard.size() << " samples heard";
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
  EXPECT_EQ(Run(uas.Uri()).lines,
            (std::vector<std::string>{"[T]\tDialing " + uas.Uri(),
                                      "[T]\tResult : Disconnected by remote"}))
      << Events();
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
// self-signed certificate, or with the test CA's certificate for another name, gets no SIP at
// all and the attempt fails with the reason in the event log; the test CA's certificate for
// 127.0.0.1 (tls_ca_file) gets the INVITE, and with tls_verify = no any peer does, with a
// warning in the event log.
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
      EXPECT_EQ(run.lines,
                (std::vector<std::string>{"[T]\tDialing " + uri,
                                          "[T]\tResult : Error : Tapi device is not ready"}));
    }
    EXPECT_EQ(server.WaitFor("INVITE " + uri, refused ? 0 : 3000), !refused) << server.Log();
    if (c.reason != nullptr) {
      EXPECT_NE(Events().find(c.reason), std::string::npos) << Events();
    }
  }
}

// Whatever else reaches the SIP port during a call stays off the console: datagrams that are
// not SIP, and requests the line does not take (UPDATE, OPTIONS: answered 501). What libre
// says about them goes to the event log.
TEST_F(SipE2eTest, StrayTrafficOnTheSipPortStaysOffTheConsole) {
  const std::string garbage = "<send><![CDATA[\nthis is no SIP\nCall-ID: [call_id]\n\n]]></send>\n";
  Sipp uas(Scenario(RecvInvite(Dialog::kKeep) + Response("200 OK", "", true) +
                    "<recv request=\"ACK\"/>\n" + Pause(300) + garbage + garbage +
                    InDialog("UPDATE", 1, "", "", "501") + InDialog("OPTIONS", 2, "", "", "501") +
                    Pause(300) + InDialog("BYE", 3)));
  EXPECT_EQ(Run(uas.Uri()).lines,  // the run's standard error is empty
            (std::vector<std::string>{"[T]\tDialing " + uas.Uri(),
                                      "[T]\tResult : Disconnected by remote"}))
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
  EXPECT_EQ(run.lines, (std::vector<std::string>{"[T]\tDialing " + uas.Uri(),
                                                 "[T]\tResult : Disconnected by remote"}))
      << Events();
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
            (std::vector<std::string>{"[T]\tDialing " + uas.Uri(),
                                      "[T]\tResult : Disconnected by remote"}))
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
            (std::vector<std::string>{"[T]\tDialing " + uas.Uri(),
                                      "[T]\tResult : Error : Tapi device is not ready"}))
      << Events();
  EXPECT_TRUE(uas.Finish(3000)) << uas.Log();
  EXPECT_NE(Events().find("the answer refuses the audio stream (port 0)"), std::string::npos)
      << Events();
}

}  // namespace
}  // namespace telvane::e2e
