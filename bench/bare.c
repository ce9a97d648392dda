/* bare.c - the bare responder and the bare lookup client: the work the
 * protocol asks for a token query, done the plain way a C program would, as
 * the baseline of the responder and lookup figures (gm_bench, peers.sh). */
#include "bare.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "placement/placement.h"
#include "placement/query_engine.h"

/* The display of the first line of f that begins with "DISPLAY=", -1 when
 * there is none. */
static int displayOf(int f) {
  char buf[1025];
  int atStart = 1;
  ssize_t n;
  while ((n = read(f, buf, sizeof buf - 1)) > 0) {
    buf[n] = '\0';
    for (ssize_t i = 0; i < n; i++) {
      if (atStart && n - i >= 8 && memcmp(buf + i, "DISPLAY=", 8) == 0)
        return (int)strtol(buf + i + 8, NULL, 10);
      atStart = buf[i] == '\n';
    }
  }
  return -1;
}

static int countDir(const char *dir, int digitsThenPid) {
  DIR *d = opendir(dir);
  if (d == NULL) return -1;
  int n = 0;
  struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    const char *p = e->d_name;
    if (!digitsThenPid) {
      if (*p == '\0') continue;
      while (*p >= '0' && *p <= '9') p++;
      if (*p == '\0') n++;
    } else {
      while (*p >= '0' && *p <= '9') p++;
      if (strcmp(p, ".pid") == 0) n++;
    }
  }
  closedir(d);
  return n;
}

void bare_answer(int fd, const struct sockaddr_in *from, char *msg, int len,
                 const bare_dirs *dirs) {
  static time_t dispSeen, idleSeen, loadAt;
  static int sessions = -1, idles = -1;
  static double load;
  if (len <= 0) return;
  msg[len] = '\0';
  chkSignature(msg); /* signed and unsigned queries are answered alike */
  if (strncmp(msg, "tokenQ=", 7) != 0) return;
  char *keys[GM_MAXPAIRS + 1], *vals[GM_MAXPAIRS];
  int n = mkKeyPairs(msg, keys, vals, GM_MAXPAIRS);
  const char *itoken = vals[0], *ctoken = "", *at = NULL, *hostix = NULL;
  for (int i = 1; i < n; i++) {
    if (strcmp(keys[i], "at") == 0) at = vals[i];
    else if (strcmp(keys[i], "hostix") == 0) hostix = vals[i];
    else if (strcmp(keys[i], "ctoken") == 0) ctoken = vals[i];
  }
  if (strlen(itoken) > GM_TOKENMAX || strlen(ctoken) > GM_TOKENMAX || at == NULL ||
      hostix == NULL)
    return;

  const char *token = ctoken[0] != '\0' ? ctoken : itoken;
  const char *dir = ctoken[0] != '\0' ? dirs->ctokens : dirs->itokens;
  int dpy = -1, mtime = -1;
  char path[128];
  if (token[0] != '\0' && strchr(token, '/') == NULL && strcmp(token, ".") != 0 &&
      strcmp(token, "..") != 0 &&
      snprintf(path, sizeof path, "%s/%s", dir, token) < (int)sizeof path) {
    int f = open(path, O_RDONLY);
    if (f >= 0) {
      struct stat st;
      if (fstat(f, &st) == 0) {
        mtime = (int)st.st_mtime;
        dpy = displayOf(f);
      }
      close(f);
    }
    if (dpy >= 0 && snprintf(path, sizeof path, "%s/%d.pid", dirs->idle, dpy) < (int)sizeof path) {
      struct stat st;
      if (stat(path, &st) == 0) dpy = -2;
    }
  }

  struct stat ds, is;
  if (stat(dirs->displays, &ds) == 0 && stat(dirs->idle, &is) == 0) {
    if (ds.st_mtime != dispSeen) {
      int c = countDir(dirs->displays, 0);
      if (c >= 0) sessions = c, dispSeen = ds.st_mtime;
    }
    if (is.st_mtime != idleSeen) {
      int c = countDir(dirs->idle, 1);
      if (c >= 0) idles = c, idleSeen = is.st_mtime;
    }
  }
  time_t now = time(NULL);
  if (now != loadAt) {
    double avg[3];
    int k = getloadavg(avg, 3);
    load = 0;
    for (int i = 0; i < k; i++)
      if (avg[i] > load) load = avg[i];
    loadAt = now;
  }

  char out[GM_TOKENR_BUF];
  int m = snprintf(out, sizeof out,
                   "tokenR=%s at=%s hostix=%s time=%d dpy=%d load=%.1f sessions=%d idles=%d "
                   "ctoken=%s\n",
                   itoken, at, hostix, mtime, dpy, load, sessions, idles, ctoken);
  if (m < 0 || (size_t)m + GM_SIGLEN + 1 > sizeof out) return;
  addSignature(out);
  sendto(fd, out, strlen(out), 0, (const struct sockaddr *)from, sizeof *from);
}

