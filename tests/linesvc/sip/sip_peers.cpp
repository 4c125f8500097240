// Starting, talking to and stopping the SIP peers of the tests.
#include "tests/linesvc/sip/sip_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "tests/support/program_runner.h"
#include "tests/support/wave_files.h"

namespace telvane::linesvc::testing_sip {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

sockaddr_in Loopback(uint16_t port, const std::string& ip = "127.0.0.1") {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}

// A UDP socket bound to ip at a port of the system's choice, and that port.
int BoundUdp(const std::string& ip, uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0, ip);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << ip;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (port != nullptr) *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int InNamespace(const std::string& netns, const std::function<int()>& make) {
  if (netns.empty()) return make();
  // A thread of its own enters the namespace, so the test's threads stay where they are.
  int fd = -1;
  std::thread([&] {
    const int handle = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0 || ::setns(handle, CLONE_NEWNET) != 0) {
      ADD_FAILURE() << "cannot enter the network namespace " << netns;
    } else {
      fd = make();
    }
    if (handle >= 0) ::close(handle);
  }).join();
  return fd;
}

namespace {

// An RTP packet: PCMU silence (payload type 0), or with a key an RFC 4733 event (payload
// type 101, as the scenarios' SDP says) that ends or goes on.
std::string RtpPacket(uint16_t sequence, uint32_t timestamp, uint32_t ssrc, char key = 0,
                      bool end = false) {
  std::string packet(12, '\0');
  packet[0] = static_cast<char>(0x80);
  packet[1] = static_cast<char>(key != 0 ? 101 : 0);
  packet[2] = static_cast<char>(sequence >> 8);
  packet[3] = static_cast<char>(sequence & 0xFF);
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  if (key == 0) return packet + std::string(160, static_cast<char>(0xFF));
  const char code = key == '*' ? 10 : key == '#' ? 11 : static_cast<char>(key - '0');
  return packet +
         std::string{code, static_cast<char>(end ? 0x8A : 0x0A), 0, static_cast<char>(160)};
}

// Waits up to ms for a datagram on fd; its size (0: none) and source.
size_t ReceiveFrom(int fd, int ms, sockaddr_in* from) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, ms) <= 0) return 0;
  char buffer[2048];
  socklen_t length = sizeof *from;
  const ssize_t n =
      ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from), &length);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace

uint16_t FreePort() {
  // A port free for TCP and for UDP alike (the peers listen on both), and not handed out
  // before in this process: a peer may not have bound the last one yet.
  static std::set<uint16_t> handed_out;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ::bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(tcp, reinterpret_cast<sockaddr*>(&address), &length);
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool both = ::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(udp);
    ::close(tcp);
    if (both && handed_out.insert(ntohs(address.sin_port)).second) return ntohs(address.sin_port);
  }
  return 0;
}

std::vector<std::vector<int16_t>> SevenThenSilence(int count) {
  std::vector<std::vector<int16_t>> frames;
  for (int packet = 0; packet < count; ++packet) {
    std::vector<int16_t> frame(160);
    for (size_t i = 0; i < frame.size(); ++i) {
      const double t = static_cast<double>(static_cast<size_t>(packet) * frame.size() + i) / 8000;
      frame[i] = packet < 5 ? static_cast<int16_t>(5000 * (std::sin(2 * M_PI * 852 * t) +
                                                           std::sin(2 * M_PI * 1209 * t)))
                            : 0;
    }
    frames.push_back(frame);
  }
  return frames;
}

testing::ScratchDir PeerDir(const std::string& what) {
  // Outside a test (the benchmark) there is no test to name it after.
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string owner =
      test != nullptr ? std::string(test->test_suite_name()) + "_" + test->name() : "bench";
  static int made = 0;  // two peers of one kind in a test get folders of their own
  return testing::ScratchDir(owner + "_" + what + std::to_string(++made));
}

