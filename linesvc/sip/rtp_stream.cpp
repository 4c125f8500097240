// RTP for the SIP line: sound out, telephone-events and tones in, symmetric sending, SRTP.
#include "linesvc/sip/rtp_stream.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "linesvc/sip/re_include.h"

namespace telvane::linesvc {

namespace {

constexpr size_t kHeaderSize = 12;
// Room for the largest packet we send: 60 ms of sound, and SRTP's tag (and the roll-over
// counter libre puts there while it signs).
constexpr size_t kLargestSent = kHeaderSize + 60 * kRtpSamplesPerMs + 16;

bool IsRtcp(uint8_t second_byte) { return second_byte >= 192 && second_byte <= 223; }

uint32_t Word(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
         static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

uint16_t PortOf(const sockaddr_storage& storage) {
  return ntohs(storage.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6&>(storage).sin6_port
                   : reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

void SetPort(sockaddr_storage* storage, uint16_t port) {
  if (storage->ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(storage)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(storage)->sin_port = htons(port);
  }
}

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

uint32_t Random32() {
  std::random_device device;
  return device();
}

}  // namespace

const char* KeyPathName(SipKeyPath path) {
  switch (path) {
    case SipKeyPath::kRfc4733:
      return "RFC 4733";
    case SipKeyPath::kInfo:
      return "SIP INFO";
    case SipKeyPath::kInband:
      return "in-band tones";
  }
  return "";
}

std::string SocketAddress::ToString() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(storage).sin6_addr, text,
              sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(PortOf(storage));
  }
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(storage).sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(PortOf(storage));
}

bool SocketAddress::operator==(const SocketAddress& other) const {
  return length == other.length && std::memcmp(&storage, &other.storage, length) == 0;
}

bool SocketAddress::SameHost(const SocketAddress& other) const {
  if (storage.ss_family != other.storage.ss_family) return false;
  if (storage.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(storage);
    const auto& b = reinterpret_cast<const sockaddr_in6&>(other.storage);
    return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
           a.sin6_scope_id == b.sin6_scope_id;
  }
  return reinterpret_cast<const sockaddr_in&>(storage).sin_addr.s_addr ==
         reinterpret_cast<const sockaddr_in&>(other.storage).sin_addr.s_addr;
}

SocketAddress SocketAddress::WithPort(uint16_t port) const {
  SocketAddress address = *this;
  SetPort(&address.storage, port);
  return address;
}

std::optional<SocketAddress> SocketAddress::Parse(const std::string& host, uint16_t port) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  SocketAddress address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  if (inet_pton(AF_INET, bare.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    address.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    address.length = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  SetPort(&address.storage, port);
  return address;
}

std::optional<SocketAddress> LocalAddressFor(const std::string& host) {
  SocketAddress local;
  if (const std::optional<SocketAddress> target = SocketAddress::Parse(host, 5060)) {
    const int fd = ::socket(target->storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    local.length = sizeof local.storage;
    const bool ok =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&target->storage), target->length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local.storage), &local.length) == 0;
    ::close(fd);
    if (!ok) return std::nullopt;
  } else {
    struct sa address;
    if (net_default_source_addr_get(AF_INET, &address) != 0 &&
        net_default_source_addr_get(AF_INET6, &address) != 0) {
      return std::nullopt;
    }
    std::memcpy(&local.storage, &address.u, address.len);
    local.length = address.len;
  }
  SetPort(&local.storage, 0);
  return local;
}

std::unique_ptr<RtpSocket> RtpSocket::Bind(const SocketAddress& local, uint16_t low, uint16_t high,
                                           std::string* error) {
  const int fd = ::socket(local.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("no RTP socket: ") + std::strerror(errno);
    return nullptr;
  }
  // Start at a random even port of the range, so calls after one another use other ports.
  const uint32_t count = static_cast<uint32_t>(high - low) + 1;
  const uint32_t first = Random32() % count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t port = static_cast<uint16_t>(low + (first + i) % count);
    SocketAddress address = local;
    SetPort(&address.storage, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
      return std::unique_ptr<RtpSocket>(new RtpSocket(fd, port));
    }
  }
  ::close(fd);
  const std::string shown = local.ToString();
  *error = "no free RTP port in " + std::to_string(low) + "-" + std::to_string(high) + " on " +
           shown.substr(0, shown.rfind(':'));
  return nullptr;
}

RtpSocket::~RtpSocket() { ::close(fd_); }

size_t RtpSocket::DropQueued() {
  size_t dropped = 0;
  uint8_t byte = 0;
  while (::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_TRUNC) >= 0) ++dropped;
  return dropped;
}

