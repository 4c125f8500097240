// The next hop of a SIP line by the system's resolver: SRV (RFC 3263), then the address.
#include "linesvc/sip/sip_resolver.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

namespace telvane::linesvc {

namespace {

const char* SrvPrefix(SipTransport transport) {
  switch (transport) {
    case SipTransport::kTls:
      return "_sips._tcp.";
    case SipTransport::kTcp:
      return "_sip._tcp.";
    case SipTransport::kUdp:
      break;
  }
  return "_sip._udp.";
}

uint32_t RandomUpTo(uint32_t n) {
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, n)(generator);
}

}  // namespace

std::vector<SrvRecord> OrderSrvRecords(std::vector<SrvRecord> records,
                                       const std::function<uint32_t(uint32_t)>& random) {
  std::stable_sort(records.begin(), records.end(),
                   [](const SrvRecord& a, const SrvRecord& b) { return a.priority < b.priority; });
  std::vector<SrvRecord> ordered;
  ordered.reserve(records.size());
  auto group = records.begin();
  while (group != records.end()) {
    const auto group_end = std::find_if(
        group, records.end(), [&](const SrvRecord& r) { return r.priority != group->priority; });
    // Weight 0 first, so that the running sums give them no chance until they are alone.
    std::vector<SrvRecord> left(group, group_end);
    std::stable_partition(left.begin(), left.end(),
                          [](const SrvRecord& r) { return r.weight == 0; });
    while (!left.empty()) {
      uint32_t total = 0;
      for (const SrvRecord& r : left) total += r.weight;
      const uint32_t pick = random(total);
      uint32_t sum = 0;
      auto chosen = left.begin();
      for (auto it = left.begin(); it != left.end(); ++it) {
        sum += it->weight;
        if (sum >= pick) {
          chosen = it;
          break;
        }
      }
      ordered.push_back(*chosen);
      left.erase(chosen);
    }
    group = group_end;
  }
  return ordered;
}

std::vector<SocketAddress> NameLookup::Addresses(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  std::vector<SocketAddress> addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
        entry->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    SocketAddress address;
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_addrlen;
    address = address.WithPort(port);
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  std::stable_partition(addresses.begin(), addresses.end(),
                        [](const SocketAddress& a) { return a.storage.ss_family == AF_INET; });
  return addresses;
}

std::vector<SrvRecord> SystemNames::Srv(const std::string& name) {
  struct __res_state state {};
  if (res_ninit(&state) != 0) return {};
  std::vector<unsigned char> answer(4096);
  const int length = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, answer.data(),
                                static_cast<int>(answer.size()));
  res_nclose(&state);
  ns_msg message{};
  if (length <= 0 || ns_initparse(answer.data(), length, &message) != 0) return {};
  std::vector<SrvRecord> records;
  for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
    ns_rr record{};
    if (ns_parserr(&message, ns_s_an, i, &record) != 0 || ns_rr_type(record) != ns_t_srv ||
        ns_rr_rdlen(record) < 7) {
      continue;
    }
    const unsigned char* data = ns_rr_rdata(record);
    char target[NS_MAXDNAME] = {};
    if (dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, target, sizeof target) < 0) {
      continue;
    }
    const auto field = [&](int at) { return static_cast<uint16_t>(ns_get16(data + at)); };
    records.push_back({field(0), field(2), field(4), target});
  }
  return records;
}

std::optional<SocketAddress> ResolveNextHop(const SipUri& hop, SipTransport transport,
                                            NameLookup& names, std::string* how) {
  const uint16_t port = PortOf(hop, transport);
  if (std::optional<SocketAddress> numeric = SocketAddress::Parse(hop.host, port)) {
    *how = hop.host + " is an address";
    return numeric;
  }
  if (!hop.port) {
    const std::string service = SrvPrefix(transport) + hop.host;
    const std::vector<SrvRecord> records = OrderSrvRecords(names.Srv(service), RandomUpTo);
    if (records.size() == 1 && (records[0].target.empty() || records[0].target == ".")) {
      *how = hop.host + ": SRV " + service + " says the service is not offered";
      return std::nullopt;
    }
    for (const SrvRecord& record : records) {
      const std::vector<SocketAddress> addresses = names.Addresses(record.target, record.port);
      if (addresses.empty()) continue;
      *how = hop.host + ": SRV " + service + " -> " + record.target + ":" +
             std::to_string(record.port) + " (priority " + std::to_string(record.priority) +
             ", weight " + std::to_string(record.weight) + ") -> " + addresses[0].ToString();
      return addresses[0];
    }
    if (!records.empty()) {
      *how = hop.host + ": no SRV target of " + service + " has an address";
      return std::nullopt;
    }
  }
  const std::vector<SocketAddress> addresses = names.Addresses(hop.host, port);
  if (addresses.empty()) {
    *how = hop.host + ": the name has no address";
    return std::nullopt;
  }
  *how = hop.host + " -> " + addresses[0].ToString();
  return addresses[0];
}

}  // namespace telvane::linesvc