Child::Child(const std::vector<std::string>& argv, const std::filesystem::path& log, Input held) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int input = -1;
  int pipe_ends[2];
  if (held == Input::kHeldOpen && ::pipe2(pipe_ends, O_CLOEXEC) == 0) {
    input = pipe_ends[0];
    input_ = pipe_ends[1];
  } else {
    input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls here. The peer dies with the test, even one that aborts.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(input, 0);
    ::dup2(output, 1);
    ::dup2(output, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(input);
  ::close(output);
}

Child::~Child() {
  if (input_ >= 0) ::close(input_);
  if (Running()) {
    ::kill(pid_, SIGTERM);
    if (Wait(2000) < 0 && Running()) {
      ::kill(pid_, SIGKILL);
      Wait(2000);
    }
  }
}

long Child::PeakKib() const { return pid_ > 0 && status_ < 0 ? testing::ResidentPeakKib(pid_) : 0; }

bool Child::Running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int status = 0;
  if (::wait4(pid_, &status, WNOHANG, &usage_) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

int Child::Wait(int ms) {
  if (pid_ <= 0) return -1;
  if (!Running()) return status_;
  // A descriptor that becomes readable when the process ends: a wait without polling.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (fd >= 0) {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, ms);
    ::close(fd);
  }
  Running();
  return status_;
}

// --- baresip ----------------------------------------------------------------------------------

Baresip::Baresip(const std::filesystem::path& source, Answer answer, const std::string& name,
                 BaresipPlace place, BaresipMedia media)
    : dir_(PeerDir(name)), place_(std::move(place)) {
  sip_port_ = FreePort();
  control_port_ = FreePort();
  std::filesystem::create_directories(dir_ / "heard");
  std::ofstream(dir_ / "config")
      << "sip_listen " << place_.ip << ":" << sip_port_ << "\n"
      << "net_interface " << place_.ip << "\n"
      << "audio_source aufile," << source.string() << "\n"
      << "audio_player aubridge,nil\naudio_alert aubridge,nil\n"
      << "module_path /usr/lib/baresip/modules\n"
      << "module g711.so\nmodule aufile.so\nmodule aubridge.so\nmodule sndfile.so\n"
      << (media.codecs.find("G722") != std::string::npos ? "module g722.so\n" : "")
      << (media.srtp_mandatory ? "module srtp.so\n" : "")
      << "module_app account.so\nmodule_app menu.so\nmodule_app ctrl_tcp.so\n"
      << "ctrl_tcp_listen 127.0.0.1:" << control_port_ << "\n"
      << "snd_path " << (dir_ / "heard").string() << "\n"
      << "rtp_timeout 0\n";
  const std::string mode = answer == Answer::kAuto ? "auto" : "manual";
  const std::string media_params =
      ";audio_codecs=" + media.codecs + (media.srtp_mandatory ? ";mediaenc=srtp-mand" : "") + "\n";
  if (place_.registrar.empty()) {
    std::ofstream(dir_ / "accounts") << "<sip:callee@" << place_.ip << ":" << sip_port_
                                     << ">;regint=0;answermode=" << mode << media_params;
  } else {
    const std::string domain = place_.registrar.substr(0, place_.registrar.rfind(':'));
    std::ofstream(dir_ / "accounts")
        << "<sip:callee@" << domain << ">;outbound=\"sip:" << place_.registrar
        << "\";regint=60;answermode=" << mode << media_params;
  }
  std::vector<std::string> argv = {"/usr/bin/baresip", "-f", dir_.Path().string(), "-t", "120"};
  if (!place_.netns.empty())
    argv.insert(argv.begin(), {"/usr/sbin/ip", "netns", "exec", place_.netns});
  child_ = std::make_unique<Child>(argv, dir_ / "baresip.log");
  // It is ready once its control socket takes a connection.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (control_ < 0 && child_->Running() && RemainingMs(deadline) > 0) {
    control_ = InNamespace(place_.netns, [&] {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const sockaddr_in address = Loopback(control_port_);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return fd;
      }
      ::close(fd);
      return -1;
    });
    if (control_ < 0) child_->Wait(20);  // returns at once should baresip give up
  }
}

