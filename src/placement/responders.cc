// responders.cc - the manager thread's answers to the queries peers send to
// the group port: where a token's session runs (tokenQ), whether the daemon
// has a terminal (termQ), and which of our addresses serves a network
// (serverQ); plus the lookup of a token in the session directories.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "placement/placement.h"
#include "placement/query_engine.h"

namespace {

constexpr size_t kPathMax = 128;
constexpr int kLineMax = 128;
constexpr size_t kServerRBuf = 256;

typedef void (*lineAnswer)(int fd, struct sockaddr_in *from, char **keys,
                           char **vals, int n);

// Every line whose first key is query gets its own answer, in order.
void eachLine(int fd, struct sockaddr_in *from, char *msgbuf, int size,
              const char *query, lineAnswer answer) {
  if (msgbuf == nullptr || size <= 0) return;
  char *end = msgbuf + size;
  char *keys[GM_MAXPAIRS + 1];
  char *vals[GM_MAXPAIRS];
  for (char *cp = msgbuf; cp < end;) {
    char *nl = strchr(cp, '\n');  // before mkKeyPairs ends the line there
    int n = mkKeyPairs(cp, keys, vals, GM_MAXPAIRS);
    if (n > 0 && strcmp(keys[0], query) == 0) answer(fd, from, keys, vals, n);
    if (nl == nullptr) break;
    cp = nl + 1;
  }
}

// Lines that a stream of queries could repeat, each kind under a limiter of
// its own.
lograte tokenSendFailed = LOGRATE_INIT("tokenQMessage:sendto");
lograte termSendFailed = LOGRATE_INIT("termQMessage:sendto");
lograte serverSendFailed = LOGRATE_INIT("serverQMessage:sendto");
lograte tokenTooLong = LOGRATE_INIT("tokenQMessage: c/itoken too long");
lograte tokenFileFailed = LOGRATE_INIT("getSession:fstat");

// Sends a reply; a failure is logged under failed's label as "<label>: <why>".
void sendReply(int fd, struct sockaddr_in *from, const char *text,
               const char *sentLog, lograte *failed) {
  // Never waits for room: a reply that finds the send buffer full is lost,
  // as a datagram may be, rather than hold up the loop.
  ssize_t sent = sendto(fd, text, strlen(text), MSG_DONTWAIT, (struct sockaddr *)from,
                        sizeof(struct sockaddr_in));
  int err = errno;
  if (params.debug >= 1) {  // the address is formatted only for the log
    char ad[16];
    toDottedDecimal(ntohl(from->sin_addr.s_addr), ad);
    log_debug(1, sentLog, (int)sent, ad, text);
  }
  if (sent < 0) log_error_limited(failed, "%s: %s\n", failed->label, strerror(err));
}

// The load as "%.1f" writes it. getCurrentLoad samples at most once a
// second, so the text is formatted again only when the value moves.
struct LoadText {
  bool set;
  double load;
  size_t len;
  char text[320];  // "%.1f" of the largest double fits
};
thread_local LoadText loadText;

const char *formatLoad(double load, size_t *len) {
  LoadText &c = loadText;
  if (!c.set || memcmp(&c.load, &load, sizeof load) != 0) {
    int n = snprintfC(c.text, sizeof c.text, "%.1f", load);
    if (n < 0 || (size_t)n >= sizeof c.text) return nullptr;
    c.set = true;
    c.load = load;
    c.len = (size_t)n;
  }
  *len = c.len;
  return c.text;
}

// The text of GM_TOKENR_FMT with the ctoken pair of GM_TOKENR_CTOKEN_FMT in
// place of its newline, written by hand: one is sent per query answered. A
// reply that would not fit with its trailer is dropped, never cut: only a
// query with absurdly long at or hostix values can cause it.
bool composeTokenReply(char (&reply)[GM_TOKENR_BUF], const char *itoken,
                       const char *at, const char *hostix, int time, int dpy,
                       double load, int sessions, int idles,
                       const char *ctoken) {
  size_t ll;
  const char *lt = formatLoad(load, &ll);
  if (lt == nullptr) return false;
  char nums[4][11];
  size_t nl[4];
  int32_t v[4] = {time, dpy, sessions, idles};
  for (int i = 0; i < 4; i++) nl[i] = (size_t)(gmPutDec(nums[i], v[i]) - nums[i]);
  size_t il = strlen(itoken), al = strlen(at), hl = strlen(hostix),
         cl = strlen(ctoken);
  size_t n = 7 + il + 4 + al + 8 + hl + 6 + nl[0] + 5 + nl[1] + 6 + ll + 10 +
             nl[2] + 7 + nl[3] + 8 + cl + 1;
  if (n + GM_SIGLEN + 1 > sizeof reply) return false;
  char *p = gmPutStr(reply, "tokenR=", 7);
  p = gmPutStr(p, itoken, il);
  p = gmPutStr(p, " at=", 4);
  p = gmPutStr(p, at, al);
  p = gmPutStr(p, " hostix=", 8);
  p = gmPutStr(p, hostix, hl);
  p = gmPutStr(p, " time=", 6);
  p = gmPutStr(p, nums[0], nl[0]);
  p = gmPutStr(p, " dpy=", 5);
  p = gmPutStr(p, nums[1], nl[1]);
  p = gmPutStr(p, " load=", 6);
  p = gmPutStr(p, lt, ll);
  p = gmPutStr(p, " sessions=", 10);
  p = gmPutStr(p, nums[2], nl[2]);
  p = gmPutStr(p, " idles=", 7);
  p = gmPutStr(p, nums[3], nl[3]);
  p = gmPutStr(p, " ctoken=", 8);
  p = gmPutStr(p, ctoken, cl);
  p[0] = '\n';
  p[1] = '\0';
  return true;
}

// The at and hostix of a query are echoed unchecked; a token or terminal
// query line without them gets no answer, since the querier could not match
// it to an entry.
void answerToken(int fd, struct sockaddr_in *from, char **keys, char **vals,
                 int n) {
  const char *itoken = vals[0];
  const char *ctoken = "";
  const char *at = nullptr;
  const char *hostix = nullptr;
  for (int i = 1; i < n; i++) {
    if (strcmp(keys[i], "at") == 0) at = vals[i];
    else if (strcmp(keys[i], "hostix") == 0) hostix = vals[i];
    else if (strcmp(keys[i], "ctoken") == 0) ctoken = vals[i];
  }
  if (strlen(itoken) > GM_TOKENMAX || strlen(ctoken) > GM_TOKENMAX) {
    log_error_limited(&tokenTooLong, "tokenQMessage: c/itoken too long %.64s/%.64s\n",
                      ctoken, itoken);
    return;
  }
  if (at == nullptr || hostix == nullptr) return;

  int dpy;
  int time = ctoken[0] != '\0'
                 ? getSession(ctoken, &dpy, gmSessionDirs.ctokens)
                 : getSession(itoken, &dpy, gmSessionDirs.itokens);
  int sessions, idles;
  countSessions(&sessions, &idles);
  double load = getCurrentLoad();
  ZV_MUTEX_LOCK(&gmLock);
  myhost.load = (float)load;
  myhost.sessions = sessions;
  myhost.idles = idles;
  ZV_MUTEX_UNLOCK(&gmLock);

  char reply[GM_TOKENR_BUF];
  if (!composeTokenReply(reply, itoken, at, hostix, time, dpy, load, sessions,
                         idles, ctoken)) {
    log_debug(1, "tokenQMessage: reply too long, dropped\n");
    return;
  }
  addSignature(reply);
  sendReply(fd, from, reply, "tokenQMessage: sent %d bytes to %s: %s",
            &tokenSendFailed);
}

void answerTerm(int fd, struct sockaddr_in *from, char **keys, char **vals,
                int n) {
  int has = gmTerminalHere != nullptr ? gmTerminalHere(vals[0]) : 0;
  const char *at = nullptr;
  const char *hostix = nullptr;
  for (int i = 1; i < n; i++) {
    if (strcmp(keys[i], "at") == 0) at = vals[i];
    else if (strcmp(keys[i], "hostix") == 0) hostix = vals[i];
  }
  if (at == nullptr || hostix == nullptr) return;
  char reply[GM_TERMR_BUF];
  int len = snprintf(reply, sizeof reply, GM_TERMR_FMT, vals[0], at, hostix,
                     has);
  if (len < 0 || (size_t)len + GM_SIGLEN + 1 > sizeof reply) {
    log_debug(1, "termQMessage: reply too long, dropped\n");
    return;
  }
  addSignature(reply);
  sendReply(fd, from, reply, "termQMessage: sent %d bytes to %s: %s",
            &termSendFailed);
}

}  // namespace

