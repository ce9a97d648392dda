/* clock.c - the light server's wall clock: the library reads the time of day
 * through time(), gettimeofday() and clock_gettime(), which this executable
 * defines ahead of the C library, so that one server of a testbed can run
 * with its clock stepped while the machine's own clock is never touched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static atomic_long shift; /* seconds added to the machine's wall clock */

void lightClockShift(long seconds) { atomic_store(&shift, seconds); }
long lightClockShifted(void) { return atomic_load(&shift); }

typedef int (*clockFn)(clockid_t, struct timespec *);
static _Atomic(clockFn) libcClock;

/* The C library's own clock, found behind this executable's definition, so
 * that the time is read on its fast path (without a system call) as it is
 * in the daemon's process; the system call itself where it cannot be found.
 * Calling clock_gettime by name would come back here. */
static int realClock(clockid_t id, struct timespec *ts) {
  clockFn f = atomic_load(&libcClock);
  if (f == NULL) {
    f = (clockFn)dlsym(RTLD_NEXT, "clock_gettime");
    if (f == NULL || f == clock_gettime) return (int)syscall(SYS_clock_gettime, id, ts);
    atomic_store(&libcClock, f);
  }
  return f(id, ts);
}

static int isWallClock(clockid_t id) {
  return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
}

int clock_gettime(clockid_t id, struct timespec *ts) {
  int r = realClock(id, ts);
  if (r == 0 && isWallClock(id)) ts->tv_sec += atomic_load(&shift);
  return r;
}

time_t time(time_t *t) {
  struct timespec ts;
  realClock(CLOCK_REALTIME, &ts);
  time_t v = ts.tv_sec + atomic_load(&shift);
  if (t != NULL) *t = v;
  return v;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz) {
  (void)tz;
  struct timespec ts;
  int r = realClock(CLOCK_REALTIME, &ts);
  if (r == 0) {
    tv->tv_sec = ts.tv_sec + atomic_load(&shift);
    tv->tv_usec = ts.tv_nsec / 1000;
  }
  return r;
}
