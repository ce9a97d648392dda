// zvtb-udp - the testbed's observer and questioner: records every datagram
// that reaches a UDP port (joining the group on given interfaces), or sends
// one datagram from an ephemeral port and records the replies to it, playing
// a party that asks a server directly. Run it only inside testbed namespaces;
// it refuses to send anywhere else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../src/group/defaults.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: zvtb-udp recv PORT SECONDS [GROUP IFADDR...]\n"
          "       zvtb-udp ask DEST PORT TEXT MILLISECONDS\n"
          "both print one line per datagram heard: SRCADDR SRCPORT TIME LENGTH HEX\n"
          "(TIME: arrival, seconds since the epoch); ask sends TEXT first (\\n in\n"
          "it stands for a newline) and exits 1 when no reply came\n");
  return 2;
}

bool parse(const char *s, in_addr *a) { return inet_pton(AF_INET, s, a) == 1; }

// The testbed's networks, the group, and loopback: nothing else is a target.
bool allowed_target(in_addr a) {
  uint32_t h = ntohl(a.s_addr);
  return (h >> 8) == 0xc63364 /* 198.51.100/24 */ || (h >> 8) == 0xcb0071 /* 203.0.113/24 */ ||
         a.s_addr == inet_addr(GM_DEFAULT_GROUP) || (h >> 24) == 127;
}

long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// Prints every datagram that reaches fd until the deadline; their number.
int printUntil(int fd, long until) {
  static unsigned char buf[65536];
  int n = 0;
  for (long left; (left = until - now_ms()) > 0;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t len = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &fl);
    if (len < 0) continue;
    char src[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
    printf("%s %d %ld %zd ", src, ntohs(from.sin_port), (long)time(nullptr), len);
    for (ssize_t i = 0; i < len; i++) printf("%02x", buf[i]);
    printf("\n");
    fflush(stdout);
    n++;
  }
  return n;
}

int do_recv(int argc, char **argv) {
  if (argc < 2) return usage();
  int port = atoi(argv[0]);
  long until = now_ms() + atol(argv[1]) * 1000L;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (fd < 0 || bind(fd, (sockaddr *)&sa, sizeof sa) < 0) {
    perror("zvtb-udp: bind");
    return 1;
  }
  if (argc > 2) {
    ip_mreq mr{};
    if (!parse(argv[2], &mr.imr_multiaddr)) return usage();
    for (int i = 3; i < argc; i++) {
      if (!parse(argv[i], &mr.imr_interface)) return usage();
      if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) < 0) {
        perror("zvtb-udp: IP_ADD_MEMBERSHIP");
        return 1;
      }
    }
  }
  printf("listening\n");
  fflush(stdout);
  printUntil(fd, until);
  return 0;
}

int do_ask(int argc, char **argv) {
  if (argc != 4) return usage();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (!parse(argv[0], &to.sin_addr)) return usage();
  if (!allowed_target(to.sin_addr)) {
    fprintf(stderr, "zvtb-udp: %s is not a testbed address\n", argv[0]);
    return 2;
  }
  to.sin_port = htons((uint16_t)atoi(argv[1]));
  static char text[2048];
  size_t len = 0;
  for (const char *in = argv[2]; *in != '\0' && len < sizeof text; in++) {
    bool nl = in[0] == '\\' && in[1] == 'n';
    text[len++] = nl ? '\n' : *in;
    if (nl) in++;
  }
  long until = now_ms() + atol(argv[3]);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || sendto(fd, text, len, 0, (sockaddr *)&to, sizeof to) < 0) {
    perror("zvtb-udp: sendto");
    return 2;
  }
  return printUntil(fd, until) > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  if (!strcmp(argv[1], "recv")) return do_recv(argc - 2, argv + 2);
  if (!strcmp(argv[1], "ask")) return do_ask(argc - 2, argv + 2);
  return usage();
}