std::optional<RtpHeader> ParseRtpHeader(std::span<const uint8_t> packet) {
  if (packet.size() < kHeaderSize || (packet[0] >> 6) != 2) return std::nullopt;
  if (IsRtcp(packet[1])) return std::nullopt;
  RtpHeader header;
  header.payload_type = packet[1] & 0x7F;
  header.sequence = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
  header.timestamp = Word(packet, 4);
  header.ssrc = Word(packet, 8);
  size_t start = kHeaderSize + 4 * static_cast<size_t>(packet[0] & 0x0F);  // after the CSRCs
  if ((packet[0] & 0x10) != 0) {
    // A header extension: 4 bytes, then as many 32-bit words as it says.
    if (packet.size() < start + 4) return std::nullopt;
    start += 4 + 4 * static_cast<size_t>(packet[start + 2] << 8 | packet[start + 3]);
  }
  if (packet.size() < start) return std::nullopt;
  size_t end = packet.size();
  if ((packet[0] & 0x20) != 0) {
    // Padding: its last byte counts it, itself included.
    const size_t padding = packet.back();
    if (padding == 0 || padding > end - start) return std::nullopt;
    end -= padding;
  }
  header.payload = packet.subspan(start, end - start);
  return header;
}

// Both directions of a call's SRTP, through libre: ours sealed with our key, the callee's
// checked and decrypted with its key. libre keeps the state of each source (SSRC) it is shown,
// and refuses new ones after a few dozen; packets that failed authentication leave theirs
// behind, so the receiving side can start afresh. Each direction has a context of its own, so
// that new keys of one leave the other's state (its packet index) as it is.
class RtpStream::Srtp {
 public:
  static std::unique_ptr<Srtp> Create(const SrtpKeys& keys) {
    std::unique_ptr<Srtp> made(new Srtp(keys));
    made->buffer_ = mbuf_alloc(2048);
    if (made->buffer_ == nullptr || !made->Alloc(keys.send, &made->send_) ||
        !made->Alloc(keys.receive, &made->receive_)) {
      return nullptr;
    }
    return made;
  }
  ~Srtp() {
    mem_deref(send_);
    mem_deref(receive_);
    mem_deref(buffer_);
  }
  Srtp(const Srtp&) = delete;
  Srtp& operator=(const Srtp&) = delete;

  // Encrypts and signs the RTP packet; it grows by the tag. False when libre fails.
  bool Protect(std::vector<uint8_t>* packet) {
    if (send_ == nullptr || !Load(*packet) || srtp_encrypt(send_, buffer_) != 0) return false;
    packet->assign(buffer_->buf + buffer_->pos, buffer_->buf + buffer_->end);
    return true;
  }
  // The packet authenticated and decrypted (valid until the next call), or nullopt when it
  // fails authentication or is a replay.
  std::optional<std::span<const uint8_t>> Unprotect(std::span<const uint8_t> packet) {
    if (receive_ == nullptr || !Load(packet) || srtp_decrypt(receive_, buffer_) != 0) {
      return std::nullopt;
    }
    return std::span<const uint8_t>(buffer_->buf + buffer_->pos, buffer_->end - buffer_->pos);
  }
  // Forgets every source the receiving side has seen. False when libre fails.
  bool ForgetSources() {
    receive_ = static_cast<struct srtp*>(mem_deref(receive_));
    return Alloc(receive_key_, &receive_);
  }
  // Works with `keys` from now on: a direction whose key (or the suite) changes starts afresh,
  // the other goes on. False when libre fails: nothing passes then.
  bool Rekey(const SrtpKeys& keys) {
    const bool new_suite = keys.suite != suite_;
    suite_ = keys.suite;
    bool ok = true;
    if (new_suite || !std::ranges::equal(keys.send.Bytes(), send_key_.Bytes())) {
      send_key_ = keys.send;
      send_ = static_cast<struct srtp*>(mem_deref(send_));
      ok = Alloc(send_key_, &send_);
    }
    if (new_suite || !std::ranges::equal(keys.receive.Bytes(), receive_key_.Bytes())) {
      receive_key_ = keys.receive;
      ok = ForgetSources() && ok;
    }
    return ok;
  }

 private:
  explicit Srtp(const SrtpKeys& keys)
      : suite_(keys.suite), send_key_(keys.send), receive_key_(keys.receive) {}

  bool Alloc(const SrtpKey& key, struct srtp** context) const {
    const enum srtp_suite suite = suite_ == SrtpSuite::kAesCm128HmacSha1_32
                                      ? SRTP_AES_CM_128_HMAC_SHA1_32
                                      : SRTP_AES_CM_128_HMAC_SHA1_80;
    return srtp_alloc(context, suite, key.Bytes().data(), key.Bytes().size(), 0) == 0;
  }
  bool Load(std::span<const uint8_t> packet) {
    mbuf_rewind(buffer_);
    if (mbuf_write_mem(buffer_, packet.data(), packet.size()) != 0) return false;
    buffer_->pos = 0;
    return true;
  }