Baresip::~Baresip() {
  Quit();
  child_.reset();
}

std::string Baresip::Uri() const {
  return "sip:callee@" + place_.ip + ":" + std::to_string(sip_port_);
}

const rusage& Baresip::Quit() {
  if (control_ >= 0) {
    Command(R"({"command":"quit"})");
    child_->Wait(3000);
    ::close(control_);
    control_ = -1;
  }
  return child_->Usage();
}

void Baresip::Command(const std::string& json) {
  if (control_ < 0) return;
  const std::string netstring = std::to_string(json.size()) + ":" + json + ",";
  (void)!::send(control_, netstring.data(), netstring.size(), MSG_NOSIGNAL);
}

std::string Baresip::ReadSome(int ms) {
  pollfd entry{control_, POLLIN, 0};
  if (control_ < 0 || ::poll(&entry, 1, ms) <= 0) return {};
  char buffer[4096];
  const ssize_t n = ::recv(control_, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool Baresip::WaitForEvent(const std::string& type, int ms) {
  const std::string wanted = "\"type\":\"" + type + "\"";
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    // Netstrings: "LENGTH:JSON,".
    for (;;) {
      const size_t colon = pending_.find(':');
      if (colon == std::string::npos) break;
      const size_t length = std::strtoul(pending_.c_str(), nullptr, 10);
      if (pending_.size() < colon + 1 + length + 1) break;
      const std::string message = pending_.substr(colon + 1, length);
      pending_.erase(0, colon + 1 + length + 1);
      if (message.find(wanted) != std::string::npos) return true;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) return false;
    const std::string more = ReadSome(left);
    if (more.empty() && RemainingMs(deadline) == 0) return false;
    pending_ += more;
  }
}

void Baresip::SendKey(char key) {
  Command(std::string(R"({"command":"sndcode","params":")") + key + "\"}");
}

void Baresip::Hangup() { Command(R"({"command":"hangup"})"); }

void Baresip::Dial(const std::string& uri) {
  Command(R"({"command":"dial","params":")" + uri + "\"}");
}

std::vector<int16_t> Baresip::Heard() const {
  // The names hold the time of the call: the last call's sorts last.
  std::filesystem::path last;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "heard")) {
    const std::string name = entry.path().filename().string();
    if (name.find("-dec.wav") != std::string::npos && entry.path() > last) last = entry.path();
  }
  return last.empty() ? std::vector<int16_t>{} : testing_wave::ReadRecording(last);
}

// --- sipp -------------------------------------------------------------------------------------

Sipp::Sipp(const std::string& scenario, uint16_t audio_port, const std::string& host)
    : dir_(PeerDir("sipp")), host_(host) {
  port_ = FreePort();
  std::string text = scenario;
  const std::string audio = std::to_string(audio_port != 0 ? audio_port : FreePort());
  for (size_t at = text.find("@AUDIO@"); at != std::string::npos; at = text.find("@AUDIO@")) {
    text.replace(at, 7, audio);
  }
  std::ofstream(dir_ / "uas.xml") << text;
  child_ = std::make_unique<Child>(
      std::vector<std::string>{"/usr/bin/sipp", "-sf", (dir_ / "uas.xml").string(), "-i", host_,
                               "-p", std::to_string(port_), "-m", "1", "-nostdin", "-timeout",
                               "30s", "-trace_err", "-error_file", (dir_ / "errors.log").string(),
                               "-trace_logs", "-log_file", (dir_ / "logs.log").string()},
      dir_ / "sipp.log");
}

Sipp::~Sipp() { child_.reset(); }

std::string Sipp::Uri(const std::string& user) const {
  const std::string host = host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]";
  return "sip:" + user + "@" + host + ":" + std::to_string(port_);
}

bool Sipp::Finish(int ms) { return child_->Wait(ms) == 0; }

std::string Sipp::Log() const { return testing_wave::ReadFile(dir_ / "errors.log"); }

std::string Sipp::Logged() const { return testing_wave::ReadFile(dir_ / "logs.log"); }

