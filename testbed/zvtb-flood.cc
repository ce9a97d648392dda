// zvtb-flood - the testbed's flood: sends a bounded stream of bad or
// unwanted datagrams to a server's group port at a given rate, and says what
// it sent and the rate it reached. Run it only inside a testbed namespace
// (tb exec NAME zvtb-flood ...): it refuses any destination outside the
// testbed's networks, the group and loopback, and refuses to run where an
// interface carries any other address (the machine's own namespace).
//
//   zvtb-flood KIND DEST PORT RATE COUNT SECONDS [NAMES [PREFIX]]
//
// KIND     garbage   random bytes of 20 to 200 characters
//          big       datagrams of 8000 bytes (larger than any receive buffer)
//          unsigned  announcements without a signature, under NAMES names
//          forged    announcements with a trailer that does not verify
//          tokenq, termq, serverq   queries as peers send them
//          pairs     token queries of 60 pairs, more than a line is split into
//          longtoken token queries with a token of 70 characters
//          mix       the kinds above in turn
//          claim     announcements without a signature under exactly the
//                    name PREFIX (NAMES unused): a claim on a member's name
// RATE     datagrams per second (0: as fast as one core sends them)
// COUNT    datagrams at most; SECONDS: seconds at most. Whichever ends first
//          stops the flood; both are bounded.
// NAMES    distinct host names the announcements cycle through (default
//          1000), PREFIX their stem (default "flood"): PREFIX0, PREFIX1...
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const long kMaxCount = 100000000;  // a hard bound on any one run
const double kMaxSeconds = 600;
const int kBatch = 64;             // datagrams per sendmmsg
const size_t kBig = 8000;

int usage() {
  fprintf(stderr,
          "usage: zvtb-flood KIND DEST PORT RATE COUNT SECONDS [NAMES [PREFIX]]\n"
          "KIND: garbage big unsigned forged tokenq termq serverq pairs longtoken mix claim\n"
          "RATE datagrams/s (0: as fast as possible); stops after COUNT datagrams\n"
          "or SECONDS seconds, whichever comes first\n");
  return 2;
}

uint32_t hostOrder(in_addr a) { return ntohl(a.s_addr); }

bool testbedNet(uint32_t h) {
  return (h >> 8) == 0xc63364 /* 198.51.100/24 */ || (h >> 8) == 0xcb0071 /* 203.0.113/24 */;
}

// The testbed's networks, the group, and loopback: nothing else is a target.
bool allowedTarget(in_addr a) {
  uint32_t h = hostOrder(a);
  return testbedNet(h) || h == 0xe0656565 /* 224.101.101.101 */ || (h >> 24) == 127;
}

// Every IPv4 address of this namespace lies on loopback or a testbed network:
// the machine's own namespace never passes.
bool insideTestbed(std::string *why, in_addr *first) {
  ifaddrs *ifs = nullptr;
  if (getifaddrs(&ifs) != 0) {
    *why = std::string("getifaddrs: ") + strerror(errno);
    return false;
  }
  bool ok = true;
  for (ifaddrs *i = ifs; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    uint32_t h = hostOrder(((sockaddr_in *)i->ifa_addr)->sin_addr);
    if ((h >> 24) == 127) continue;
    if (testbedNet(h)) {
      if (first->s_addr == 0) *first = ((sockaddr_in *)i->ifa_addr)->sin_addr;
      continue;
    }
    char a[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &((sockaddr_in *)i->ifa_addr)->sin_addr, a, sizeof a);
    *why = std::string(i->ifa_name) + " has " + a + ", not a testbed address";
    ok = false;
  }
  freeifaddrs(ifs);
  return ok;
}

double nowSec() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

enum Kind { kGarbage, kBigKind, kUnsigned, kForged, kTokenQ, kTermQ, kServerQ, kPairs, kLongToken, kKinds };
const Kind kClaim = kKinds;  // not one of mix's kinds
const char *const kKindNames[kKinds] = {"garbage", "big",   "unsigned", "forged", "tokenq",
                                        "termq",   "serverq", "pairs",  "longtoken"};

uint64_t rng = 88172645463325252ull;
uint64_t next64() {  // xorshift: cheap, and the same stream every run
  rng ^= rng << 13;
  rng ^= rng >> 7;
  rng ^= rng << 17;
  return rng;
}

struct Maker {
  long names;
  std::string prefix;
  uint32_t self;  // this namespace's address on the way to the target, host order

  // Datagram number i of kind k into buf; its length.
  size_t make(Kind k, long i, char *buf, size_t room) {
    int n = 0;
    long who = names > 0 ? i % names : 0;
    switch (k) {
      case kGarbage: {
        size_t len = 20 + next64() % 181;
        for (size_t j = 0; j < len; j++) buf[j] = (char)(next64() & 0xff);
        return len;
      }
      case kBigKind:
        memset(buf, 'x', kBig);
        memcpy(buf, "host=", 5);
        return kBig;
      case kUnsigned:
      case kForged:
      case kClaim: {
        std::string name = prefix + (k == kClaim ? "" : std::to_string(who));
        n = snprintf(buf, room,
                     "host=%s addr=%x time=%ld numifs=1 flags=7 cpus=2 clock=2400 "
                     "period=20 starttime=%ld load=0.1\n"
                     "interface=eth0 ip=%x mask=ffffff00 bcast=%x flags=1\n"
                     "sessions=0 idles=0\n",
                     name.c_str(), self, (long)time(nullptr), (long)time(nullptr) - 60, self,
                     self | 0xff);
        if (k == kForged) {
          n += snprintf(buf + n, room - n, "#sig=");
          for (int j = 0; j < 40; j++) buf[n++] = "0123456789abcdef"[next64() & 15];
          buf[n++] = '\n';
        }
        return (size_t)n;
      }
      case kTokenQ:
        return (size_t)snprintf(buf, room, "tokenQ=i-flood%ld at=%x hostix=1 ctoken=c-flood%ld\n",
                                who, htonl(self), who);
      case kTermQ:
        return (size_t)snprintf(buf, room, "termQ=t-flood%ld at=%x hostix=1\n", who, htonl(self));
      case kServerQ:
        return (size_t)snprintf(buf, room, "serverQ=%ld\n", 1 + who % 100);
      case kPairs:
        n = snprintf(buf, room, "tokenQ=i-flood%ld at=%x hostix=1 ctoken=c-flood%ld", who,
                     htonl(self), who);
        for (int j = 0; j < 56; j++) n += snprintf(buf + n, room - n, " k%d=v", j);
        buf[n++] = '\n';
        return (size_t)n;
      case kLongToken:
        return (size_t)snprintf(buf, room, "tokenQ=%070ld at=%x hostix=1 ctoken=\n", who, htonl(self));
      default:
        return 0;
    }
  }
};

