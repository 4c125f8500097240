// Real SIP peers for tests, started by the test on 127.0.0.1 on free ports (ctest runs tests
// in parallel), each in a scratch folder of its own, and stopped when the object goes.
//
//   Baresip callee;                                 // auto-answers sip:callee@127.0.0.1:PORT
//   callee.WaitForEvent("CALL_ESTABLISHED", 5000);
//   callee.SendKey('5');                            // RFC 4733, through its control socket
//   std::vector<int16_t> heard = callee.Heard();   // what it decoded of our sound
//
//   Sipp uas(kScenario);                            // a scripted UAS for exact responses
//   uas.Uri();  uas.Finish(5000);                   // true if the scenario ran to its end
//
//   RtpPeer media({.answer_ms = 1000});              // the callee's RTP, for a sipp's SDP
//   RtpSprayer sprayer("127.0.0.2", low, high, 3000, '5');   // a stranger's RTP key
//
//   StunServer stun("198.51.100.1");                // tells us we are seen at that address
//   TcpSipPeer peer(media_port);                    // registrar and callee over TCP
//   peer.KeepAlives();                              // when CRLF pairs came while registered
//
//   TestCertificates certificates;                  // a test CA, and certificates it signs
//   TlsServer server(certificates.Make("127.0.0.1", TestCertificates::Signer::kTestCa));
//   server.WaitFor("INVITE sip:", 3000);            // what it received is in its log
//
// The peers are the Debian packages baresip-core (/usr/bin/baresip), sip-tester
// (/usr/bin/sipp) and openssl, which scripts/setup.sh installs. Not thread-safe; real time.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace telvane::linesvc::testing_sip {

// Runs `make`, which opens a socket, in the network namespace `netns` (/run/netns/NAME), or
// here when `netns` is empty; a socket stays in the namespace it was made in.
int InNamespace(const std::string& netns, const std::function<int()>& make);

// A port on 127.0.0.1 that was free a moment ago, for UDP and TCP.
uint16_t FreePort();

// `count` frames of 20 ms of line sound: the DTMF tone of '7' (852 + 1209 Hz) in the first five,
// silence after.
std::vector<std::vector<int16_t>> SevenThenSilence(int count);

// A scratch folder of a peer (or of the benchmark): named after the running test and `what`.
testing::ScratchDir PeerDir(const std::string& what);

// A child process with its output in a file; killed if still running when destroyed.
class Child {
 public:
  // kHeldOpen: its input is a pipe that stays open until the child goes (a program that ends
  // at the end of its input waits instead); else it reads /dev/null.
  enum class Input { kNone, kHeldOpen };
  Child(const std::vector<std::string>& argv, const std::filesystem::path& log,
        Input input = Input::kNone);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Waits up to ms for the process to end; its exit code, or -1 if it did not end in time.
  int Wait(int ms);
  bool Running();
  // What the process used, once it has ended: CPU times and peak memory (ru_maxrss, which
  // counts what the test's process held when it forked this one).
  const rusage& Usage() const { return usage_; }
  // Its own peak resident memory so far, while it runs (ResidentPeakKib); 0 once it has ended.
  long PeakKib() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int input_ = -1;  // the write end of a held-open input
  rusage usage_{};
};

// Where a Baresip runs, and whether it registers.
struct BaresipPlace {
  std::string ip = "127.0.0.1";
  std::string netns;      // the network namespace it runs in; "": this one
  std::string registrar;  // "host:port": it registers there as sip:callee@host; "": it does not
};

// What a baresip callee takes: its codecs (G722 loads its g722 module), and whether it insists
// on SRTP (its srtp module with mediaenc=srtp-mand: only RTP/SAVP with SDES keys, plain offers
// get 488).
struct BaresipMedia {
  std::string codecs = "PCMU,PCMA";
  bool srtp_mandatory = false;
};

