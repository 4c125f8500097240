// Our address as seen from outside a NAT: from the responses' Via, and from STUN.
#include "linesvc/sip/sip_nat.h"

#include <sys/socket.h>

#include <array>
#include <cstring>

#include "linesvc/sip/re_include.h"

namespace telvane::linesvc {

namespace {

SocketAddress FromSa(const sa& address) {
  SocketAddress converted;
  std::memcpy(&converted.storage, &address.u, address.len);
  converted.length = address.len;
  return converted;
}

// The first response's verdict, for the event log.
std::string Seen(const SocketAddress& ours, const SocketAddress& seen) {
  return "behind a NAT: the server sees our SIP address " + ours.ToString() + " as " +
         seen.ToString();
}

}  // namespace

void SipNat::TakeStunMapping(const SocketAddress& mapped) {
  if (!from_response_) public_ = mapped;
}

void SipNat::TakeResponse(const sip_msg& response) {
  if (from_response_) return;
  pl received{};
  pl rport{};
  const bool has_received = msg_param_decode(&response.via.params, "received", &received) == 0;
  const bool has_rport = msg_param_decode(&response.via.params, "rport", &rport) == 0 &&
                         pl_isset(&rport) && rport.l > 0;
  if (!has_received && !has_rport) return;
  from_response_ = true;
  // What we wrote in the Via (libre writes the sending socket's address there).
  const SocketAddress ours = FromSa(response.via.addr);
  sa seen = response.via.addr;
  if (has_received && sa_set(&seen, &received, sa_port(&response.via.addr)) != 0) return;
  if (has_rport) {
    const uint32_t port = pl_u32(&rport);
    if (port == 0 || port > 65535) return;
    sa_set_port(&seen, static_cast<uint16_t>(port));
  }
  const SocketAddress outside = FromSa(seen);
  if (outside == ours) {
    public_.reset();  // no NAT on the way to this server, whatever STUN said
    return;
  }
  public_ = outside;
  log_(Seen(ours, outside));
}

std::string SipNat::ContactLine(const std::string& user, SipTransport transport,
                                const sa& source) const {
  sa contact = source;
  if (public_) sa_set_sa(&contact, reinterpret_cast<const sockaddr*>(&public_->storage));
  char text[256] = {};
  re_snprintf(text, sizeof text, "Contact: <sip:%s@%J%s>\r\n", user.c_str(), &contact,
              SipTransportParam(transport));
  return text;
}

// --- STUN ------------------------------------------------------------------------------------

struct StunProbe::Timer {
  tmr timer{};
};

// One socket's question and its answer.
struct StunProbe::Asking {
  StunProbe* probe = nullptr;
  int fd = -1;
  std::array<uint8_t, STUN_TID_SIZE> tid{};
  std::optional<SocketAddress> mapped;
};

StunProbe::StunProbe(const SocketAddress& server, std::vector<int> sockets, Done done)
    : server_(server), done_(std::move(done)), timer_(std::make_unique<Timer>()) {
  tmr_init(&timer_->timer);
  for (const int fd : sockets) {
    auto asking = std::make_unique<Asking>();
    asking->probe = this;
    asking->fd = fd;
    rand_bytes(asking->tid.data(), asking->tid.size());
    fd_listen(
        fd, FD_READ,
        [](int, void* arg) {
          auto* a = static_cast<Asking*>(arg);
          a->probe->Read(*a);
        },
        asking.get());
    asking_.push_back(std::move(asking));
  }
  Send();
}

StunProbe::~StunProbe() {
  tmr_cancel(&timer_->timer);
  for (const auto& asking : asking_) fd_close(asking->fd);
}

void StunProbe::Send() {
  // RFC 5389's schedule for UDP, cut short: a call does not wait long for its media address.
  static constexpr uint64_t kWaitAfter[] = {500, 1000, 1000};
  for (const auto& asking : asking_) {
    if (asking->mapped) continue;
    mbuf* message = mbuf_alloc(64);
    if (message == nullptr) continue;
    if (stun_msg_encode(message, STUN_METHOD_BINDING, STUN_CLASS_REQUEST, asking->tid.data(),
                        nullptr, nullptr, 0, false, 0x00, 1, STUN_ATTR_SOFTWARE, "Telvane") == 0) {
      ::sendto(asking->fd, message->buf, message->end, 0,
               reinterpret_cast<const sockaddr*>(&server_.storage), server_.length);
    }
    mem_deref(message);
  }
  if (sent_ == static_cast<int>(std::size(kWaitAfter))) return;
  tmr_start(
      &timer_->timer, kWaitAfter[sent_++],
      [](void* arg) {
        auto* probe = static_cast<StunProbe*>(arg);
        if (probe->sent_ == static_cast<int>(std::size(kWaitAfter))) return probe->Finish();
        probe->Send();
      },
      this);
}

void StunProbe::Read(Asking& asking) {
  uint8_t buffer[1500];
  sockaddr_storage from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(asking.fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &length);
  if (n <= 0) return;
  SocketAddress source;
  source.storage = from;
  source.length = length;
  if (!(source == server_)) return;  // only the server we asked may answer
  mbuf* packet = mbuf_alloc(static_cast<size_t>(n));
  if (packet == nullptr) return;
  mbuf_write_mem(packet, buffer, static_cast<size_t>(n));
  packet->pos = 0;
  stun_msg* message = nullptr;
  if (stun_msg_decode(&message, packet, nullptr) != 0) {
    mem_deref(packet);
    return;
  }
  if (stun_msg_class(message) == STUN_CLASS_SUCCESS_RESP &&
      stun_msg_method(message) == STUN_METHOD_BINDING &&
      std::memcmp(stun_msg_tid(message), asking.tid.data(), asking.tid.size()) == 0) {
    const stun_attr* attribute = stun_msg_attr(message, STUN_ATTR_XOR_MAPPED_ADDR);
    if (attribute == nullptr) attribute = stun_msg_attr(message, STUN_ATTR_MAPPED_ADDR);
    if (attribute != nullptr) asking.mapped = FromSa(attribute->v.sa);
  }
  mem_deref(message);
  mem_deref(packet);
  for (const auto& a : asking_) {
    if (!a->mapped) return;
  }
  Finish();
}

void StunProbe::Finish() {
  tmr_cancel(&timer_->timer);
  if (!done_) return;
  std::vector<std::optional<SocketAddress>> mapped;
  for (const auto& asking : asking_) mapped.push_back(asking->mapped);
  Done done = std::move(done_);
  done_ = nullptr;
  done(mapped);  // may destroy the probe
}

}  // namespace telvane::linesvc
