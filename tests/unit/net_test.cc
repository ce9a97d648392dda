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

int boundPort(int s) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  getsockname(s, (sockaddr *)&sin, &len);
  return ntohs(sin.sin_port);
}

int intOption(int s, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(s, level, name, &v, &len);
  return v;
}

// The lowest free descriptor: unchanged across a call that leaked nothing.
int nextFd() {
  int fd = dup(0);
  close(fd);
  return fd;
}

// A loopback socket on an ephemeral port, without SO_REUSEADDR.
int plainSocket(int type) {
  int s = socket(AF_INET, type, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = kLoopback;
  EXPECT_EQ(bind(s, (sockaddr *)&sin, sizeof sin), 0);
  return s;
}

TEST(Net, UdpOpenSharesAPortAndBusyPortsFailCleanly) {
  int a = udp_open(kLoopback, 0);
  ASSERT_GE(a, 0);
  int port = boundPort(a), b = udp_open(kLoopback, port);
  ASSERT_GE(b, 0);
  EXPECT_EQ(boundPort(b), port);
  close(a);
  close(b);

  int holder = plainSocket(SOCK_DGRAM);
  LogCapture log;
  int before = nextFd();
  EXPECT_EQ(BroadcastOpen(boundPort(holder)), -1);
  EXPECT_EQ(MulticastOpen(kLoopback, htonl(0xffffff00u), boundPort(holder)), -1);
  EXPECT_EQ(nextFd(), before);
  std::string text = log.text();
  EXPECT_NE(text.find("udp_open:bind: Address already in use\n"), std::string::npos);
  EXPECT_NE(text.find("multicast socket: Address already in use\n"), std::string::npos);
  close(holder);
}

TEST(Net, MulticastOptions) {
  int s = udp_open(kLoopback, 0);
  ASSERT_GE(s, 0);
  LogCapture log;
  EXPECT_EQ(MulticastJoin(s, in_addr{ip("10.0.0.1")}, kLoopback), -1);
  EXPECT_EQ(MulticastLeave(s, in_addr{ip("240.0.0.1")}, kLoopback), -1);
  EXPECT_EQ(MulticastJoin(-1, in_addr{ip("224.101.101.101")}, kLoopback), -1);
  EXPECT_EQ(MulticastSetTTL(-1, 4), -1);
  EXPECT_EQ(MulticastSetIF(-1, kLoopback), -1);
  EXPECT_EQ(log.text(), "");

  EXPECT_EQ(MulticastSetTTL(s, 7), 0);
  EXPECT_EQ(intOption(s, IPPROTO_IP, IP_MULTICAST_TTL), 7);
  EXPECT_EQ(MulticastSetLoop(s, 0), 0);
  EXPECT_EQ(intOption(s, IPPROTO_IP, IP_MULTICAST_LOOP), 0);
  EXPECT_EQ(MulticastSetIF(s, kLoopback), 0);
  EXPECT_EQ((uint32_t)intOption(s, IPPROTO_IP, IP_MULTICAST_IF), kLoopback);
  EXPECT_EQ(MulticastSetIF(s, ip("192.0.2.1")), -1);  // not a local address
  EXPECT_NE(log.text().find("setsockopt(IP_MULTICAST_IF): "), std::string::npos);
  close(s);
}

TEST(Net, TcpPortIsTakenInNetworkOrder) {
  int probe = plainSocket(SOCK_STREAM);
  int port = boundPort(probe);
  close(probe);
  int l = tcp_listen(htons((uint16_t)port));
  ASSERT_GE(l, 0);
  EXPECT_EQ(boundPort(l), port);
  int c = tcp_open_to("127.0.0.1", htons((uint16_t)port));
  EXPECT_GE(c, 0);
  close(c);
  close(l);
  int before = nextFd();
  EXPECT_EQ(tcp_open_to("127.0.0.1", htons((uint16_t)port)), -1);
  EXPECT_EQ(nextFd(), before);
}

TEST(Net, AddressForms) {
  in_addr a{};
  GetMCAddr(ip("192.168.10.0"), &a);
  EXPECT_EQ(a.s_addr, ip("224.192.168.10"));
  EXPECT_EQ(GetIPAddr("198.51.100.7", &a), 0);
  EXPECT_EQ(a.s_addr, ip("198.51.100.7"));
  EXPECT_EQ(GetIPAddr("300.1.2.259", &a), 0);  // low 8 bits of each number
  EXPECT_EQ(a.s_addr, ip("44.1.2.3"));
  EXPECT_EQ(GetIPAddr("1abc.invalid", &a), -1);  // numeric-looking: no resolver
  EXPECT_EQ(GetIPAddr("10.1.2", &a), -1);
  char buf[32];
  toDottedDecimal(0xC0A80101u, buf);
  EXPECT_STREQ(buf, "192.168.1.1");
}

}  // namespace