class Baresip {
 public:
  enum class Answer { kAuto, kManual };
  // Plays `source` (a WAV file) to whoever calls; hangs up when it ends. Records what it hears.
  explicit Baresip(const std::filesystem::path& source, Answer answer = Answer::kAuto,
                   const std::string& name = "baresip", BaresipPlace place = {},
                   BaresipMedia media = {});
  ~Baresip();

  // sip:callee@IP:PORT
  std::string Uri() const;
  // The sip_listen port.
  uint16_t Port() const { return sip_port_; }
  // Waits for an event of the control socket ("CALL_ESTABLISHED", "CALL_CLOSED"...).
  bool WaitForEvent(const std::string& type, int ms);
  // Sends a key by RFC 4733 on the call.
  void SendKey(char key);
  void Hangup();
  // Calls `uri` from this baresip (for the benchmark: baresip as the caller).
  void Dial(const std::string& uri);
  // The decoded sound it received on its last call (16-bit 8 kHz mono).
  std::vector<int16_t> Heard() const;
  // Its own peak resident memory so far (Child::PeakKib).
  long PeakKib() const { return child_->PeakKib(); }
  // Asks baresip to end and waits for it; its process's usage.
  const rusage& Quit();

 private:
  void Command(const std::string& json);
  std::string ReadSome(int ms);

  testing::ScratchDir dir_;
  BaresipPlace place_;
  uint16_t sip_port_ = 0;
  uint16_t control_port_ = 0;
  std::unique_ptr<Child> child_;
  int control_ = -1;
  std::string pending_;
};

class Sipp {
 public:
  // Runs the UAS scenario (XML text) once on `host` (an address of 127.0.0.0/8). @AUDIO@ in
  // the text becomes `audio_port`, the media port its SDP announces (a socket of the test's
  // own, or any free port).
  explicit Sipp(const std::string& scenario, uint16_t audio_port = 0,
                const std::string& host = "127.0.0.1");
  ~Sipp();

  std::string Uri(const std::string& user = "service") const;
  // Waits for the scenario to end: true when it passed.
  bool Finish(int ms);
  std::string Log() const;
  // What the scenario's <log> actions wrote so far.
  std::string Logged() const;

 private:
  testing::ScratchDir dir_;
  std::string host_;
  uint16_t port_ = 0;
  std::unique_ptr<Child> child_;
};

// Kamailio (Debian's kamailio, kamailio-tls-modules) as a registrar and proxy on 127.0.0.1 for
// the domain 127.0.0.1, without a database: REGISTERs and INVITEs from `user` are challenged
// (digest against `password`, written in its own config), REGISTERs of others are saved
// unchallenged (a callee; its log then says "registered sip:callee@..."), and an INVITE goes
// to the registered contact of its request URI's user, Record-Routed. With `tls_pem` (a certificate
// and its key) it takes TLS on a port of its own as well. Stopped (with the processes it forked)
// when the object goes.
class Kamailio {
 public:
  Kamailio(const std::string& user, const std::string& password,
           const std::filesystem::path& tls_pem = {});
  ~Kamailio();
  uint16_t Port() const { return port_; }         // UDP
  uint16_t TlsPort() const { return tls_port_; }  // 0 without TLS
  // Waits up to ms for `text` in its log; true once it is there.
  bool WaitFor(const std::string& text, int ms) const;
  std::string Log() const;

 private:
  testing::ScratchDir dir_;
  uint16_t port_ = 0;
  uint16_t tls_port_ = 0;
  std::unique_ptr<Child> child_;
};

// Certificates made by the openssl command: a test CA of the test's own, and certificates for
// a host name or an IP address, signed by it or by themselves.
class TestCertificates {
 public:
  // kExpired: the test CA's, valid until the day before.
  enum class Signer { kTestCa, kSelf, kExpired };
  TestCertificates();
  // The test CA's certificate, for tls_ca_file.
  std::filesystem::path CaFile() const { return dir_ / "ca.pem"; }
  // A PEM file with the certificate for `name` (an IPv4 address or a host name, its subject
  // and only subject alternative name) followed by its key.
  std::filesystem::path Make(const std::string& name, Signer signer);

