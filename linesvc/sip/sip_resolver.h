// Where a SIP line's requests go when the next hop is a host name. libre's own DNS client
// asks a name server only, so "localhost" or a name in /etc/hosts would not be found; here the
// system's resolver (getaddrinfo: /etc/hosts, then DNS, as nsswitch.conf says) gives the
// address, and before it, when the URI names no port, the SRV records of RFC 3263 for the
// line's transport (_sip._udp, _sip._tcp, _sips._tcp) give the servers to ask. NAPTR is not
// consulted: it only chooses a transport, and a line's transport is its `transport` key.
//
//   SystemNames names;
//   std::string how;
//   std::optional<SocketAddress> next = ResolveNextHop(uri, SipTransport::kUdp, names, &how);
//   // how: "pbx.example.org: SRV _sip._udp.pbx.example.org -> sip1.example.org:5070 ..."
//
// A numeric host needs no lookup. IPv4 addresses come before IPv6 ones of the same name: a
// server that has both usually listens on both, and IPv4 is what providers serve best.
// Lookups block for as long as the system's resolver allows (resolv.conf): run them off the
// libre thread (ReThread::Offload). Plain functions: any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "linesvc/sip/rtp_stream.h"
#include "linesvc/sip/sip_settings.h"

namespace telvane::linesvc {

struct SrvRecord {
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  std::string target;
};

// RFC 2782's order: lowest priority first; within one priority, records are picked one by one
// at random, each with a chance in proportion to its weight (a weight of 0 is picked last).
// `random(n)` returns a number in [0, n].
std::vector<SrvRecord> OrderSrvRecords(std::vector<SrvRecord> records,
                                       const std::function<uint32_t(uint32_t)>& random);

// The two questions a lookup asks; SystemNames asks the system, a test may answer itself.
class NameLookup {
 public:
  virtual ~NameLookup() = default;
  // The SRV records of `name` ("_sip._udp.example.org"); empty when there are none.
  virtual std::vector<SrvRecord> Srv(const std::string& name) = 0;
  // The addresses of `host`, IPv4 first, each with `port`; empty when it has none.
  virtual std::vector<SocketAddress> Addresses(const std::string& host, uint16_t port);
};

// SRV by the system's resolver library (res_query), addresses by getaddrinfo.
class SystemNames final : public NameLookup {
 public:
  std::vector<SrvRecord> Srv(const std::string& name) override;
};

// The address of the next hop `hop` (a URI's host and port) for `transport`, or nullopt when it
// has none. `how` gets one line for the event log: how the address was found, or why not.
std::optional<SocketAddress> ResolveNextHop(const SipUri& hop, SipTransport transport,
                                            NameLookup& names, std::string* how);

}  // namespace telvane::linesvc