// --- Kamailio ----------------------------------------------------------------------------------

// What Kamailio logs once its UDP receiver is set up, right before it forks its workers.
constexpr char kReady[] = "SO_RCVBUF is finally";

Kamailio::Kamailio(const std::string& user, const std::string& password,
                   const std::filesystem::path& tls_pem)
    : dir_(PeerDir("kamailio")) {
  port_ = FreePort();
  if (!tls_pem.empty()) {
    tls_port_ = FreePort();
    std::ofstream(dir_ / "tls.cfg") << "[server:default]\nmethod = TLSv1.2+\n"
                                    << "verify_certificate = no\nrequire_certificate = no\n"
                                    << "certificate = " << tls_pem.string() << "\n"
                                    << "private_key = " << tls_pem.string() << "\n"
                                    << "[client:default]\nverify_certificate = no\n"
                                    << "require_certificate = no\n";
  }
  const std::string modules = "/usr/lib/x86_64-linux-gnu/kamailio/modules/";
  std::ofstream config(dir_ / "kamailio.cfg");
  config << "#!KAMAILIO\n"
         << "debug=2\nlog_stderror=yes\nchildren=1\ntcp_children=1\nauto_aliases=no\n"
         << "listen=udp:127.0.0.1:" << port_ << "\n";
  if (tls_port_ != 0) config << "enable_tls=yes\nlisten=tls:127.0.0.1:" << tls_port_ << "\n";
  config << "mpath=\"" << modules << "\"\n";
  for (const char* module : {"tm", "sl", "pv", "maxfwd", "textops", "siputils", "xlog", "usrloc",
                             "registrar", "auth", "kex", "rr"}) {
    config << "loadmodule \"" << module << ".so\"\n";
  }
  if (tls_port_ != 0) {
    config << "loadmodule \"tls.so\"\nmodparam(\"tls\", \"config\", \""
           << (dir_ / "tls.cfg").string() << "\")\n";
  }
  // A password in the config, as the auth module's pv_ functions take it.
  config
      << "modparam(\"usrloc\", \"db_mode\", 0)\n"
      << "request_route {\n"
      << "  xlog(\"L_INFO\", \"request $rm $ru from $fu\\n\");\n"
      << "  if (!mf_process_maxfwd_header(\"10\")) { sl_send_reply(\"483\", \"Too Many Hops\"); "
         "exit; }\n"
      << "  if (has_totag()) {\n"
      << "    if (loose_route() || is_method(\"ACK\")) { t_relay(); exit; }\n"
      << "    sl_send_reply(\"404\", \"Not Here\"); exit;\n"
      << "  }\n"
      << "  if (is_method(\"CANCEL\")) { if (t_check_trans()) t_relay(); exit; }\n"
      << "  remove_hf(\"Route\");\n"
      << "  if (is_method(\"REGISTER\")) {\n"
      << "    if ($fU == \"" << user << "\" && !pv_www_authenticate(\"$td\", \"" << password
      << "\", \"0\")) { www_challenge(\"$td\", \"0\"); exit; }\n"
      << "    if (save(\"location\")) xlog(\"L_INFO\", \"registered $tu\\n\");\n"
      << "    exit;\n"
      << "  }\n"
      << "  if (is_method(\"OPTIONS\") && $rU == $null) { sl_send_reply(\"200\", \"OK\"); exit; }\n"
      << "  if ($fU == \"" << user << "\") {\n"
      << "    if (!pv_proxy_authenticate(\"$fd\", \"" << password
      << "\", \"0\")) { proxy_challenge(\"$fd\", \"0\"); exit; }\n"
      << "    consume_credentials();\n"
      << "  }\n"
      << "  if (!lookup(\"location\")) { sl_send_reply(\"404\", \"Not Found\"); exit; }\n"
      << "  record_route();\n"
      << "  t_relay(); exit;\n"
      << "}\n";
  config.close();
  child_ = std::make_unique<Child>(
      std::vector<std::string>{"/usr/sbin/kamailio", "-f", (dir_ / "kamailio.cfg").string(), "-DD",
                               "-E", "-w", dir_.Path().string(), "-P",
                               (dir_ / "kamailio.pid").string(), "-m", "32", "-M", "8"},
      dir_ / "kamailio.log");
  EXPECT_TRUE(WaitFor(kReady, 10000)) << Log();
}