  SrtpSuite suite_;
  SrtpKey send_key_;
  SrtpKey receive_key_;
  struct srtp* send_ = nullptr;     // null only when Rekey failed: nothing is sent
  struct srtp* receive_ = nullptr;  // null only when ForgetSources failed: nothing passes
  mbuf* buffer_ = nullptr;
};

std::unique_ptr<RtpStream> RtpStream::Create(std::unique_ptr<RtpSocket> socket,
                                             const SipMedia& media,
                                             std::unique_ptr<VoiceCodec> codec,
                                             std::unique_ptr<InbandDtmf> inband,
                                             std::string* error) {
  std::unique_ptr<RtpStream> stream(
      new RtpStream(std::move(socket), media, std::move(codec), std::move(inband)));
  if (media.srtp && !stream->srtp_) {
    *error = "SRTP cannot be set up: out of memory";
    return nullptr;
  }
  return stream;
}

RtpStream::RtpStream(std::unique_ptr<RtpSocket> socket, const SipMedia& media,
                     std::unique_ptr<VoiceCodec> codec, std::unique_ptr<InbandDtmf> inband)
    : socket_(std::move(socket)),
      media_(media),
      frame_samples_(static_cast<size_t>(media.packet_ms) * kRtpSamplesPerMs),
      encrypted_(media.srtp.has_value()),
      srtp_(media.srtp ? Srtp::Create(*media.srtp) : nullptr),
      sequence_(static_cast<uint16_t>(Random32())),
      timestamp_(Random32()),
      ssrc_(Random32()),
      codec_(std::move(codec)),
      inband_(std::move(inband)) {
  media_.srtp.reset();  // the keys live in srtp_ only
  packet_.reserve(kLargestSent);
}

RtpStream::~RtpStream() = default;

void RtpStream::Send(std::span<const int16_t> samples) {
  packet_.assign(kHeaderSize + samples.size(), 0);
  packet_[0] = 0x80;  // version 2
  packet_[1] = static_cast<uint8_t>((first_ ? 0x80 : 0) | media_.payload);
  packet_[2] = static_cast<uint8_t>(sequence_ >> 8);
  packet_[3] = static_cast<uint8_t>(sequence_);
  for (int i = 0; i < 4; ++i) {
    packet_[4 + i] = static_cast<uint8_t>(timestamp_ >> (24 - 8 * i));
    packet_[8 + i] = static_cast<uint8_t>(ssrc_ >> (24 - 8 * i));
  }
  codec_->Encode(samples, packet_.data() + kHeaderSize);
  first_ = false;
  ++sequence_;
  timestamp_ += static_cast<uint32_t>(samples.size());
  if (!media_.remote.IsSet()) return;
  // Never sent in the clear when the call is encrypted.
  if (encrypted_ && (!srtp_ || !srtp_->Protect(&packet_))) return;
  const ssize_t n = connected_
                        ? ::send(socket_->Fd(), packet_.data(), packet_.size(), MSG_DONTWAIT)
                        : ::sendto(socket_->Fd(), packet_.data(), packet_.size(), MSG_DONTWAIT,
                                   reinterpret_cast<const sockaddr*>(&media_.remote.storage),
                                   media_.remote.length);
  if (n == static_cast<ssize_t>(packet_.size())) {
    ++sent_;
  }
}

void RtpStream::Follow(const SipMedia& media, std::unique_ptr<VoiceCodec> codec,
                       std::unique_ptr<InbandDtmf> inband) {
  left_ = media_.remote;
  media_ = media;
  media_.srtp.reset();
  codec_ = std::move(codec);
  inband_ = std::move(inband);
  frame_samples_ = static_cast<size_t>(media.packet_ms) * kRtpSamplesPerMs;
  // The same keys go on with what they have seen (a re-INVITE repeats them); new ones start
  // afresh.
  if (!media.srtp) {
    srtp_.reset();
  } else if (!srtp_) {
    srtp_ = Srtp::Create(*media.srtp);
  } else if (!srtp_->Rekey(*media.srtp)) {
    srtp_.reset();
  }
  encrypted_ = encrypted_ || media.srtp.has_value();
  remote_ssrc_.reset();
  told_foreign_ = false;
  told_other_ssrc_ = false;
  events_ = TelephoneEvents();
  if (connected_) {
    // Dissolved, so that the new address's packets reach the socket.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(socket_->Fd(), &unspecified, sizeof unspecified);
    connected_ = false;
  }
  socket_->DropQueued();
}

