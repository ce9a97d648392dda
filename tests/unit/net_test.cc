// net_test.cc - the socket helpers on loopback only: options and binding,
// failure paths that must log and leave no descriptor, and address forms.
// Nothing here sends, and no multicast group is ever joined.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/support.h"
#include "testutil.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

int portOf(int s) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  return getsockname(s, (sockaddr *)&sin, &len), ntohs(sin.sin_port);
}

// The lowest free descriptor: unchanged across a call that leaked nothing.
int nextFd() {
  int fd = dup(0);
  return close(fd), fd;
}

TEST(Net, OpensSharedPortsAndFailsCleanly) {
  int a = udp_open(kLoopback, 0), b = udp_open(kLoopback, portOf(a));
  EXPECT_TRUE(b >= 0 && portOf(b) == portOf(a));
  close(a), close(b);
  int holder = loopbackSocket();  // holds its port without sharing it
  LogCapture log;
  int before = nextFd();
  EXPECT_EQ(BroadcastOpen(portOf(holder)) + MulticastOpen(kLoopback, htonl(0xffffff00u), portOf(holder)), -2);
  EXPECT_EQ(nextFd(), before);
  EXPECT_TRUE(log.has("udp_open:bind: Address already in use\n") && log.has("multicast socket: Address already in use\n"));
  close(holder);

  // TCP ports are taken in network order.
  sockaddr_in free_;
  close(loopbackSocket(SOCK_STREAM, &free_));
  int l = tcp_listen(free_.sin_port), c = tcp_open_to("127.0.0.1", free_.sin_port);
  EXPECT_TRUE(portOf(l) == ntohs(free_.sin_port) && c >= 0);
  close(c), close(l), before = nextFd();
  EXPECT_EQ(tcp_open_to("127.0.0.1", free_.sin_port), -1);
  EXPECT_EQ(nextFd(), before);
}

TEST(Net, MulticastOptionsAndAddressForms) {
  int s = udp_open(kLoopback, 0), v[3] = {-1, -1, -1}, opt[3] = {IP_MULTICAST_TTL, IP_MULTICAST_LOOP, IP_MULTICAST_IF};
  LogCapture log;
  EXPECT_TRUE(MulticastSetTTL(s, 7) == 0 && MulticastSetLoop(s, 0) == 0 && MulticastSetIF(s, kLoopback) == 0);
  for (int i = 0; i < 3; i++) {
    socklen_t len = sizeof v[i];
    getsockopt(s, IPPROTO_IP, opt[i], &v[i], &len);
  }
  EXPECT_TRUE(v[0] == 7 && v[1] == 0 && (uint32_t)v[2] == kLoopback);
  EXPECT_EQ(MulticastSetIF(s, ip("192.0.2.1")), -1);  // not a local address
  EXPECT_TRUE(log.has("setsockopt(IP_MULTICAST_IF): "));
  close(s);

  in_addr a{}, b{};
  GetMCAddr(ip("192.168.10.0"), &a);
  EXPECT_EQ(a.s_addr, ip("224.192.168.10"));
  EXPECT_TRUE(GetIPAddr("300.1.2.259", &b) == 0 && b.s_addr == ip("44.1.2.3"));  // low 8 bits of each
  // Numeric-looking: no resolver.
  EXPECT_EQ(GetIPAddr("1abc.invalid", &a) + GetIPAddr("10.1.2", &a), -2);
}

}  // namespace
