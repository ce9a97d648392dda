// numbers.cc - numbers in the group's texts: read as the group's 32-bit
// peers read them (the leading part of the text, saturating at the ends of
// the range rather than wrapping in a wider type), and decimals written and
// read with a point whatever locale the daemon's process runs in (the JVM
// sets the process locale from the environment).
#include <errno.h>
#include <locale.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "support/support.h"

namespace {

locale_t cLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  return c;
}

}  // namespace

extern "C" {

double strtodC(const char *s, char **end) { return strtod_l(s, end, cLocale()); }

int vsnprintfC(char *buf, size_t size, const char *format, va_list ap) {
  // The C locale for this thread alone, and only for this call.
  locale_t c = cLocale();
  locale_t old = c != (locale_t)0 ? uselocale(c) : (locale_t)0;
  int n = vsnprintf(buf, size, format, ap);
  if (old != (locale_t)0) uselocale(old);
  return n;
}

int snprintfC(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintfC(buf, size, format, ap);
  va_end(ap);
  return n;
}

int32_t strtol32(const char *s, int base) {
  long long v = strtoll(s, nullptr, base);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return (int32_t)v;
}

uint32_t strtoul32(const char *s, int base) {
  const char *p = s;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f') p++;
  bool neg = *p == '-';
  errno = 0;
  unsigned long long v = strtoull(s, nullptr, base);
  // strtoull negates a "-" value; the range test is on the magnitude.
  unsigned long long mag = neg ? 0ULL - v : v;
  if (errno == ERANGE || mag > UINT32_MAX) return UINT32_MAX;
  return neg ? 0U - (uint32_t)mag : (uint32_t)mag;
}

}  // extern "C"
