// xfile.cc - the line reader over a file descriptor: session files and the
// output pipe of the interface tool are read line by line without stdio.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include "support/support.h"

extern "C" {

XFILE *xfdropen(int fd) {
  XFILE *xp = (XFILE *)malloc(sizeof(XFILE));
  if (xp == nullptr) return nullptr;
  xp->fd = fd;
  xp->next = xp->buf;
  xp->end = xp->buf;
  xp->eof = 0;
  xp->timeout_ms = 0;
  xp->timedout = 0;
  return xp;
}

char *xgets(char *bp, int size, XFILE *xp) {
  if (xp->eof || size < 1) return nullptr;
  int n = 0;
  while (n < size - 1) {
    if (xp->next >= xp->end) {
      // A failed read counts as the end: the pipe's writer is gone or broken
      // either way, and the eof mark is never cleared. So does a writer that
      // stays silent past the reader's time-out.
      if (xp->timeout_ms > 0) {
        struct pollfd p = {xp->fd, POLLIN, 0};
        if (poll(&p, 1, xp->timeout_ms) <= 0) {
          xp->timedout = 1;
          xp->eof = 1;
          break;
        }
      }
      ssize_t got = read(xp->fd, xp->buf, sizeof xp->buf);
      if (got <= 0) {
        xp->eof = 1;
        break;
      }
      xp->next = xp->buf;
      xp->end = xp->buf + got;
    }
    char c = *xp->next++;
    bp[n++] = c;
    if (c == '\n' || c == '\0') break;
  }
  bp[n] = '\0';
  if (n == 0 && xp->eof) return nullptr;
  return bp;
}

void xclose(XFILE *xp) {
  if (xp == nullptr) return;
  close(xp->fd);
  free(xp);
}

}  // extern "C"
