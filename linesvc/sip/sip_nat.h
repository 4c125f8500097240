// What a call knows of the NAT between it and the SIP server: the address the other side sees
// our SIP socket at, and where our RTP socket is seen, so that our Contact and the SDP offer
// name addresses the far side can reach rather than private ones.
//
// Two sources, as a SIP phone behind a home router uses them:
// - The first response to one of our requests whose top Via carries `received` and `rport`
//   (RFC 3581; every request of ours asks for rport): the server saw our SIP socket there.
//   Only a response that libre matched to our own transaction is taken, never a stray one.
// - STUN (RFC 5389), with the line's `stun_server`: before the first request, StunProbe asks
//   where the SIP socket (UDP) and the RTP socket are seen. The RTP socket's own mapping is
//   the one the media need; `received` tells the address only, not the RTP port.
//
//   SipNat nat(log);
//   nat.TakeStunMapping(mapped);            // the SIP socket's, from a StunProbe
//   nat.TakeResponse(*msg);                 // from the response callbacks
//   nat.ContactLine("alerts", transport, *source);  // in a request's send handler
//
//   StunProbe probe(server, {sip_fd, rtp_fd}, [](const std::vector<std::optional<...>>&) {});
//
// Libre thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sip_settings.h"

struct sa;
struct sip_msg;

namespace telvane::linesvc {

class SipNat {
 public:
  using Log = std::function<void(const std::string&)>;
  explicit SipNat(Log log) : log_(std::move(log)) {}

  // Where STUN saw the SIP socket (UDP), unless a response has told it already.
  void TakeStunMapping(const SocketAddress& mapped);
  // The received/rport of the top Via of a response to a request of ours. The first response
  // that carries them counts: that is how the server we talk to sees us.
  void TakeResponse(const sip_msg& response);
  // The header line "Contact: <sip:user@host:port;transport=...>\r\n" for a request leaving
  // from `source` (or a response to one that reached it) over `transport`: the address seen
  // from outside when one was learned, else `source`.
  std::string ContactLine(const std::string& user, SipTransport transport, const sa& source) const;
  // Our SIP socket's address as seen from outside, when learned and other than our own.
  const std::optional<SocketAddress>& Public() const { return public_; }

 private:
  Log log_;
  std::optional<SocketAddress> public_;
  bool from_response_ = false;
};

// Asks a STUN server where UDP sockets of ours are seen: a Binding request from each socket,
// sent again after 0.5 s and 1.5 s, and an answer (or nothing) for each within 2.5 s. The
// sockets are only borrowed: they must stay open while the probe lives.
class StunProbe {
 public:
  using Done = std::function<void(const std::vector<std::optional<SocketAddress>>& mapped)>;
  // Starts at once; `done` is called once, with one entry per socket, unless the probe goes
  // first.
  StunProbe(const SocketAddress& server, std::vector<int> sockets, Done done);
  ~StunProbe();
  StunProbe(const StunProbe&) = delete;
  StunProbe& operator=(const StunProbe&) = delete;

 private:
  struct Asking;
  struct Timer;
  void Send();
  void Read(Asking& asking);
  void Finish();

  SocketAddress server_;
  std::vector<std::unique_ptr<Asking>> asking_;
  Done done_;
  std::unique_ptr<Timer> timer_;
  int sent_ = 0;
};

}  // namespace telvane::linesvc