std::string RtpStream::Receive(const std::function<void(const std::string&)>& log) {
  constexpr size_t kBatch = 8;
  std::array<std::array<uint8_t, 1500>, kBatch> packets;
  std::array<SocketAddress, kBatch> sources;
  std::array<iovec, kBatch> buffers;
  std::array<mmsghdr, kBatch> messages;
  std::string keys;
  for (;;) {
    for (size_t i = 0; i < kBatch; ++i) {
      buffers[i] = {packets[i].data(), packets[i].size()};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &sources[i].storage;
      messages[i].msg_hdr.msg_namelen = sizeof sources[i].storage;
      messages[i].msg_hdr.msg_iov = &buffers[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int count = ::recvmmsg(socket_->Fd(), messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) break;
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
      sources[i].length = messages[i].msg_hdr.msg_namelen;
      if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
        ++ignored_;  // larger than any packet of a voice call
        continue;
      }
      keys +=
          Take(std::span<const uint8_t>(packets[i].data(), messages[i].msg_len), sources[i], log);
    }
    if (static_cast<size_t>(count) < kBatch) break;
  }
  return keys;
}

std::string RtpStream::Take(std::span<const uint8_t> packet, const SocketAddress& from,
                            const Log& log) {
  // The fixed header is in the clear, SRTP or not: who sent the packet is known before
  // anything else of it is read (or authenticated).
  if (packet.size() < kHeaderSize || (packet[0] >> 6) != 2 || IsRtcp(packet[1]) ||
      !MayBeCallees(Word(packet, 8), from, log)) {
    ++ignored_;
    return {};
  }
  std::span<const uint8_t> clear = packet;
  if (encrypted_) {
    const std::optional<std::span<const uint8_t>> decrypted =
        srtp_ ? srtp_->Unprotect(packet) : std::nullopt;
    if (!decrypted) {
      ++ignored_;
      if (!told_unauthentic_) {
        log("SRTP from " + from.ToString() + " dropped: it fails authentication, or is a replay");
      }
      told_unauthentic_ = true;
      // Before the callee's first packet, whatever libre learned from this one goes.
      if (!remote_ssrc_ && srtp_) srtp_->ForgetSources();
      return {};
    }
    clear = *decrypted;
  }
  const std::optional<RtpHeader> header = ParseRtpHeader(clear);
  if (!header) {
    ++ignored_;
    return {};
  }
  if (!remote_ssrc_) Latch(header->ssrc, from, log);
  ++received_;
  return KeyOf(*header);
}

std::string RtpStream::KeyOf(const RtpHeader& header) {
  const bool event =
      (media_.event_payload && header.payload_type == *media_.event_payload) ||
      (media_.offered_event_payload && header.payload_type == *media_.offered_event_payload);
  if (event) {
    if (const std::optional<char> key = events_.OnPacket(header.timestamp, header.payload)) {
      return {*key};
    }
  } else if (inband_ && header.payload_type == media_.payload) {
    std::array<int16_t, 1500> samples;
    const size_t count = codec_->Decode(
        header.payload.first(std::min(header.payload.size(), samples.size())), samples.data());
    return inband_->Feed(std::span<const int16_t>(samples.data(), count));
  }
  return {};
}

bool RtpStream::MayBeCallees(uint32_t ssrc, const SocketAddress& from, const Log& log) {
  const auto ignore = [&](bool* told, const std::string& why) {
    if (!*told) log("RTP from " + from.ToString() + " ignored: " + why);
    *told = true;
    return false;
  };
  if (remote_ssrc_) {
    if (!(from == media_.remote)) {
      return ignore(&told_foreign_, "the callee's comes from " + media_.remote.ToString());
    }
    if (ssrc != *remote_ssrc_) {
      return ignore(&told_other_ssrc_,
                    "SSRC " + Hex(ssrc) + " is not the callee's " + Hex(*remote_ssrc_));
    }
    return true;
  }
  if (!from.SameHost(media_.remote)) {
    return ignore(&told_foreign_, "the answer named " + media_.remote.ToString());
  }
  if (left_ && from == *left_ && !(from == media_.remote)) {
    return ignore(&told_foreign_, "the media moved to " + media_.remote.ToString());
  }
  return true;
}

void RtpStream::Latch(uint32_t ssrc, const SocketAddress& from, const Log& log) {
  // Symmetric RTP: a port of the callee's host other than the answer's is where ours go from
  // then on (a NAT on the way). The socket is connected to it, which spares the route lookup
  // of each send and keeps out packets of anyone else.
  if (!(from == media_.remote)) {
    log("RTP comes from " + from.ToString() + ", not from the answer's " +
        media_.remote.ToString() + ": sending there");
    media_.remote = from;
  }
  remote_ssrc_ = ssrc;
  log("the callee's RTP arrives from " + from.ToString() + ", SSRC " + Hex(ssrc));
  connected_ =
      ::connect(socket_->Fd(), reinterpret_cast<const sockaddr*>(&from.storage), from.length) == 0;
}

}  // namespace telvane::linesvc