 private:
  testing::ScratchDir dir_;
  int made_ = 0;
};

// openssl s_server on 127.0.0.1: takes TLS connections with the certificate and key of `pem`
// and logs each handshake's extensions (the SNI among them) and whatever it receives.
class TlsServer {
 public:
  explicit TlsServer(const std::filesystem::path& pem);
  uint16_t Port() const { return port_; }
  // Waits up to ms for `text` in the log; true once it is there.
  bool WaitFor(const std::string& text, int ms) const;
  std::string Log() const;

 private:
  testing::ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Child> child_;
};

// A STUN server (RFC 5389 Binding requests) on `ip`: it answers each request with the address
// the request came from, its IP replaced by `seen_ip` unless that is empty (a NAT's public
// address, as a NAT that keeps ports would show it). In the network namespace `netns` when
// one is named. It stops by itself after 30 s.
class StunServer {
 public:
  explicit StunServer(const std::string& seen_ip, const std::string& ip = "127.0.0.1",
                      const std::string& netns = "");
  ~StunServer();
  StunServer(const StunServer&) = delete;
  StunServer& operator=(const StunServer&) = delete;

  uint16_t Port() const { return port_; }
  uint64_t Answered() const { return answered_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<uint64_t> answered_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// A registrar and callee over TCP of the test's own on 127.0.0.1, which sees what sipp does
// not: the keep-alives between messages (a CRLF pair, RFC 5626 3.5.1). It answers every request
// but ACK with 200 (a REGISTER's with Expires: 60, an INVITE's with the callee's SDP naming
// `audio_port`) and records when each keep-alive came on the connection of the first REGISTER.
// It stops by itself after 30 s.
class TcpSipPeer {
 public:
  explicit TcpSipPeer(uint16_t audio_port);
  ~TcpSipPeer();
  TcpSipPeer(const TcpSipPeer&) = delete;
  TcpSipPeer& operator=(const TcpSipPeer&) = delete;

  uint16_t Port() const { return port_; }
  // When each keep-alive came on the registration's connection so far.
  std::vector<std::chrono::steady_clock::time_point> KeepAlives() const;

 private:
  void Run(uint16_t audio_port);

  int listener_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::chrono::steady_clock::time_point> keepalives_;  // under mutex_
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// How an RtpPeer behaves.
struct RtpPeerBehaviour {
  int answer_ms = -1;  // how long after the first packet it answers; -1: until it goes
  char key = 0;        // a key to press, if any,
  int key_at_ms = 0;   // this long after the first packet
};

// The media of a callee that speaks when spoken to: a UDP socket on `ip` that answers each RTP
// packet it receives with one of its own (PCMU silence, one SSRC) sent back to where it came
// from, and can press a key by RFC 4733. It stops by itself after 30 s.
class RtpPeer {
 public:
  explicit RtpPeer(RtpPeerBehaviour behaviour = {}, const std::string& ip = "127.0.0.1");
  ~RtpPeer();
  RtpPeer(const RtpPeer&) = delete;
  RtpPeer& operator=(const RtpPeer&) = delete;

  uint16_t Port() const { return port_; }
  // The packets that reached it so far.
  uint64_t Received() const { return received_; }

 private:
  void Run(RtpPeerBehaviour behaviour);

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<uint64_t> received_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// RTP nobody asked for: from a port of `ip`, one packet to each port of [low, high] on
// 127.0.0.1 every 20 ms, for `ms`: an RFC 4733 press of `key` (a new press every 200 ms), or
// PCMU silence without a key (early media, say).
class RtpSprayer {
 public:
  RtpSprayer(const std::string& ip, uint16_t low, uint16_t high, int ms, char key = 0);
  ~RtpSprayer();
  RtpSprayer(const RtpSprayer&) = delete;
  RtpSprayer& operator=(const RtpSprayer&) = delete;

  uint16_t Port() const { return port_; }
  // The packets that came back to it so far.
  uint64_t Received();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<uint64_t> received_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

}  // namespace telvane::linesvc::testing_sip
