/* support.h - the small pieces every subsystem uses: the log, the line
 * reader, the key=value framing of group messages and the system seam. */
#ifndef ZVGM_SUPPORT_H
#define ZVGM_SUPPORT_H

#include <poll.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "gm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Log (standard error, one write per line) ----------------------- */

/* Sets the debug threshold of log_debug, 0 until set. The manager sets it
 * from its start-up parameters (gm_params.debug). */
void setLogDebugLevel(int level);
/* Writes the message when the debug threshold is at least level. */
void log_debug(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* Always writes the message; msgid and prio do not show. */
void log_error(int msgid, int prio, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* log_error with its arguments in ap. */
void vlog_error(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
/* Writes one timestamped line holding msg as it is. */
void show_error(const char *msg);

/* ---- Lines that received datagrams can repeat ----------------------- */

/* An always-on line that datagrams could cause as often as they arrive. Each
 * kind of line has a limiter of static storage: the line is written every
 * time up to the limiter's burst within an interval of the keep-alive
 * interval's length (begun by the first line), then only counted; when the
 * interval is over one line "<label>: N more like this in the last S s"
 * gives the count. Any thread may write through a limiter. */
typedef struct lograte {
  const char *label;    /* names the line in the count line */
  int burst;            /* lines written per interval before counting */
  time_t start;         /* when the interval began; 0: none running */
  int written;          /* lines written in it */
  unsigned long left;   /* lines counted in it, not written */
  int listed;           /* on the list of limiters with counted lines */
  struct lograte *next; /* that list */
} lograte;
#define LOGRATE_INIT_BURST(label, burst) {label, burst, 0, 0, 0, 0, 0}
#define LOGRATE_INIT(label) LOGRATE_INIT_BURST(label, 10)
#define GM_LOGRATE_INTERVAL 20 /* seconds of an interval until set */

/* Writes or counts the line (format and arguments as log_error's). */
void log_error_limited(lograte *r, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* Sets the interval's length; the manager sets its keep-alive interval. */
void setLogRateInterval(int seconds);
/* Writes the count line of every limiter whose interval is over at now and
 * counted lines; the manager loop calls it at each refresh, so that a flood
 * that stops still gets its count. */
void logRateFlush(time_t now);

/* ---- Line reader ---------------------------------------------------- */

typedef struct xfile {
  int fd;         /* descriptor read from; closed by xclose */
  char *next;     /* next unread character of buf */
  char *end;      /* one past the last valid character of buf */
  int eof;        /* 1 once a read gave 0 bytes or failed */
  int timeout_ms; /* > 0: a refill waits at most this long for data */
  int timedout;   /* 1 once a refill gave up waiting (eof is set too) */
  char buf[1024]; /* read buffer */
} XFILE;

/* A new reader on fd, or null without memory (fd then stays the caller's). */
XFILE *xfdropen(int fd);
/* Sets up a reader of the caller's (on the stack, say) on fd, as xfdropen
 * does; the caller closes fd itself and never calls xclose on it. */
void xfdinit(XFILE *xp, int fd);
/* The next line (newline kept) in bp, cut at size - 1; null at end of file. */
char *xgets(char *bp, int size, XFILE *xp);
/* Closes the descriptor and frees the reader. */
void xclose(XFILE *xp);

/* ---- Framing -------------------------------------------------------- */

/* Splits one line of cp in place into key=value pairs; keys has max + 1
 * slots, vals max. Returns the number of pairs, 0 to max. */
int mkKeyPairs(char *cp, char **keys, char **vals, int max);

#define GM_MAXPAIRS 50 /* pairs taken from one line of a message */

/* strtol and strtoul as a 32-bit system has them: the leading number of s,
 * saturated at the ends of the 32-bit range. */
int32_t strtol32(const char *s, int base);
uint32_t strtoul32(const char *s, int base);
/* strtod and snprintf with the C locale's decimal point, whatever the
 * process locale: every decimal of the group's texts goes through these. */
double strtodC(const char *s, char **end);
int snprintfC(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int vsnprintfC(char *buf, size_t size, const char *format, va_list ap);

/* Pieces of the group's texts written without printf, for the texts sent
 * once per query or reply: each writes at p and returns the end. The digits
 * are those of "%d" and "%x"; nothing is NUL-terminated. */
static inline char *gmPutStr(char *p, const char *s, size_t n) {
  memcpy(p, s, n);
  return p + n;
}
static inline char *gmPutDec(char *p, int32_t v) {
  char digits[10];
  int n = 0;
  uint32_t u = v < 0 ? 0u - (uint32_t)v : (uint32_t)v;
  do {
    digits[n++] = (char)('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  return p;
}
static inline char *gmPutHex(char *p, uint32_t v) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

/* ---- SHA-1 block function ------------------------------------------- */

/* The digest runs on the x86 SHA extensions where the CPU has them, on the
 * portable block function otherwise; the same digests either way. */
#define GM_SHA1_PORTABLE 0
#define GM_SHA1_SHAEXT 1
/* The path in use, GM_SHA1_PORTABLE or GM_SHA1_SHAEXT. */
int sha1Path(void);
/* Tests and benchmarks: asks for a path (the extensions only where the CPU
 * has them; not while a digest runs) and returns the path now in use. */
int sha1UsePath(int path);

/* ---- System seam ------------------------------------------------------ */

/* The clock and the waits of the system go through this table so that tests
 * can run the timing rules against a fake clock. */
typedef struct gm_sys {
  time_t (*now)(void);                              /* seconds since the epoch */
  int (*poll)(struct pollfd *fds, nfds_t nfds, int timeout_ms);
} gm_sys;

extern gm_sys gmSys;

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_SUPPORT_H */
