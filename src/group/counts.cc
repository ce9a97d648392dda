// counts.cc - what the local host announces about its own use: sessions and
// idle sessions from the session directories, the load, and the processor
// capacity. The directories are re-read only when their mtime changes, and
// the load is sampled at most once a second.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "group/group.h"
#include "zvoscompat.h"

namespace {

constexpr size_t kCpuinfoMax = 10240;  // a longer cpuinfo is not trusted

bool isDisplayName(const char *name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; name++)
    if (*name < '0' || *name > '9') return false;
  return true;
}

// Digits, possibly none, then exactly ".pid".
bool isIdleName(const char *name) {
  while (*name >= '0' && *name <= '9') name++;
  return strcmp(name, ".pid") == 0;
}

// Counts the entries of dir whose names pass test; false when it won't open.
bool countEntries(const char *dir, bool (*test)(const char *), int *count) {
  DIR *d = opendir(dir);
  if (d == nullptr) return false;
  struct dirent entry;
  struct dirent *res;
  int n = 0;
  while (_zv_os_readdir_r(d, &entry, &res) == 0 && res != nullptr)
    if (test(entry.d_name)) n++;
  closedir(d);
  *count = n;
  return true;
}

// Recounts dir into *count unless its mtime is still *seen; false when the
// directory will not open (the count and *seen then stay).
bool recount(const char *dir, time_t mtime, time_t *seen,
             bool (*test)(const char *), int *count) {
  if (mtime == *seen) return true;
  if (!countEntries(dir, test, count)) return false;
  *seen = mtime;
  return true;
}

// Every token query a peer sends counts the sessions afresh, so these lines
// are bounded as the responders' own are.
lograte cannotStat = LOGRATE_INIT("Cannot stat displays directory");
lograte cannotOpen = LOGRATE_INIT("Cannot open displays directory");
lograte cannotOpenIdle = LOGRATE_INIT("Cannot open idle display directory");
lograte noLoadAvg = LOGRATE_INIT("Error obtaining load avg");

session_cache sessionCache = SESSION_CACHE_INIT;
load_cache loadCache;

}  // namespace

extern "C" {

void countSessionsIn(session_cache *c, const char *displays,
                     const char *idledir, int *total, int *idle) {
  struct stat ds, is;
  if (stat(displays, &ds) != 0 || stat(idledir, &is) != 0)
    log_error_limited(&cannotStat, "Cannot stat displays directory\n");
  else if (!recount(displays, ds.st_mtime, &c->lastDispTime, isDisplayName, &c->t))
    log_error_limited(&cannotOpen, "Cannot open displays directory\n");
  else if (!recount(idledir, is.st_mtime, &c->lastIdleTime, isIdleName, &c->i))
    log_error_limited(&cannotOpenIdle, "Cannot open idle display directory\n");
  *total = c->t;
  *idle = c->i;
}

void countSessions(int *total, int *idle) {
  countSessionsIn(&sessionCache, gmSessionDirs.displays, gmSessionDirs.idle,
                  total, idle);
}

double currentLoadFrom(load_cache *c, int (*sample)(double *, int)) {
  time_t now = gmSys.now();
  if (now == c->lastLoad) return c->max;
  c->max = 0.0;
  double avg[3];
  int n = sample(avg, 3);
  if (n <= 0) {
    log_error_limited(&noLoadAvg, "Error obtaining load avg\n");
  } else {
    for (int k = 0; k < n && k < 3; k++)
      if (avg[k] > c->max) c->max = avg[k];
  }
  c->lastLoad = now;
  return c->max;
}

double getCurrentLoad(void) { return currentLoadFrom(&loadCache, getloadavg); }

int capacityFrom(const char *cpuinfo, int *numcpus, int *totalclock) {
  *numcpus = 0;
  *totalclock = 0;
  FILE *f = fopen(cpuinfo, "r");
  if (f == nullptr) return -1;
  char text[kCpuinfoMax + 1];
  size_t n = fread(text, 1, kCpuinfoMax, f);
  fclose(f);
  if (n == 0 || n == kCpuinfoMax) return -1;
  text[n] = '\0';

  int64_t sum = 0;  // a hostile text must not overflow the int
  int cpus = 0;
  for (const char *p = strstr(text, "cpu MHz"); p != nullptr; p = strstr(p + 7, "cpu MHz")) {
    int mhz;
    if (sscanf(p, "cpu MHz : %d", &mhz) != 1) mhz = 0;  // counted, adds nothing
    sum += mhz;
    cpus++;
  }
  *numcpus = cpus;
  *totalclock = sum > INT32_MAX ? INT32_MAX : sum < INT32_MIN ? INT32_MIN : (int)sum;
  return 0;
}

int get_system_capacity(int *numcpus, int *totalclock) {
  return capacityFrom("/proc/cpuinfo", numcpus, totalclock);
}

}  // extern "C"