extern "C" {

int (*gmTerminalHere)(const char *term);

void tokenQMessage(int tokenFD, struct sockaddr_in *from, char *msgbuf,
                   int size, int trusted) {
  (void)trusted;  // signed and unsigned queries are answered alike
  eachLine(tokenFD, from, msgbuf, size, "tokenQ", answerToken);
}

void termQMessage(int termFD, struct sockaddr_in *from, char *msgbuf, int size,
                  int trusted) {
  (void)trusted;
  eachLine(termFD, from, msgbuf, size, "termQ", answerTerm);
}

void serverQMessage(int sock, struct sockaddr_in *from, char *msgbuf, int size,
                    int trusted) {
  (void)trusted;
  if (msgbuf == nullptr || size <= 0) return;
  struct sockaddr_in reply;
  memset(&reply, 0, sizeof reply);
  reply.sin_family = AF_INET;
  reply.sin_port = htons((uint16_t)params.gmport);
  reply.sin_addr.s_addr = 0;

  // Terminals on a nimbar network must be told the address on that network;
  // LAN interfaces qualify only when this server takes LAN sessions.
  uint32_t sender = from->sin_addr.s_addr;
  bool taken = false, haveFallback = false;
  uint32_t fallback = 0;
  ZV_MUTEX_LOCK(&gmLock);
  for (int j = 0; j < myhost.numifs; j++) {
    const interface *ifp = &myhost.hostifs[j];
    if ((ifp->flags & LAN) && !(myhost.flags & LAN_OK)) continue;
    uint32_t a = ifp->myAddr.sin_addr.s_addr;
    if (a == myhost.hostAddr.s_addr) {
      fallback = a;
      haveFallback = true;
    }
    if (onSubnet(ifp, sender)) {
      reply.sin_addr.s_addr = a;
      taken = true;
      break;
    }
  }
  ZV_MUTEX_UNLOCK(&gmLock);
  if (!taken) {
    if (!haveFallback) return;
    reply.sin_addr.s_addr = fallback;
  }

  char *keys[GM_MAXPAIRS + 1];
  char *vals[GM_MAXPAIRS];
  int n = mkKeyPairs(msgbuf, keys, vals, GM_MAXPAIRS);
  int32_t seq = 0;
  for (int i = 0; i < n; i++)
    if (strcmp(keys[i], "serverQ") == 0)
      seq = strtol32(vals[i], 10);

  char text[kServerRBuf];
  snprintf(text, sizeof text, GM_SERVERR_FMT,
           ntohl(reply.sin_addr.s_addr), params.gmport, seq);
  sendReply(sock, from, text, "serverQMessage: sent %d bytes to %s: %s",
            &serverSendFailed);
}

int getSession(const char *lookfor, int *dpy, const char *where) {
  *dpy = -1;
  // The token comes off the wire and names a file of the directory: one
  // that would name the directory itself or reach outside it is no file
  // there, so a peer cannot probe the rest of the file system.
  if (lookfor[0] == '\0' || strchr(lookfor, '/') != nullptr ||
      strcmp(lookfor, ".") == 0 || strcmp(lookfor, "..") == 0)
    return -1;
  char path[kPathMax];
  size_t wl = strlen(where), ll = strlen(lookfor);
  if (wl + 1 + ll >= sizeof path) return -1;  // no such file
  char *p = gmPutStr(path, where, wl);
  *p++ = '/';
  *gmPutStr(p, lookfor, ll) = '\0';
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) < 0) {
    log_error_limited(&tokenFileFailed, "%s: %s\n", path, strerror(errno));
    close(fd);
    return -1;
  }
  // The reader lives on the stack: nothing is allocated per query.
  XFILE xf;
  xfdinit(&xf, fd);
  int mtime = (int)st.st_mtime;
  char line[kLineMax];
  while (xgets(line, sizeof line, &xf) != nullptr) {
    if (strncmp(line, "DISPLAY=", 8) == 0) {
      *dpy = strtol32(line + 8, 10);
      log_debug(1, "Token: %s display %d mtime %d\n", lookfor, *dpy, mtime);
      break;
    }
  }
  close(fd);
  if (*dpy < 0) return mtime;
  // "<idle>/<dpy>.pid"
  char num[11];
  size_t il = strlen(gmSessionDirs.idle);
  size_t nl = (size_t)(gmPutDec(num, *dpy) - num);
  if (il + 1 + nl + 4 < sizeof path) {
    p = gmPutStr(path, gmSessionDirs.idle, il);
    *p++ = '/';
    p = gmPutStr(p, num, nl);
    *gmPutStr(p, ".pid", 4) = '\0';
    struct stat idle;
    if (stat(path, &idle) == 0) *dpy = -2;
  }
  return mtime;
}

}  // extern "C"
