// The packets of an answered SIP call: its sound in RTP, or SRTP, over a UDP socket of ours.
//
// The socket is bound when the call is set up (its port goes into the SDP offer); once the
// call is answered the stream sends one packet at a time (of the answer's ptime) to the
// address of the answer's SDP and reads, in one system call, whatever came in. Only the
// callee's packets count: they must come from the answer's address (or, once, from another
// port of its host, which is then where ours go: symmetric RTP through a NAT), and the first
// of them latches its SSRC, so packets of a second source there count neither (RFC 3550 8.2).
// With SRTP a packet counts only once it has passed authentication with the callee's key, and
// the first that does latches; one that fails is dropped, whoever sent it. Keys (RFC 4733
// telephone-events or DTMF tones in the sound, decoded with the call's codec) are taken from
// the callee's packets only; everything else is counted as ignored. Its clock is the
// RtpPump's (rtp_pump.h).
//
//   std::unique_ptr<RtpSocket> socket = RtpSocket::Bind("192.0.2.10", 10000, 20000, &error);
//   ... offer socket->Port(); the answer gives a SipMedia ...
//   auto stream = RtpStream::Create(std::move(socket), media, VoiceCodec::Create(media.codec),
//                                   InbandDtmf::Create(), &error);  // or null: no tones
//   stream->Send(frame);  std::string keys = stream->Receive(log);
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
#include <vector>

#include "linesvc/sip/sdes_crypto.h"
#include "linesvc/sip/sip_keys.h"
#include "linesvc/sip/sip_settings.h"
#include "linesvc/sip/voice_codec.h"

namespace telvane::linesvc {

inline constexpr size_t kRtpSamplesPerMs = 8;  // the line's 8 kHz, and the RTP clock

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
  SipCodec codec = SipCodec::kPcmu;
  uint8_t payload = 0;                   // the codec's payload type in our packets
  std::optional<uint8_t> event_payload;  // telephone-event's, when the answer took it
  // With it, ours: RFC 3264 lets the far end send events with the payload type we offered.
  std::optional<uint8_t> offered_event_payload;
  SipKeyPath keys = SipKeyPath::kInband;
  int packet_ms = 20;            // the answer's ptime: the sound in each packet we send
  std::optional<SrtpKeys> srtp;  // the keys, when the sound is encrypted
  SocketAddress remote;          // where the answer's SDP asks for the sound
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
  // A stream that codes with `codec` (the media's) and, with media.srtp, encrypts; null with
  // the reason when SRTP cannot be set up. `inband` hears keys as tones in the sound when the
  // media take none by telephone-events; null: keys come by another way, or cannot be heard.
  static std::unique_ptr<RtpStream> Create(std::unique_ptr<RtpSocket> socket, const SipMedia& media,
                                           std::unique_ptr<VoiceCodec> codec,
                                           std::unique_ptr<InbandDtmf> inband, std::string* error);
  ~RtpStream();
  RtpStream(const RtpStream&) = delete;
  RtpStream& operator=(const RtpStream&) = delete;

  // The samples of line sound in each packet: the media's packet time at 8 kHz.
  size_t FrameSamples() const { return frame_samples_; }
  // Sends one packet of FrameSamples() samples of line sound.
  void Send(std::span<const int16_t> samples);
  // The far end moved the media (a re-INVITE or an UPDATE): packets go to `media`, coded with
  // `codec` (the media's) and encrypted with its keys, from now on, and the callee's are
  // latched afresh there, by the same rules as the answer's; those from where the media were
  // before count no more. Each direction's SRTP goes on as it was while its key stays, and
  // starts afresh with a new one. `inband` (as for Create) takes the place of the receiver of
  // tones the stream had. An encrypted stream never goes back to plain RTP: media without keys
  // leave it sending nothing and counting nothing.
  void Follow(const SipMedia& media, std::unique_ptr<VoiceCodec> codec,
              std::unique_ptr<InbandDtmf> inband);
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
  class Srtp;  // libre's SRTP contexts, in rtp_stream.cpp
  using Log = std::function<void(const std::string&)>;

  RtpStream(std::unique_ptr<RtpSocket> socket, const SipMedia& media,
            std::unique_ptr<VoiceCodec> codec, std::unique_ptr<InbandDtmf> inband);
  // One packet that came in from `from`: its key, if it completes one.
  std::string Take(std::span<const uint8_t> packet, const SocketAddress& from, const Log& log);
  // Whether a packet of `ssrc` from `from` may be the callee's: the answer's host (but not
  // where the media were before a move) before the first of them, its address and SSRC after.
  bool MayBeCallees(uint32_t ssrc, const SocketAddress& from, const Log& log);
  // The callee's first packet came from `from`: its source is the only one from now on.
  void Latch(uint32_t ssrc, const SocketAddress& from, const Log& log);
  std::string KeyOf(const RtpHeader& header);

  std::unique_ptr<RtpSocket> socket_;
  SipMedia media_;  // without its keys, which are in srtp_
  size_t frame_samples_;
  bool encrypted_;                       // SRTP: nothing goes out, or counts, in the clear
  std::unique_ptr<Srtp> srtp_;           // with SRTP; null only when it could not be set up
  std::optional<uint32_t> remote_ssrc_;  // once the callee's first packet came
  std::optional<SocketAddress> left_;    // where the callee's packets came from before a move
  bool connected_ = false;
  bool told_foreign_ = false;
  bool told_other_ssrc_ = false;
  bool told_unauthentic_ = false;
  uint16_t sequence_;
  uint32_t timestamp_;
  const uint32_t ssrc_;
  bool first_ = true;
  uint64_t sent_ = 0;
  uint64_t received_ = 0;
  uint64_t ignored_ = 0;
  std::vector<uint8_t> packet_;  // the one being sent
  TelephoneEvents events_;
  std::unique_ptr<VoiceCodec> codec_;
  std::unique_ptr<InbandDtmf> inband_;
};

}  // namespace telvane::linesvc
