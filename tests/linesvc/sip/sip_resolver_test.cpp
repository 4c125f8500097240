// The next hop of a SIP line from a name: RFC 2782's order of SRV records over canned records,
// and the system's resolver for the addresses (localhost, from /etc/hosts).
#include "linesvc/sip/sip_resolver.h"

#include <gtest/gtest.h>

#include <map>

namespace telvane::linesvc {
namespace {

// SRV records as a zone would publish them; addresses from the system.
class CannedSrv final : public NameLookup {
 public:
  explicit CannedSrv(std::map<std::string, std::vector<SrvRecord>> records)
      : records_(std::move(records)) {}
  std::vector<SrvRecord> Srv(const std::string& name) override {
    asked_.push_back(name);
    const auto found = records_.find(name);
    return found == records_.end() ? std::vector<SrvRecord>{} : found->second;
  }
  std::vector<std::string> asked_;

 private:
  std::map<std::string, std::vector<SrvRecord>> records_;
};

std::vector<std::string> Targets(const std::vector<SrvRecord>& records) {
  std::vector<std::string> targets;
  for (const SrvRecord& r : records) targets.push_back(r.target);
  return targets;
}

// Lower priorities first; within one, the running sums of the weights decide, and a weight of
// 0 wins only when the pick is 0 or it is alone.
TEST(SrvOrderTest, PriorityThenWeight) {
  const std::vector<SrvRecord> records = {{20, 0, 5060, "backup"},
                                          {10, 10, 5060, "light"},
                                          {10, 90, 5060, "heavy"},
                                          {10, 0, 5060, "zero"}};
  // The largest pick each time: only the last running sum reaches it.
  EXPECT_EQ(Targets(OrderSrvRecords(records, [](uint32_t n) { return n; })),
            (std::vector<std::string>{"heavy", "light", "zero", "backup"}));
  // Pick 5 of 100: "zero" (sum 0) is passed, "light" (sum 10) is reached first.
  EXPECT_EQ(Targets(OrderSrvRecords(records, [](uint32_t n) { return n == 100 ? 5 : 0; })),
            (std::vector<std::string>{"light", "zero", "heavy", "backup"}));
}

// A numeric host needs no lookup; a port in the URI skips SRV; SRV for the line's transport
// names the server and port; without records the name's own address serves at the default
// port; a "." target means no service; a name without an address fails with the reason.
TEST(ResolveNextHopTest, NumbersNamesAndSrv) {
  CannedSrv names(
      {{"_sip._udp.pbx.test", {{10, 0, 5070, "localhost"}}},
       {"_sips._tcp.pbx.test", {{10, 0, 5071, "nowhere.invalid"}, {20, 0, 5072, "localhost"}}},
       {"_sip._tcp.closed.test", {{0, 0, 0, "."}}}});
  std::string how;
  const auto hop = [](const std::string& host, std::optional<uint16_t> port = std::nullopt) {
    SipUri uri;
    uri.host = host;
    uri.port = port;
    return uri;
  };
  const auto resolved = [&](const SipUri& uri, SipTransport transport) {
    const std::optional<SocketAddress> address = ResolveNextHop(uri, transport, names, &how);
    return address ? address->ToString() : "none";
  };
  EXPECT_EQ(resolved(hop("[::1]", 5080), SipTransport::kUdp), "[::1]:5080");
  EXPECT_EQ(resolved(hop("192.0.2.1"), SipTransport::kTls), "192.0.2.1:5061");
  EXPECT_TRUE(names.asked_.empty());

  EXPECT_EQ(resolved(hop("localhost", 5097), SipTransport::kUdp), "127.0.0.1:5097");
  EXPECT_TRUE(names.asked_.empty()) << "an explicit port skips SRV";

  EXPECT_EQ(resolved(hop("pbx.test"), SipTransport::kUdp), "127.0.0.1:5070");
  EXPECT_NE(how.find("SRV _sip._udp.pbx.test -> localhost:5070"), std::string::npos) << how;
  EXPECT_EQ(resolved(hop("pbx.test"), SipTransport::kTls), "127.0.0.1:5072") << how;

  EXPECT_EQ(resolved(hop("localhost"), SipTransport::kTcp), "127.0.0.1:5060");
  EXPECT_EQ(names.asked_.back(), "_sip._tcp.localhost");

  EXPECT_EQ(resolved(hop("closed.test"), SipTransport::kTcp), "none");
  EXPECT_NE(how.find("not offered"), std::string::npos) << how;
  EXPECT_EQ(resolved(hop("nowhere.invalid", 5060), SipTransport::kUdp), "none");
  EXPECT_NE(how.find("has no address"), std::string::npos) << how;
}

}  // namespace
}  // namespace telvane::linesvc
