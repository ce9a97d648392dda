// zvtb-udp - the testbed's observer and probe: records every datagram that
// reaches a UDP port (joining the group on given interfaces), or sends one.
// Run it only inside testbed namespaces; it refuses to send anywhere else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int usage() {
  fprintf(stderr,
          "usage: zvtb-udp recv PORT SECONDS [GROUP IFADDR...]\n"
          "       zvtb-udp send IFADDR DEST PORT TEXT\n"
          "recv prints one line per datagram: SRCADDR SRCPORT TIME LENGTH HEX\n"
          "(TIME: arrival, seconds since the epoch)\n");
  return 2;
}

bool parse(const char *s, in_addr *a) { return inet_pton(AF_INET, s, a) == 1; }

// The testbed's networks, the group, and loopback: nothing else is a target.
bool allowed_target(in_addr a) {
  uint32_t h = ntohl(a.s_addr);
  return (h >> 8) == 0xc63364 /* 198.51.100/24 */ || (h >> 8) == 0xcb0071 /* 203.0.113/24 */ ||
         h == 0xe0656565 /* 224.101.101.101 */ || (h >> 24) == 127;
}

long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
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
  static unsigned char buf[65536];
  for (long left; (left = until - now_ms()) > 0;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &fl);
    if (n < 0) continue;
    char src[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
    printf("%s %d %ld %zd ", src, ntohs(from.sin_port), (long)time(nullptr), n);
    for (ssize_t i = 0; i < n; i++) printf("%02x", buf[i]);
    printf("\n");
    fflush(stdout);
  }
  return 0;
}

int do_send(int argc, char **argv) {
  if (argc != 4) return usage();
  in_addr ifa, dst;
  if (!parse(argv[0], &ifa) || !parse(argv[1], &dst)) return usage();
  if (!allowed_target(dst)) {
    fprintf(stderr, "zvtb-udp: %s is not a testbed address\n", argv[1]);
    return 1;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof ifa);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = dst;
  sa.sin_port = htons(atoi(argv[2]));
  if (sendto(fd, argv[3], strlen(argv[3]), 0, (sockaddr *)&sa, sizeof sa) < 0) {
    perror("zvtb-udp: sendto");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  if (!strcmp(argv[1], "recv")) return do_recv(argc - 2, argv + 2);
  if (!strcmp(argv[1], "send")) return do_send(argc - 2, argv + 2);
  return usage();
}
