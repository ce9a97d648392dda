// signature.cc - the keyed digest that proves a datagram's sender knows the
// group's shared secret: loading the secrets, signing outgoing texts,
// checking and cutting the trailer of incoming ones, and taking a changed
// secret file while the group runs.
//
//   <message text M, ending in "\n">#sig=<40 hex digits>\n
//                                   ^ cut here (NUL) by chkSignature
//   digits = SHA-1(secret bytes followed by M), "%02x" per digest byte
//
// Two secrets may be loaded: the first, from the configured file, signs and
// checks; the second, from "<file>.2", only checks, so that a group can move
// to a new secret member by member (docs/install.md, "Rotating the secret").
//
// Each secret sits in one heap block and the text is digested where it lies,
// the two fed to the digest one after the other: nothing is copied or
// allocated per message. Lookups sign and check on their own threads while
// the manager may swap a secret: readers hold keyLock for reading while they
// digest (readers never wait for each other), the reload holds it for
// writing only while it swaps two pointers, and frees the old block after.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "group/group.h"

namespace {

const char kMarker[] = "#sig=";
const int kMarkerLen = 5;
const int kDigits = 40;
const char kSecondSuffix[] = ".2";

// One secret: the file's bytes, not terminated, a trailing newline included.
struct secret {
  char *bytes;  // null: none
  int len;
};

// The secrets in use, [0] the first and [1] the second, under keyLock.
// Writers first: a reload never waits behind a stream of lookups, and
// lookups wait for it only while it swaps.
pthread_rwlock_t keyLock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
secret keys[2];

// What a look at a secret file found: whether it was there, and the
// identity that tells a changed file from the same one.
struct fileMark {
  int err;  // 0: there (the rest is set), else stat's errno
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec mtime, ctime;
};

// The files the manager watches (set by initSignature when its first secret
// was taken) and what was last seen of each. Manager thread only.
char *watched[2];
fileMark seen[2];

fileMark markOf(int rc, const struct stat &st) {
  fileMark m{};
  m.err = rc == 0 ? 0 : (errno != 0 ? errno : EIO);
  if (rc != 0) return m;
  m.dev = st.st_dev, m.ino = st.st_ino, m.size = st.st_size;
  m.mtime = st.st_mtim, m.ctime = st.st_ctim;
  return m;
}

bool sameTime(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameMark(const fileMark &a, const fileMark &b) {
  if (a.err != 0 || b.err != 0) return a.err == b.err;
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && sameTime(a.mtime, b.mtime) &&
         sameTime(a.ctime, b.ctime);
}

fileMark look(const char *path) {
  struct stat st;
  errno = 0;
  return markOf(stat(path, &st), st);
}

// Why a file was not taken as a secret.
enum readResult { kTaken, kOpenFailed, kStatFailed, kInsecure, kNoMemory, kShortRead };

// Takes the open file fd as a secret under the file rules (owned by uid 0,
// nothing for group or others): kTaken with the bytes in *out; *st is
// the file's status once fstat succeeded.
readResult takeSecret(int fd, struct stat *st, secret *out) {
  if (fstat(fd, st) != 0) return kStatFailed;
  if (st->st_uid != 0 || (st->st_mode & 077) != 0) return kInsecure;
  // A secret larger than an int can count is no secret we can digest in one
  // call; treat it like a failed allocation.
  char *buf = nullptr;
  if (st->st_size >= 0 && st->st_size <= 0x7fffffff - GM_BUFSIZE)
    buf = (char *)malloc((size_t)st->st_size + 1);
  if (buf == nullptr) return kNoMemory;
  int len = (int)st->st_size;
  if (read(fd, buf, (size_t)len) != (ssize_t)len) {
    free(buf);
    return kShortRead;
  }
  *out = secret{buf, len};
  return kTaken;
}

// Reads path as a secret (takeSecret). kTaken with the bytes in *out and the
// file's identity in *mark; otherwise errno is kept for the open and fstat
// failures.
readResult readSecret(const char *path, secret *out, fileMark *mark) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kOpenFailed;
  struct stat st;
  readResult r = takeSecret(fd, &st, out);
  int e = errno;
  close(fd);
  errno = e;
  if (r == kTaken) *mark = markOf(0, st);
  return r;
}

// The reason of a refusal in words, for the reload's line.
const char *reasonText(readResult r, int err) {
  switch (r) {
    case kOpenFailed:
    case kStatFailed: return strerror(err);
    case kInsecure: return "not owned by root, or open to group or others";
    case kNoMemory: return "too large to hold";
    case kShortRead: return "could not be read whole";
    case kTaken: break;
  }
  return "taken";
}

// Puts s in place of secret i and returns the one it replaces.
secret swapKey(int i, secret s) {
  pthread_rwlock_wrlock(&keyLock);
  secret old = keys[i];
  keys[i] = s;
  pthread_rwlock_unlock(&keyLock);
  return old;
}

void setKey(int i, secret s) { free(swapKey(i, s).bytes); }

// 1 when secret i is loaded, else 0.
int keyLoaded(int i) {
  pthread_rwlock_rdlock(&keyLock);
  int on = keys[i].bytes != nullptr ? 1 : 0;
  pthread_rwlock_unlock(&keyLock);
  return on;
}

// Digest of the secret followed by the len bytes of text, fed to the digest
// in two pieces so that the text is never copied. Caller holds keyLock.
void digestOf(const secret &k, const char *text, size_t len, unsigned char digest[20]) {
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  SHA1Update(&ctx, k.bytes, (uint32_t)k.len);
  SHA1Update(&ctx, text, (uint32_t)len);
  SHA1Final(digest, &ctx);
}

const char kHex[] = "0123456789abcdef";

// The value of one hex digit, -1 for any other character.
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte two characters of a trailer stand for. Two hex digits are read
// directly; anything else goes through strtoul, as every pair always did,
// so that odd trailers verify exactly as before.
unsigned long trailerByte(const char *two) {
  int hi = hexValue(two[0]), lo = hexValue(two[1]);
  if (hi >= 0 && lo >= 0) return (unsigned long)(hi * 16 + lo);
  char pair[3] = {two[0], two[1], '\0'};
  return strtoul(pair, nullptr, 16);
}

bool trailerMatches(const char *hex, const unsigned char digest[20]) {
  for (int i = 0; i < 20; i++)
    if (trailerByte(hex + 2 * i) != digest[i]) return false;
  return true;
}

// The first "#sig=" of the text; a '#' that begins anything else is passed
// over. strncmp stops at the NUL, so a text ending in "#si" is safe.
char *findTrailer(char *buf) {
  for (char *p = strchr(buf, '#'); p != nullptr; p = strchr(p + 1, '#'))
    if (strncmp(p, kMarker, kMarkerLen) == 0) return p;
  return nullptr;
}

// "<path>.2", malloc'd; null when there is no memory.
char *secondPath(const char *path) {
  size_t n = strlen(path);
  char *p = (char *)malloc(n + sizeof kSecondSuffix);
  if (p != nullptr) memcpy(p, path, n), memcpy(p + n, kSecondSuffix, sizeof kSecondSuffix);
  return p;
}

// The second file at start-up: taken when it is there and passes the rules;
// said once when it is there and refused.
void loadSecond(void) {
  seen[1] = look(watched[1]);
  if (seen[1].err == ENOENT) return;
  secret s;
  fileMark m;
  readResult r = readSecret(watched[1], &s, &m);
  if (r != kTaken) {
    log_error(0, 0, "initSignature: second secret %s not taken: %s\n", watched[1],
              reasonText(r, errno));
    return;
  }
  seen[1] = m;
  setKey(1, s);
}

// A file that changed less than a second ago may be one of two that an
// administrator replaces together (the new secret and the old one, one
// after the other): wait for that second to pass before looking at either,
// so that the pair is taken as a pair. Waits once, at most a second.
void letChangesSettle(const fileMark now[2]) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  long long nowMs = (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000, wait = 0;
  for (int i = 0; i < 2; i++) {
    if (now[i].err != 0) continue;
    long long c = (long long)now[i].ctime.tv_sec * 1000 + now[i].ctime.tv_nsec / 1000000;
    long long age = nowMs - c;
    if (age > -1000 && age < 1000 && 1000 - age > wait) wait = 1000 - age;
  }
  if (wait > 0) gmSys.poll(nullptr, 0, (int)wait);
}

// Reloads file i after a change; logs what became of it.
void reloadOne(int i, const fileMark &now) {
  const char *path = watched[i];
  if (now.err == ENOENT && i == 1) {
    secret old = swapKey(1, secret{nullptr, 0});
    if (old.bytes != nullptr)
      log_error(0, 0, "Signature: %s removed: the second secret is no longer accepted\n", path);
    free(old.bytes);
    seen[1] = now;
    return;
  }
  secret s{};
  fileMark m;
  readResult r = kOpenFailed;
  errno = now.err;
  if (now.err == 0) r = readSecret(path, &s, &m);
  int err = errno;
  // An empty file where a secret was is most likely one being written in
  // place (truncated, not yet filled): never a secret to switch to.
  if (r == kTaken && s.len == 0) {
    free(s.bytes);
    r = kShortRead;
  }
  if (r != kTaken) {
    const char *stays = i == 0         ? "the first secret in use stays"
                        : keyLoaded(1) ? "the second secret in use stays"
                                       : "no second secret is taken";
    log_error(0, 0, "Signature: %s changed but was not taken (%s): %s\n", path,
              r == kShortRead && now.size == 0 ? "empty" : reasonText(r, err), stays);
    seen[i] = now;
    return;
  }
  seen[i] = m;
  secret old = swapKey(i, s);
  bool same = old.bytes != nullptr && old.len == s.len && memcmp(old.bytes, s.bytes, (size_t)s.len) == 0;
  free(old.bytes);
  if (!same)
    log_error(0, 0, i == 0 ? "Signature: new secret from %s: signing with it\n"
                           : "Signature: second secret from %s: accepted when checking\n",
              path);
}

// A copy of len bytes as secret i; 0, or -1 when they cannot be held.
int useBytes(int i, const char *bytes, int len) {
  if (bytes == nullptr || len < 0 || len > 0x7fffffff - GM_BUFSIZE) return -1;
  char *buf = (char *)malloc((size_t)len + 1);
  if (buf == nullptr) return -1;
  memcpy(buf, bytes, (size_t)len);
  setKey(i, secret{buf, len});
  return 0;
}

}  // namespace

