// support_test.cc - the support layer every group message goes through: the
// line reader (pieces, refills, end of file), the in-place key=value split,
// numbers off the wire that saturate at the 32-bit range the group's peers
// read them in instead of wrapping, and the socket helpers on loopback only
// (options and binding, failure paths that must log and leave no
// descriptor, address forms; nothing here sends, and no multicast group is
// ever joined).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/support.h"
#include "testutil.h"

namespace {

// Reads every line of text through a reader with a buffer of size bytes.
std::vector<std::string> readAll(const std::string &text, int size) {
  int fd = open(writeTemp(text).c_str(), O_RDWR);
  XFILE *xp = xfdropen(fd);
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  while (xgets(buf.data(), size, xp) != nullptr) lines.emplace_back(buf.data());
  // The end sticks: a line that turns up behind it now is never read.
  EXPECT_EQ(write(fd, "late\n", 5), 5);
  lseek(fd, -5, SEEK_CUR);
  EXPECT_EQ(xgets(buf.data(), size, xp), nullptr);
  xclose(xp);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed with the reader
  return lines;
}

// The same through a reader on the stack whose reads each return one piece
// (one packet of a socket pair), as a pipe may.
std::vector<std::string> readPieces(const std::vector<std::string> &pieces, int size) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
  for (const std::string &p : pieces) EXPECT_EQ(write(sv[1], p.data(), p.size()), (ssize_t)p.size());
  close(sv[1]);
  XFILE xf;
  xfdinit(&xf, sv[0]);
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  while (xgets(buf.data(), size, &xf) != nullptr) lines.emplace_back(buf.data());
  close(sv[0]);
  return lines;
}

TEST(Xgets, SplitsLinesAcrossPiecesAndRefills) {
  using V = std::vector<std::string>;
  // 1500 characters cross the 1024-byte buffer (a short fuzz run rarely
  // gets inputs that long); a NUL ends a line early; an empty file has no
  // line, not an empty one. Lines cut at the size: xfile_fuzz checks every
  // byte of any file.
  std::string b1499(1499, 'b');
  EXPECT_EQ(readAll("a\n" + b1499 + "\nx" + std::string(1, '\0') + "y\n", 2048),
            (V{"a\n", b1499 + "\n", "x", "y\n"}));
  EXPECT_EQ(readAll("", 16), V{});
  EXPECT_EQ(readPieces({"USER=x\nDISP", "LAY=7\nab", "c\n", "tail"}, 128),
            (V{"USER=x\n", "DISPLAY=7\n", "abc\n", "tail"}));
  EXPECT_EQ(readPieces({std::string(100, 'x'), std::string(100, 'y') + "\n"}, 128),
            (V{std::string(100, 'x') + std::string(27, 'y'), std::string(73, 'y') + "\n"}));
}

// The pairs of one line as "key=val|...", plus "$" when the end mark follows.
std::string pairs(std::string text, int max) {
  static char unset[] = "unset";
  char *keys[GM_MAXPAIRS + 1], *vals[GM_MAXPAIRS];
  for (auto &k : keys) k = unset;
  int n = mkKeyPairs(text.data(), keys, vals, max);
  std::string out;
  for (int i = 0; i < n; i++) out += std::string(keys[i]) + "=" + vals[i] + "|";
  return out + (keys[n] == nullptr ? "$" : "");
}

TEST(MkKeyPairs, SplitsOneLine) {
  LogCapture log;
  const int kAll = GM_MAXPAIRS;
  struct { const char *text; int max; const char *want; } cases[] = {
      {"host=alpha addr=a000001 numifs=2\nnext=line\n", kAll, "host=alpha|addr=a000001|numifs=2|$"},
      {"  a=b=c\t=x flag k=\xa0v\r\n", kAll, "a=c|=x|flag=|k=\xa0v|$"},
      {" \t\r\v\f\n", kAll, "$"}, {"", kAll, "$"},
      {"a=1 b=2\n", 2, "a=1|b=2|$"},
      {"a=1 b=2 c=3\n", 2, "a=1|b=2|"},  // too many: the line has not ended
  };
  for (auto &c : cases) EXPECT_EQ(pairs(c.text, c.max), c.want) << c.text;
  EXPECT_TRUE(contains(log.text(), "mkKeyPairs: too many pairs\n"));
  EXPECT_EQ(log.text().find("pairs"), log.text().rfind("pairs"));  // only once
}

TEST(Numbers, ReadAsThirtyTwoBitPeersDo) {
  // 4294967296 and 100000000 (hex) saturate: not 0.
  for (auto [t, want] : {std::pair<const char *, int32_t>{"12abc", 12}, {" -7", -7}, {"4294967296", INT32_MAX},
                         {"-5000000000", INT32_MIN}, {"x", 0}})
    EXPECT_EQ(strtol32(t, 10), want) << t;
  for (auto [t, base, want] : {std::tuple<const char *, int, uint32_t>{"a000001", 16, 0xa000001u},
                               {"100000000", 16, UINT32_MAX}, {"-1", 16, UINT32_MAX}, {"-2", 10, 0xfffffffeu}})
    EXPECT_EQ(strtoul32(t, base), want) << t;
}

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
