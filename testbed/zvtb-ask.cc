// zvtb-ask - the testbed's question tool: sends one UDP datagram from an
// ephemeral port and prints the replies that come back to that port, so a
// test can play a party that asks a server directly. Run it only inside
// testbed namespaces; it refuses to send anywhere else.
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
          "usage: zvtb-ask DEST PORT TEXT MILLISECONDS\n"
          "sends TEXT (\\n in it stands for a newline) and prints one line per\n"
          "reply heard within MILLISECONDS: SRCADDR SRCPORT LENGTH HEX;\n"
          "exits 0 when at least one reply came, 1 when none did\n");
  return 2;
}

// The testbed's networks and loopback: nothing else is a target.
bool allowedTarget(in_addr a) {
  uint32_t h = ntohl(a.s_addr);
  return (h >> 8) == 0xc63364 /* 198.51.100/24 */ || (h >> 8) == 0xcb0071 /* 203.0.113/24 */ ||
         (h >> 24) == 127;
}

long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// The text with every two-character "\n" turned into a newline.
size_t unescape(const char *in, char *out, size_t room) {
  size_t n = 0;
  for (; *in != '\0' && n < room; in++) {
    if (in[0] == '\\' && in[1] == 'n') {
      out[n++] = '\n';
      in++;
    } else {
      out[n++] = *in;
    }
  }
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) return usage();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return usage();
  if (!allowedTarget(to.sin_addr)) {
    fprintf(stderr, "zvtb-ask: %s is not a testbed address\n", argv[1]);
    return 2;
  }
  to.sin_port = htons((uint16_t)atoi(argv[2]));
  static char text[2048];
  size_t len = unescape(argv[3], text, sizeof text);
  long until = nowMs() + atol(argv[4]);

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || sendto(fd, text, len, 0, (sockaddr *)&to, sizeof to) < 0) {
    perror("zvtb-ask: sendto");
    return 2;
  }
  int replies = 0;
  static unsigned char buf[65536];
  for (long left; (left = until - nowMs()) > 0;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &fl);
    if (n < 0) continue;
    char src[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
    printf("%s %d %zd ", src, ntohs(from.sin_port), n);
    for (ssize_t i = 0; i < n; i++) printf("%02x", buf[i]);
    printf("\n");
    fflush(stdout);
    replies++;
  }
  close(fd);
  return replies > 0 ? 0 : 1;
}