extern "C" {

void initSignature(const char *sigfile) {
  if (sigfile == nullptr || sigfile[0] == '\0') return;
  secret s;
  fileMark m;
  switch (readSecret(sigfile, &s, &m)) {
    case kOpenFailed:
      log_error(0, 0, "initSignature: open of %s failed: %s\n", sigfile, strerror(errno));
      return;
    case kStatFailed:
      log_error(0, 0, "initSignature: fstat of %s failed: %s\n", sigfile, strerror(errno));
      return;
    case kInsecure:
      log_error(0, 0, "initSignature: gmSignature file modes insecure\n");
      return;
    case kNoMemory:
      log_error(0, 0, "initSignature: unable to malloc buffer\n");
      return;
    case kShortRead:
      log_error(0, 0, "initSignature: unable to read signature file\n");
      return;
    case kTaken:
      break;
  }
  setKey(0, s);
  free(watched[0]), free(watched[1]);
  watched[0] = strdup(sigfile);
  watched[1] = watched[0] != nullptr ? secondPath(sigfile) : nullptr;
  if (watched[1] == nullptr) {  // no memory to watch with: the secret alone
    free(watched[0]);
    watched[0] = nullptr;
    return;
  }
  seen[0] = m;
  loadSecond();
}

void refreshSignature(void) {
  if (watched[0] == nullptr) return;
  fileMark now[2] = {look(watched[0]), look(watched[1])};
  if (sameMark(now[0], seen[0]) && sameMark(now[1], seen[1])) return;
  letChangesSettle(now);
  for (int i = 0; i < 2; i++) {
    now[i] = look(watched[i]);
    if (!sameMark(now[i], seen[i])) reloadOne(i, now[i]);
  }
}

int useSignatureSecret(const char *bytes, int len) { return useBytes(0, bytes, len); }

int useSecondSecret(const char *bytes, int len) { return useBytes(1, bytes, len); }

void resetSignature(void) {
  setKey(0, secret{nullptr, 0});
  setKey(1, secret{nullptr, 0});
  for (int i = 0; i < 2; i++) {
    free(watched[i]);
    watched[i] = nullptr;
    seen[i] = fileMark{};
  }
}

int signatureLoaded(void) { return keyLoaded(0); }

void addSignature(char *buf) {
  size_t len = strlen(buf);
  // Longer texts do not fit a datagram buffer; they go out unsigned and the
  // peers will not trust them, which is the safe failure.
  if (len >= GM_BUFSIZE) return;
  unsigned char digest[20];
  pthread_rwlock_rdlock(&keyLock);
  bool on = keys[0].bytes != nullptr;
  if (on) digestOf(keys[0], buf, len, digest);
  pthread_rwlock_unlock(&keyLock);
  if (!on) return;
  char *p = buf + len;
  memcpy(p, kMarker, kMarkerLen);
  p += kMarkerLen;
  for (int i = 0; i < 20; i++, p += 2) {
    p[0] = kHex[digest[i] >> 4];
    p[1] = kHex[digest[i] & 15];
  }
  p[0] = '\n';
  p[1] = '\0';
}

int verifySignature(char *buf, int *which) {
  if (which != nullptr) *which = GM_SECRET_NONE;
  char *mark = findTrailer(buf);
  if (mark == nullptr) return signatureLoaded() ? 0 : 1;
  *mark = '\0';
  const char *hex = mark + kMarkerLen;
  // A trailer cut short can never verify; reading stops at its NUL.
  if (strnlen(hex, kDigits) < (size_t)kDigits) return 0;
  size_t n = (size_t)(mark - buf);
  if (n >= GM_BUFSIZE) return 0;
  // Without a first secret, a signed message is not trusted; the second is
  // tried only when the first fails.
  int by = GM_SECRET_NONE;
  unsigned char digest[20];
  pthread_rwlock_rdlock(&keyLock);
  for (int i = 0; i < 2 && by == GM_SECRET_NONE && keys[0].bytes != nullptr; i++) {
    if (keys[i].bytes == nullptr) continue;
    digestOf(keys[i], buf, n, digest);
    if (trailerMatches(hex, digest)) by = i == 0 ? GM_SECRET_FIRST : GM_SECRET_SECOND;
  }
  pthread_rwlock_unlock(&keyLock);
  if (which != nullptr) *which = by;
  return by != GM_SECRET_NONE ? 1 : 0;
}

int chkSignature(char *buf) { return verifySignature(buf, nullptr); }

}  // extern "C"
