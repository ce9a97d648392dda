// signature.cc - the keyed digest that proves a datagram's sender knows the
// group's shared secret: loading the secret, signing outgoing texts, checking
// and cutting the trailer of incoming ones.
//
//   <message text M, ending in "\n">#sig=<40 hex digits>\n
//                                   ^ cut here (NUL) by chkSignature
//   digits = SHA-1(secret bytes followed by M), "%02x" per digest byte
//
// The secret sits at the front of one heap block with 1500 bytes of scratch
// room behind it, so secret and text form one contiguous run for one digest
// call and nothing is allocated per message.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "group/group.h"

namespace {

const char kMarker[] = "#sig=";
const int kMarkerLen = 5;
const int kDigits = 40;

char *sigbuf;  // null: no secret, signing off
int keyend;    // length of the secret; the scratch room starts here

// Digest of the secret followed by the len bytes of text. text must fit the
// scratch room with its NUL (len < GM_BUFSIZE). The SHA-1 module is not safe
// to run on two threads at once, so the copy and the digest share sigLock.
void digestOf(const char *text, size_t len, unsigned char digest[20]) {
  ZV_MUTEX_LOCK(&sigLock);
  memcpy(sigbuf + keyend, text, len + 1);
  sha1(sigbuf, (uint32_t)(keyend + len), digest);
  ZV_MUTEX_UNLOCK(&sigLock);
}

// The first "#sig=" of the text; a '#' that begins anything else is passed
// over. strncmp stops at the NUL, so a text ending in "#si" is safe.
char *findTrailer(char *buf) {
  for (char *p = strchr(buf, '#'); p != nullptr; p = strchr(p + 1, '#'))
    if (strncmp(p, kMarker, kMarkerLen) == 0) return p;
  return nullptr;
}

}  // namespace

extern "C" {

void initSignature(const char *sigfile) {
  if (sigfile == nullptr || sigfile[0] == '\0') return;
  int fd = open(sigfile, O_RDONLY);
  if (fd < 0) {
    log_error(0, 0, "initSignature: open of %s failed: %s\n", sigfile,
              strerror(errno));
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    log_error(0, 0, "initSignature: fstat of %s failed: %s\n", sigfile,
              strerror(errno));
    close(fd);
    return;
  }
  if (st.st_uid != 0 || (st.st_mode & 077) != 0) {
    log_error(0, 0, "initSignature: gmSignature file modes insecure\n");
    close(fd);
    return;
  }
  // A secret larger than an int can count is no secret we can digest in one
  // call; treat it like a failed allocation.
  char *buf = nullptr;
  if (st.st_size >= 0 && st.st_size <= 0x7fffffff - GM_BUFSIZE)
    buf = (char *)malloc((size_t)st.st_size + GM_BUFSIZE);
  if (buf == nullptr) {
    log_error(0, 0, "initSignature: unable to malloc buffer\n");
    close(fd);
    return;
  }
  int len = (int)st.st_size;
  if (read(fd, buf, (size_t)len) != (ssize_t)len) {
    log_error(0, 0, "initSignature: unable to read signature file\n");
    free(buf);
    close(fd);
    return;
  }
  close(fd);
  keyend = len;
  sigbuf = buf;
}

void resetSignature(void) {
  free(sigbuf);
  sigbuf = nullptr;
  keyend = 0;
}

void addSignature(char *buf) {
  if (sigbuf == nullptr) return;
  size_t len = strlen(buf);
  // Longer texts do not fit the scratch room; they go out unsigned and the
  // peers will not trust them, which is the safe failure.
  if (len >= GM_BUFSIZE) return;
  unsigned char digest[20];
  digestOf(buf, len, digest);
  char *p = buf + len;
  memcpy(p, kMarker, kMarkerLen);
  p += kMarkerLen;
  for (int i = 0; i < 20; i++, p += 2) snprintf(p, 3, "%02x", digest[i]);
  p[0] = '\n';
  p[1] = '\0';
}

int chkSignature(char *buf) {
  char *mark = findTrailer(buf);
  if (mark == nullptr) return sigbuf == nullptr ? 1 : 0;
  *mark = '\0';
  if (sigbuf == nullptr) return 0;
  const char *hex = mark + kMarkerLen;
  // A trailer cut short can never verify; reading stops at its NUL.
  if (strnlen(hex, kDigits) < (size_t)kDigits) return 0;
  size_t n = (size_t)(mark - buf);
  if (n >= GM_BUFSIZE) return 0;
  unsigned char digest[20];
  digestOf(buf, n, digest);
  for (int i = 0; i < 20; i++) {
    char two[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    if (strtoul(two, nullptr, 16) != digest[i]) return 0;
  }
  return 1;
}

}  // extern "C"
