// signature.cc - the keyed digest that proves a datagram's sender knows the
// group's shared secret: loading the secret, signing outgoing texts, checking
// and cutting the trailer of incoming ones.
//
//   <message text M, ending in "\n">#sig=<40 hex digits>\n
//                                   ^ cut here (NUL) by chkSignature
//   digits = SHA-1(secret bytes followed by M), "%02x" per digest byte
//
// The secret sits in one heap block and the text is digested where it lies,
// the two fed to the digest one after the other: nothing is copied or
// allocated per message.
#include <errno.h>
#include <fcntl.h>
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
int keyend;    // length of the secret

// Digest of the secret followed by the len bytes of text, fed to the digest
// in two pieces so that the text is never copied. The digest keeps no state
// outside its context and the secret does not change once loaded, so the
// manager's replies and any number of lookups sign and check at once,
// without a lock to queue on.
void digestOf(const char *text, size_t len, unsigned char digest[20]) {
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  SHA1Update(&ctx, sigbuf, (uint32_t)keyend);
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
    buf = (char *)malloc((size_t)st.st_size + 1);
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

int useSignatureSecret(const char *bytes, int len) {
  if (bytes == nullptr || len < 0 || len > 0x7fffffff - GM_BUFSIZE) return -1;
  char *buf = (char *)malloc((size_t)len + 1);
  if (buf == nullptr) return -1;
  memcpy(buf, bytes, (size_t)len);
  free(sigbuf);
  keyend = len;
  sigbuf = buf;
  return 0;
}

void resetSignature(void) {
  free(sigbuf);
  sigbuf = nullptr;
  keyend = 0;
}

int signatureLoaded(void) { return sigbuf != nullptr ? 1 : 0; }

void addSignature(char *buf) {
  if (sigbuf == nullptr) return;
  size_t len = strlen(buf);
  // Longer texts do not fit a datagram buffer; they go out unsigned and the
  // peers will not trust them, which is the safe failure.
  if (len >= GM_BUFSIZE) return;
  unsigned char digest[20];
  digestOf(buf, len, digest);
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
  for (int i = 0; i < 20; i++)
    if (trailerByte(hex + 2 * i) != digest[i]) return 0;
  return 1;
}

}  // extern "C"