// The source address that the kernel picks for dest.
uint32_t sourceFor(const sockaddr_in &dest) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in s{};
  socklen_t sl = sizeof s;
  if (fd >= 0 && connect(fd, (const sockaddr *)&dest, sizeof dest) == 0)
    getsockname(fd, (sockaddr *)&s, &sl);
  if (fd >= 0) close(fd);
  return hostOrder(s.sin_addr);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 7 || argc > 9) return usage();
  int kind = -1;
  bool mix = strcmp(argv[1], "mix") == 0;
  for (int k = 0; k < kKinds; k++)
    if (strcmp(argv[1], kKindNames[k]) == 0) kind = k;
  if (strcmp(argv[1], "claim") == 0) kind = kClaim;
  if (kind < 0 && !mix) return usage();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[2], &to.sin_addr) != 1) return usage();
  if (!allowedTarget(to.sin_addr)) {
    fprintf(stderr, "zvtb-flood: %s is not a testbed address\n", argv[2]);
    return 2;
  }
  std::string why;
  in_addr mine{};
  if (!insideTestbed(&why, &mine)) {
    fprintf(stderr, "zvtb-flood: not inside a testbed namespace (%s)\n", why.c_str());
    return 2;
  }
  to.sin_port = htons((uint16_t)atoi(argv[3]));
  double rate = atof(argv[4]);
  long count = atol(argv[5]);
  double seconds = atof(argv[6]);
  if (rate < 0 || count <= 0 || count > kMaxCount || !(seconds > 0) || seconds > kMaxSeconds) {
    fprintf(stderr, "zvtb-flood: RATE >= 0, 0 < COUNT <= %ld and 0 < SECONDS <= %.0f\n",
            kMaxCount, kMaxSeconds);
    return 2;
  }
  bool group = IN_MULTICAST(hostOrder(to.sin_addr));
  Maker mk{argc > 7 ? atol(argv[7]) : 1000, argc > 8 ? argv[8] : "flood",
           group ? hostOrder(mine) : sourceFor(to)};
  if (mk.names <= 0) return usage();

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("zvtb-flood: socket");
    return 1;
  }
  int one = 1, ttl = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  // The group has no route in a testbed namespace: out of its first testbed
  // interface.
  if (group && mine.s_addr != 0) setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mine, sizeof mine);
  // Replies (first-time announcements, answers) are not read: the smallest
  // receive buffer keeps them from piling up.
  int small = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  std::vector<std::vector<char>> bufs(kBatch, std::vector<char>(kBig + 64));
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  long sent = 0, failed = 0, made = 0;
  unsigned long long bytes = 0;
  double t0 = nowSec(), end = t0 + seconds;
  for (;;) {
    double now = nowSec();
    if (now >= end || made >= count) break;
    long due = rate > 0 ? (long)((now - t0) * rate) + 1 : made + kBatch;
    if (due > count) due = count;
    long n = due - made;
    if (n <= 0) {
      double wait = (made + 1) / rate - (now - t0);
      if (wait > 0.002) wait = 0.002;  // short naps keep the pace even
      timespec ts{0, (long)(wait * 1e9)};
      nanosleep(&ts, nullptr);
      continue;
    }
    if (n > kBatch) n = kBatch;
    memset(msgs, 0, sizeof msgs);
    for (long j = 0; j < n; j++) {
      Kind k = mix ? (Kind)((made + j) % kKinds) : (Kind)kind;
      iov[j].iov_base = bufs[j].data();
      iov[j].iov_len = mk.make(k, made + j, bufs[j].data(), bufs[j].size());
      msgs[j].msg_hdr.msg_name = &to;
      msgs[j].msg_hdr.msg_namelen = sizeof to;
      msgs[j].msg_hdr.msg_iov = &iov[j];
      msgs[j].msg_hdr.msg_iovlen = 1;
    }
    int r = sendmmsg(fd, msgs, (unsigned)n, 0);
    if (r < 0) {
      // A full queue (ENOBUFS) or an unreachable peer: counted, and the
      // datagrams count as made, so the bound still holds.
      r = 0;
    }
    for (int j = 0; j < r; j++) bytes += iov[j].iov_len;
    sent += r;
    failed += n - r;
    made += n;
  }
  double took = nowSec() - t0;
  printf("sent %ld of %ld datagrams (%s, %llu bytes) to %s:%d in %.2f s: %.0f/s (asked %.0f/s)\n",
         sent, made, argv[1], bytes, argv[2], ntohs(to.sin_port), took, took > 0 ? sent / took : 0.0,
         rate);
  if (failed > 0) printf("not sent: %ld\n", failed);
  return 0;
}
