// lograte.cc - always-on log lines that received datagrams can cause, bounded
// per kind of line. Each kind is written every time up to its burst (10
// unless its limiter says otherwise) within an interval, the keep-alive
// interval; beyond the burst it is only counted, and one line gives the count
// once the interval is over:
//
//   Too many hosts in group. Increase MAXHOSTS        (the burst: 10 lines)
//   Too many hosts in group: 4213 more like this in the last 20 s
//
// So a few bad datagrams write exactly the lines they cause, and a flood no
// more than the burst and one count line per kind and interval. A counted
// line costs a lock, two comparisons and an increment: no formatting, no
// write. The framing's line is reached from the query threads as well as the
// manager thread, so one lock guards every limiter; no line is written while
// it is held.
#include <stdarg.h>

#include "support/support.h"

namespace {

ZV_MUTEX_T rateLock = ZV_MUTEX_INITIALIZER;
lograte *pending;                       // limiters with counted lines, by next
int intervalSecs = GM_LOGRATE_INTERVAL;  // under rateLock

// A count line taken out of a limiter, to be written after the lock.
struct Count {
  const char *label;
  unsigned long n;
  long secs;
};

// Whether r has no interval running at now: none begun, over, or begun
// "later" (the clock went back). Caller holds rateLock.
bool over(const lograte *r, time_t now) {
  return r->start == 0 || now < r->start || now - r->start >= intervalSecs;
}

// Ends r's interval; true with its count in *c when it counted lines.
// Caller holds rateLock.
bool endInterval(lograte *r, time_t now, Count *c) {
  bool counted = r->left > 0;
  if (counted) *c = {r->label, r->left, now > r->start ? (long)(now - r->start) : 0L};
  r->start = 0;
  r->written = 0;
  r->left = 0;
  return counted;
}

void writeCount(const Count &c) {
  log_error(0, 0, "%s: %lu more like this in the last %ld s\n", c.label, c.n, c.secs);
}

}  // namespace

extern "C" {

void setLogRateInterval(int seconds) {
  ZV_MUTEX_LOCK(&rateLock);
  intervalSecs = seconds > 0 ? seconds : 1;
  ZV_MUTEX_UNLOCK(&rateLock);
}

void log_error_limited(lograte *r, const char *format, ...) {
  time_t now = gmSys.now();
  Count c;
  bool counted = false;
  ZV_MUTEX_LOCK(&rateLock);
  if (over(r, now)) {
    counted = endInterval(r, now, &c);
    r->start = now;
  }
  bool write = r->written < r->burst;
  if (write) {
    r->written++;
  } else if (r->left++ == 0 && !r->listed) {
    r->next = pending;
    pending = r;
    r->listed = 1;
  }
  ZV_MUTEX_UNLOCK(&rateLock);
  if (counted) writeCount(c);
  if (!write) return;
  va_list ap;
  va_start(ap, format);
  vlog_error(format, ap);
  va_end(ap);
}

void logRateFlush(time_t now) {
  // The count lines are taken a few at a time and written after the lock.
  for (bool more = true; more;) {
    Count lines[8];
    int n = 0;
    ZV_MUTEX_LOCK(&rateLock);
    lograte **p = &pending;
    while (*p != nullptr && n < 8) {
      lograte *r = *p;
      if (r->left > 0 && !over(r, now)) {  // its interval runs on
        p = &r->next;
        continue;
      }
      if (r->left > 0 && endInterval(r, now, &lines[n])) n++;
      r->listed = 0;
      *p = r->next;
    }
    more = *p != nullptr;
    ZV_MUTEX_UNLOCK(&rateLock);
    for (int i = 0; i < n; i++) writeCount(lines[i]);
  }
}

}  // extern "C"