Kamailio::~Kamailio() { child_.reset(); }

bool Kamailio::WaitFor(const std::string& text, int ms) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  do {
    if (Log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (RemainingMs(deadline) > 0);
  return false;
}

std::string Kamailio::Log() const { return testing_wave::ReadFile(dir_ / "kamailio.log"); }

// --- A SIP peer over TCP -----------------------------------------------------------------------

namespace {

constexpr std::string_view kBlankLine = "\r\n\r\n";

// Our 200 to the request whose head (up to its blank line) is `head`: its Via, From, To (with a
// tag), Call-ID and CSeq lines, a REGISTER's Contact back, an INVITE's SDP.
std::string OkTo(std::string_view head, uint16_t port, uint16_t audio_port) {
  const bool registering = head.starts_with("REGISTER ");
  std::string response = "SIP/2.0 200 OK\r\n";
  for (size_t at = head.find("\r\n"); at < head.size();) {
    const size_t end = std::min(head.find("\r\n", at + 2), head.size());
    const std::string line(head.substr(at + 2, end - at - 2));
    at = end;
    for (const char* name : {"Via:", "From:", "Call-ID:", "CSeq:", "To:", "Contact:"}) {
      if (::strncasecmp(line.c_str(), name, std::strlen(name)) != 0) continue;
      if (name == std::string_view("Contact:") && !registering) continue;
      const bool untagged = name == std::string_view("To:") && line.find(";tag=") == line.npos;
      response += line + (untagged ? ";tag=tcppeer" : "") + "\r\n";
    }
  }
  if (registering) response += "Expires: 60\r\n";
  if (!head.starts_with("INVITE ")) return response + "Content-Length: 0\r\n\r\n";
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
      "m=audio " +
      std::to_string(audio_port) + " RTP/AVP 0\r\n";
  return response + "Contact: <sip:service@127.0.0.1:" + std::to_string(port) +
         ";transport=tcp>\r\nContent-Type: application/sdp\r\nContent-Length: " +
         std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

}  // namespace

TcpSipPeer::TcpSipPeer(uint16_t audio_port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(listener_, 4), 0);
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this, audio_port] { Run(audio_port); });
}

TcpSipPeer::~TcpSipPeer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::vector<Clock::time_point> TcpSipPeer::KeepAlives() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keepalives_;
}

void TcpSipPeer::Run(uint16_t audio_port) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
  std::vector<std::pair<int, std::string>> connections;  // and what came that is not taken
  int registration = -1;                                 // the connection of the first REGISTER
  while (!stop_ && Clock::now() < end) {
    std::vector<pollfd> entries = {{listener_, POLLIN, 0}};
    for (const auto& [fd, input] : connections) entries.push_back({fd, POLLIN, 0});
    if (::poll(entries.data(), entries.size(), 20) <= 0) continue;
    if ((entries[0].revents & POLLIN) != 0) {
      connections.emplace_back(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC), "");
    }
    for (size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].revents == 0) continue;
      auto& [fd, input] = connections[i - 1];
      char buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        ::close(std::exchange(fd, -1));
        continue;
      }
      input.append(buffer, static_cast<size_t>(n));
      // Keep-alives and whole messages; a message is answered unless it is an ACK.
      for (size_t head_end = input.find(kBlankLine); head_end != std::string::npos;
           head_end = input.find(kBlankLine)) {
        if (head_end == 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          if (fd == registration) keepalives_.push_back(Clock::now());
          input.erase(0, kBlankLine.size());
          continue;
        }
        const size_t length_at = input.find("\r\nContent-Length:");
        const size_t body = length_at < head_end ? std::stoul(input.substr(length_at + 17)) : 0;
        if (input.size() < head_end + kBlankLine.size() + body) break;
        const std::string head = input.substr(0, head_end);
        input.erase(0, head_end + kBlankLine.size() + body);
        if (head.starts_with("REGISTER ") && registration < 0) registration = fd;
        if (head.starts_with("ACK ")) continue;
        const std::string response = OkTo(head, port_, audio_port);
        (void)!::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
      }
    }
    std::erase_if(connections, [](const auto& connection) { return connection.first < 0; });
  }
  for (const auto& [fd, input] : connections) ::close(fd);
}

