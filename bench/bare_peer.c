/* bare_peer.c - a bare responder process: answers the token queries that
 * reach its port with the bare responder's work (bare.c), over the session
 * directories of the server it runs as. The baseline of peers.sh.
 *
 *   gm_bare_peer PORT [SECRET-FILE]
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "bare.h"
#include "placement/placement.h"

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: gm_bare_peer PORT [SECRET-FILE]\n");
    return 2;
  }
  if (argc == 3) initSignature(argv[2]);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in any;
  memset(&any, 0, sizeof any);
  any.sin_family = AF_INET;
  any.sin_port = htons((uint16_t)atoi(argv[1]));
  if (fd < 0 || bind(fd, (struct sockaddr *)&any, sizeof any) < 0) {
    perror("gm_bare_peer: bind");
    return 1;
  }
  const bare_dirs dirs = {GM_CTOKENS, GM_ITOKENS, GM_DISPLAYS, GM_IDLE};
  static char buf[GM_BUFSIZE];
  for (;;) {
    struct sockaddr_in from;
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf - 1, 0, (struct sockaddr *)&from, &flen);
    if (n >= 0) bare_answer(fd, &from, buf, (int)n, &dirs);
  }
}
