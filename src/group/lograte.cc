// lograte.cc - always-on log lines that a stream of datagrams can repeat at
// the rate they arrive. Such a line is written the first time in each
// keep-alive interval; the repeats within the interval are only counted, and
// one line with their count follows when the interval is over:
//
//   Too many hosts in group. Increase MAXHOSTS
//   Too many hosts in group: 4213 more like this in the last 2 s
//
// A repeat costs a comparison and an increment: no formatting, no write.
// Limiters belong to the manager thread (the handlers of received
// datagrams); none takes a lock.
#include <stdarg.h>
#include <stdio.h>

#include "group/group.h"

namespace {

lograte *pending;  // limiters that have left lines out, by their next

int interval(void) { return myhost.period > 0 ? myhost.period : 1; }

// Writes the count of r's left-out lines, if any, and starts it afresh.
void flush(lograte *r, time_t now) {
  if (r->left > 0)
    log_error(0, 0, "%s: %lu more like this in the last %ld s\n", r->label, r->left,
              (long)(now - r->start));
  r->left = 0;
  r->start = 0;
}

}  // namespace

extern "C" {

void log_error_limited(lograte *r, const char *format, ...) {
  time_t now = gmSys.now();
  // Within the interval of the last line written (a clock that went back
  // starts a new one).
  if (r->start != 0 && now >= r->start && now - r->start < interval()) {
    if (r->left++ == 0 && !r->listed) {
      r->next = pending;
      pending = r;
      r->listed = 1;
    }
    return;
  }
  flush(r, now);
  r->start = now;
  char msg[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(msg, sizeof msg, format, ap);
  va_end(ap);
  if (n >= 0) log_error(0, 0, "%s", msg);
}

void logRateFlush(time_t now) {
  for (lograte **p = &pending; *p != nullptr;) {
    lograte *r = *p;
    if (r->left > 0 && now >= r->start && now - r->start < interval()) {
      p = &r->next;
      continue;
    }
    flush(r, now);
    r->listed = 0;
    *p = r->next;
  }
}

}  // extern "C"