// --- STUN ------------------------------------------------------------------------------------

StunServer::StunServer(const std::string& seen_ip, const std::string& ip,
                       const std::string& netns) {
  fd_ = InNamespace(netns, [&] { return BoundUdp(ip, &port_); });
  thread_ = std::thread([this, seen_ip] {
    constexpr uint32_t kCookie = 0x2112A442;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
    while (!stop_ && Clock::now() < end) {
      uint8_t request[548];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      const ssize_t n =
          ::recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
      // A Binding request: type 0x0001, the magic cookie, a transaction id of 12 bytes.
      if (n < 20 || request[0] != 0 || request[1] != 1 || request[4] != 0x21 ||
          request[5] != 0x12 || request[6] != 0xA4 || request[7] != 0x42) {
        continue;
      }
      sockaddr_in seen = from;
      if (!seen_ip.empty()) ::inet_pton(AF_INET, seen_ip.c_str(), &seen.sin_addr);
      const uint16_t port = ntohs(seen.sin_port) ^ (kCookie >> 16);
      const uint32_t address = ntohl(seen.sin_addr.s_addr) ^ kCookie;
      uint8_t response[32] = {0x01, 0x01, 0x00, 12};  // a success response, 12 bytes after
      std::copy(request + 4, request + 20, response + 4);
      const uint8_t attribute[12] = {0x00,
                                     0x20,
                                     0x00,
                                     8,  // XOR-MAPPED-ADDRESS
                                     0x00,
                                     0x01,  // IPv4
                                     static_cast<uint8_t>(port >> 8),
                                     static_cast<uint8_t>(port),
                                     static_cast<uint8_t>(address >> 24),
                                     static_cast<uint8_t>(address >> 16),
                                     static_cast<uint8_t>(address >> 8),
                                     static_cast<uint8_t>(address)};
      std::copy(attribute, attribute + 12, response + 20);
      ::sendto(fd_, response, sizeof response, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
      ++answered_;
    }
  });
}

StunServer::~StunServer() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

// --- RTP peers ---------------------------------------------------------------------------------

RtpPeer::RtpPeer(RtpPeerBehaviour behaviour, const std::string& ip) {
  fd_ = BoundUdp(ip, &port_);
  thread_ = std::thread([this, behaviour] { Run(behaviour); });
}

RtpPeer::~RtpPeer() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

void RtpPeer::Run(RtpPeerBehaviour behaviour) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
  std::optional<Clock::time_point> first;
  uint16_t sequence = 0;
  int key_packets = 0;
  while (!stop_ && Clock::now() < end) {
    sockaddr_in from{};
    if (ReceiveFrom(fd_, 20, &from) == 0) continue;
    ++received_;
    if (!first) first = Clock::now();
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *first);
    if (behaviour.answer_ms >= 0 && since.count() >= behaviour.answer_ms) continue;
    std::string packet = RtpPacket(sequence, sequence * 160u, 0x5eed);
    // The press: three packets of the event going on, then three of its end.
    if (behaviour.key != 0 && since.count() >= behaviour.key_at_ms && key_packets < 6) {
      packet = RtpPacket(sequence, 0x10000, 0x5eed, behaviour.key, key_packets >= 3);
      ++key_packets;
    }
    ++sequence;
    ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
}

