// log.cc - the log of the group manager: one timestamped line per message on
// standard error, written with a single write so threads never interleave.
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include "support/support.h"

namespace {

int debugLevel;  // threshold of log_debug

void writeLine(const char *msg) {
  char line[512];
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  int n = snprintf(line, sizeof line, "%.2d/%.2d/%d %.2d:%.2d:%.2d %s",
                   tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, tm.tm_hour,
                   tm.tm_min, tm.tm_sec, msg);
  if (n < 0) return;
  if (n > (int)sizeof line - 1) n = sizeof line - 1;
  ssize_t w = write(2, line, (size_t)n);
  (void)w;  // a lost log line never stops the caller
}

void vlog(const char *format, va_list ap) {
  char msg[512];
  if (vsnprintfC(msg, sizeof msg, format, ap) < 0) return;
  writeLine(msg);
}

}  // namespace

extern "C" {

void setLogDebugLevel(int level) { debugLevel = level; }

void log_debug(int level, const char *format, ...) {
  if (debugLevel < level) return;
  va_list ap;
  va_start(ap, format);
  vlog(format, ap);
  va_end(ap);
}

void log_error(int msgid, int prio, const char *format, ...) {
  (void)msgid;
  (void)prio;
  va_list ap;
  va_start(ap, format);
  vlog(format, ap);
  va_end(ap);
}

void vlog_error(const char *format, va_list ap) { vlog(format, ap); }

void show_error(const char *msg) { writeLine(msg); }

}  // extern "C"
