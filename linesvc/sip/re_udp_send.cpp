// libre 1.1.0 makes an IPv6 socket address from text (a URI's "[::1]") with its family, address
// and port only: the flow label and the scope id keep whatever was on the stack, and the
// kernel delivers such a datagram nowhere (the scope names no interface of ours), so a SIP
// request to an IPv6 address never arrived. libre sends every datagram through udp_send, by
// its procedure linkage table (as with re_fprintf in re_thread.cpp): this definition, which
// the module (or a test program) links before libre, clears the two fields and hands the
// datagram to libre's own udp_send. A link-local address keeps its scope, which it needs.
#include <dlfcn.h>
#include <netinet/in.h>

#include "linesvc/sip/re_include.h"

extern "C" __attribute__((visibility("default"))) int udp_send(struct udp_sock* us,
                                                               const struct sa* dst,
                                                               struct mbuf* mb) {
  using UdpSend = int (*)(struct udp_sock*, const struct sa*, struct mbuf*);
  static const auto libre_udp_send = reinterpret_cast<UdpSend>(dlsym(RTLD_NEXT, "udp_send"));
  if (libre_udp_send == nullptr) return ENOSYS;
  if (dst == nullptr || sa_af(dst) != AF_INET6) return libre_udp_send(us, dst, mb);
  struct sa clean = *dst;
  auto* address = reinterpret_cast<sockaddr_in6*>(&clean.u);
  address->sin6_flowinfo = 0;
  if (!IN6_IS_ADDR_LINKLOCAL(&address->sin6_addr)) address->sin6_scope_id = 0;
  return libre_udp_send(us, &clean, mb);
}