RtpSprayer::RtpSprayer(const std::string& ip, uint16_t low, uint16_t high, int ms, char key) {
  fd_ = BoundUdp(ip, &port_);
  thread_ = std::thread([this, low, high, ms, key] {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    for (uint16_t round = 0; !stop_ && Clock::now() < end; ++round) {
      const std::string packet = RtpPacket(round, 8000u * (round / 10 + 1), 0xbad, key);
      for (uint32_t port = low; port <= high; ++port) {
        const sockaddr_in to = Loopback(static_cast<uint16_t>(port));
        ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
      }
      sockaddr_in from{};
      while (ReceiveFrom(fd_, 0, &from) > 0) ++received_;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

RtpSprayer::~RtpSprayer() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

uint64_t RtpSprayer::Received() {
  sockaddr_in from{};
  while (ReceiveFrom(fd_, 0, &from) > 0) ++received_;
  return received_;
}
// --- certificates and openssl s_server ---------------------------------------------------------

namespace {

// Runs the openssl command in `dir` to its end; true when it succeeded.
bool Openssl(const std::filesystem::path& dir, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/openssl");
  Child openssl(arguments, dir / "openssl.log");
  const bool ok = openssl.Wait(10000) == 0;
  EXPECT_TRUE(ok) << testing_wave::ReadFile(dir / "openssl.log");
  return ok;
}

// Small, quick keys: P-256.
const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TestCertificates::TestCertificates() : dir_(PeerDir("certificates")) {
  const std::string dir = dir_.Path().string();
  Openssl(dir_.Path(), With({"req", "-x509", "-days", "2", "-subj", "/CN=Telvane Test CA",
                             "-keyout", dir + "/ca.key", "-out", dir + "/ca.pem", "-addext",
                             "basicConstraints=critical,CA:TRUE", "-addext",
                             "keyUsage=critical,keyCertSign,cRLSign"},
                            kNewKey));
}

std::filesystem::path TestCertificates::Make(const std::string& name, Signer signer) {
  const std::string base = (dir_ / ("server" + std::to_string(++made_))).string();
  const bool address = name.find_first_not_of("0123456789.") == std::string::npos;
  const std::string alternative = (address ? "subjectAltName=IP:" : "subjectAltName=DNS:") + name;
  if (signer == Signer::kSelf) {
    Openssl(dir_.Path(), With({"req", "-x509", "-days", "2", "-subj", "/CN=" + name, "-addext",
                               alternative, "-keyout", base + ".key", "-out", base + ".crt"},
                              kNewKey));
  } else {
    Openssl(dir_.Path(),
            With({"req", "-subj", "/CN=" + name, "-keyout", base + ".key", "-out", base + ".csr"},
                 kNewKey));
    std::ofstream(base + ".ext") << alternative << "\n";
    const std::string days = signer == Signer::kExpired ? "-1" : "2";
    Openssl(dir_.Path(), {"x509", "-req", "-days", days, "-in", base + ".csr", "-CA",
                          CaFile().string(), "-CAkey", (dir_ / "ca.key").string(),
                          "-CAcreateserial", "-extfile", base + ".ext", "-out", base + ".crt"});
  }
  std::ofstream(base + ".pem") << testing_wave::ReadFile(base + ".crt")
                               << testing_wave::ReadFile(base + ".key");
  return base + ".pem";
}

TlsServer::TlsServer(const std::filesystem::path& pem) : dir_(PeerDir("tls")) {
  port_ = FreePort();
  child_ =
      std::make_unique<Child>(std::vector<std::string>{"/usr/bin/openssl", "s_server", "-accept",
                                                       "127.0.0.1:" + std::to_string(port_),
                                                       "-cert", pem.string(), "-tlsextdebug"},
                              dir_ / "s_server.log", Child::Input::kHeldOpen);
  WaitFor("ACCEPT", 5000);
}

bool TlsServer::WaitFor(const std::string& text, int ms) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Log().find(text) == std::string::npos) {
    if (RemainingMs(deadline) == 0 || !child_->Running())
      return Log().find(text) != std::string::npos;
    child_->Wait(20);
  }
  return true;
}

std::string TlsServer::Log() const { return testing_wave::ReadFile(dir_ / "s_server.log"); }

}  // namespace telvane::linesvc::testing_sip