int bare_lookup(const uint32_t *addrs, int n, int port, const char *ctoken,
                const char *itoken, uint32_t *target) {
  enum { kMost = 512 };
  if (n > kMost) return -1;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  if (bind(s, (struct sockaddr *)&to, sizeof to) < 0) {
    close(s);
    return -1;
  }
  to.sin_port = htons((uint16_t)port);
  for (int i = 0; i < n; i++) {
    char q[GM_TOKENQ_BUF];
    snprintf(q, sizeof q, "tokenQ=%s at=%x hostix=%d ctoken=%s\n", itoken, addrs[i], i, ctoken);
    addSignature(q);
    to.sin_addr.s_addr = addrs[i];
    sendto(s, q, strlen(q), 0, (struct sockaddr *)&to, sizeof to);
  }
  char seen[kMost] = {0};
  int got = 0;
  int32_t newest = 0;
  while (got < n) {
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) break;
    char r[GM_REPLYMAX + 1];
    ssize_t k = recv(s, r, GM_REPLYMAX, 0);
    if (k < 0) continue;
    r[k] = '\0';
    if (!chkSignature(r) || strncmp(r, "tokenR=", 7) != 0) continue;
    char *keys[GM_MAXPAIRS + 1], *vals[GM_MAXPAIRS];
    int np = mkKeyPairs(r, keys, vals, GM_MAXPAIRS);
    if (np < 1 || strcmp(vals[0], itoken) != 0) continue;
    long ix = -1, time = -1, dpy = -1;
    uint32_t at = 0;
    const char *ct = NULL;
    double load = -1;
    long sessions = -1, idles = -1;
    for (int i = 1; i < np; i++) {
      if (strcmp(keys[i], "at") == 0) at = (uint32_t)strtoul(vals[i], NULL, 16);
      else if (strcmp(keys[i], "hostix") == 0) ix = strtol(vals[i], NULL, 10);
      else if (strcmp(keys[i], "time") == 0) time = strtol(vals[i], NULL, 10);
      else if (strcmp(keys[i], "dpy") == 0) dpy = strtol(vals[i], NULL, 10);
      else if (strcmp(keys[i], "load") == 0) load = strtod(vals[i], NULL);
      else if (strcmp(keys[i], "sessions") == 0) sessions = strtol(vals[i], NULL, 10);
      else if (strcmp(keys[i], "idles") == 0) idles = strtol(vals[i], NULL, 10);
      else if (strcmp(keys[i], "ctoken") == 0) ct = vals[i];
    }
    (void)load, (void)sessions, (void)idles;
    if (ix < 0 || ix >= n || seen[ix] || (ct != NULL && strcmp(ct, ctoken) != 0)) continue;
    if (dpy >= 0 && time > newest) {
      newest = (int32_t)time;
      *target = at;
    }
    seen[ix] = 1;
    got++;
  }
  close(s);
  return got;
}
