// The packets of an answered SIP call: G.711 in RTP over a UDP socket of ours.
//
// The socket is bound when the call is set up (its port goes into the SDP offer); once the
// call is answered the stream sends one 20 ms packet at a time to the address of the answer's
// SDP and reads, in one system call, whatever came in. Only the callee's packets count: they
// must come from the answer's address (or, once, from another port of its host, which is then
// where ours go: symmetric RTP through a NAT), and the first of them latches its SSRC, so
// packets of a second source there count neither (RFC 3550 8.2). Keys (RFC 4733
// telephone-events or DTMF tones in the sound) are taken from those packets only; everything
// else is counted as ignored. Its clock is the RtpPump's (rtp_pump.h).
//
//   std::unique_ptr<RtpSocket> socket = RtpSocket::Bind("192.0.2.10", 10000, 20000, &error);
//   ... offer socket->Port(); the answer gives a SipMedia ...
//   RtpStream stream(std::move(socket), media, InbandDtmf::Create());  // or null: no tones
//   stream.Send(frame);  std::string keys = stream.Receive(log);
//
// Sending and reading never block. Not thread-safe: a stream, like an RtpSocket, may be made
// on one thread and handed to another that uses it from then on.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "linesvc/sip/sip_keys.h"
#include "linesvc/sip/sip_settings.h"

namespace telvane::linesvc {

inline constexpr size_t kRtpFrameSamples = 160;  // 20 ms at 8 kHz

// How keys arrive on the answered call.
enum class SipKeyPath { kRfc4733, kInfo, kInband };
const char* KeyPathName(SipKeyPath path);

// An IP address and port, IPv4 or IPv6.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  bool IsSet() const { return length != 0; }
  std::string ToString() const;
  bool operator==(const SocketAddress& other) const;
  // The same IP address, whatever the ports.
  bool SameHost(const SocketAddress& other) const;
  SocketAddress WithPort(uint16_t port) const;
  // Parses a numeric address ("192.0.2.1", "::1", "[::1]"); nullopt for a name.
  static std::optional<SocketAddress> Parse(const std::string& host, uint16_t port);
};

// The address of ours that packets to `host` leave from: for a numeric address, the one the
// system routes from (a connected UDP socket sends nothing); otherwise the default route's.
std::optional<SocketAddress> LocalAddressFor(const std::string& host);

class RtpSocket {
 public:
  // A UDP socket on `local` (its port ignored) at the first free port of [low, high]; null
  // with the reason in *error when every port is taken.
  static std::unique_ptr<RtpSocket> Bind(const SocketAddress& local, uint16_t low, uint16_t high,
                                         std::string* error);
  ~RtpSocket();
  RtpSocket(const RtpSocket&) = delete;
  RtpSocket& operator=(const RtpSocket&) = delete;

  uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  // Reads and drops whatever is queued; how many packets that was.
  size_t DropQueued();

 private:
  RtpSocket(int fd, uint16_t port) : fd_(fd), port_(port) {}
  int fd_;
  uint16_t port_;
};

// What the offer and the answer agreed on.
struct SipMedia {
  G711Law codec = G711Law::kMu;
  uint8_t payload = 0;                   // the codec's payload type in our packets
  std::optional<uint8_t> event_payload;  // telephone-event's, when the answer took it
  SipKeyPath keys = SipKeyPath::kInband;
  SocketAddress remote;  // where the answer's SDP asks for the sound
};

// The fixed header of an RTP packet (RFC 3550 5.1) and where its payload lies.
struct RtpHeader {
  uint8_t payload_type = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  std::span<const uint8_t> payload;  // within the packet; CSRCs, extension and padding left out
};

// The header of an RTP packet of version 2; nullopt for anything else, RTCP included (its
// packet types share the second byte, RFC 5761 4), and for lengths that do not add up.
std::optional<RtpHeader> ParseRtpHeader(std::span<const uint8_t> packet);

class RtpStream {
 public:
  // `inband` hears keys as tones in the sound when the media take none by telephone-events;
  // null: keys come by another way, or cannot be heard.
  RtpStream(std::unique_ptr<RtpSocket> socket, const SipMedia& media,
            std::unique_ptr<InbandDtmf> inband);
  ~RtpStream();
  RtpStream(const RtpStream&) = delete;
  RtpStream& operator=(const RtpStream&) = delete;

  // Sends one packet of 20 ms of line sound.
  void Send(std::span<const int16_t, kRtpFrameSamples> samples);
  // The far end moved the media (a re-INVITE or an UPDATE): packets go to `media` from now
  // on, and the callee's are latched afresh there, by the same rules as the answer's; those
  // from where the media were before count no more.
  void Follow(const SipMedia& media);
  // Moves the RTP timestamp on by `samples` not sent, so that the far end hears a gap where
  // the sender was held up rather than sound packed together.
  void Skip(uint32_t samples) { timestamp_ += samples; }
  // Reads every packet that has arrived, up to 8 in each system call; returns the keys the
  // callee's carry, in order. `log` hears where the callee's packets come from, and of the
  // first packet ignored for each reason.
  std::string Receive(const std::function<void(const std::string&)>& log);

  uint64_t Sent() const { return sent_; }
  // The callee's packets.
  uint64_t Received() const { return received_; }
  // Packets that were not RTP, or not the callee's.
  uint64_t Ignored() const { return ignored_; }

 private:
  using Log = std::function<void(const std::string&)>;
  // One packet that came in from `from`: its key, if it completes one.
  std::string Take(std::span<const uint8_t> packet, const SocketAddress& from, const Log& log);
  // Whether the packet is the callee's; the first that is latches its source.
  bool IsCallees(const RtpHeader& header, const SocketAddress& from, const Log& log);

  std::unique_ptr<RtpSocket> socket_;
  SipMedia media_;
  std::optional<uint32_t> remote_ssrc_;  // once the callee's first packet came
  std::optional<SocketAddress> left_;    // where the callee's packets came from before a move
  bool connected_ = false;
  bool told_foreign_ = false;
  bool told_other_ssrc_ = false;
  uint16_t sequence_;
  uint32_t timestamp_;
  const uint32_t ssrc_;
  bool first_ = true;
  uint64_t sent_ = 0;
  uint64_t received_ = 0;
  uint64_t ignored_ = 0;
  TelephoneEvents events_;
  const std::unique_ptr<InbandDtmf> inband_;
};

}  // namespace telvane::linesvc
