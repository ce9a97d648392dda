// xfile.cc - the line reader over a file descriptor: session files and the
// output pipe of the interface tool are read line by line without stdio.
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "support/support.h"

extern "C" {

void xfdinit(XFILE *xp, int fd) {
  xp->fd = fd;
  xp->next = xp->buf;
  xp->end = xp->buf;
  xp->eof = 0;
  xp->timeout_ms = 0;
  xp->timedout = 0;
}

XFILE *xfdropen(int fd) {
  XFILE *xp = (XFILE *)malloc(sizeof(XFILE));
  if (xp != nullptr) xfdinit(xp, fd);
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
    // As much of the buffer as the line and bp take, in one copy.
    size_t take = (size_t)(xp->end - xp->next);
    if (take > (size_t)(size - 1 - n)) take = (size_t)(size - 1 - n);
    const char *from = xp->next, *stop = from + take, *p = from;
    bool ends = false;
    while (p < stop) {
      char c = *p++;
      if (c == '\n' || c == '\0') {
        ends = true;
        break;
      }
    }
    memcpy(bp + n, from, (size_t)(p - from));
    n += (int)(p - from);
    xp->next += p - from;
    if (ends) break;
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
