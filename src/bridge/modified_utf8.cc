// modified_utf8.cc - texts as a Java daemon takes them: the JVM takes only
// well-formed modified UTF-8, and nothing that arrives off the wire is
// allowed to decide whether what it gets is well formed. Needs no JVM, so
// that a server without one can see a text as its daemon would.
#include <stdint.h>
#include <string.h>

#include "bridge/bridge.h"

namespace {

// Whether p starts the three bytes of a low surrogate, ED B0..BF xx.
bool lowSurrogate(const unsigned char *p) {
  return p[0] == 0xed && (p[1] & 0xf0) == 0xb0 && (p[2] & 0xc0) == 0x80;
}

char *put3(char *o, uint32_t cp) {
  *o++ = (char)(0xe0 | (cp >> 12));
  *o++ = (char)(0x80 | ((cp >> 6) & 0x3f));
  *o++ = (char)(0x80 | (cp & 0x3f));
  return o;
}

}  // namespace

extern "C" {

size_t modifiedUtf8(const char *text, char *out) {
  const unsigned char *p = (const unsigned char *)text;
  char *o = out;
  while (*p != 0) {
    uint32_t c = *p;
    if (c < 0x80) {
      *o++ = (char)c;
      p++;
      continue;
    }
    int more;       // continuation bytes the lead byte announces
    uint32_t least; // smallest code point of that length: no overlong forms
    if (c >= 0xc2 && c <= 0xdf)
      more = 1, least = 0x80, c &= 0x1f;
    else if (c >= 0xe0 && c <= 0xef)
      more = 2, least = 0x800, c &= 0x0f;
    else if (c >= 0xf0 && c <= 0xf4)
      more = 3, least = 0x10000, c &= 0x07;
    else
      more = 0, least = 1;  // a stray continuation byte, C0, C1 or F5 .. FF
    int k = 1;
    // A NUL is no continuation byte, so the text's end stops this too.
    for (; k <= more && (p[k] & 0xc0) == 0x80; k++) c = (c << 6) | (p[k] & 0x3f);
    if (more == 2 && k > more && c >= 0xd800 && c <= 0xdbff && lowSurrogate(p + 3)) {
      // The pair a peer's JVM wrote for a character beyond 16 bits: what
      // Java reads back as that character.
      memcpy(o, p, 6);
      o += 6;
      p += 6;
      continue;
    }
    if (more == 0 || k <= more || c < least || c > 0x10ffff ||
        (c >= 0xd800 && c <= 0xdfff)) {
      *o++ = '?';  // one per byte that starts no well-formed character
      p++;
      continue;
    }
    if (more < 3) {
      memcpy(o, p, (size_t)more + 1);
      o += more + 1;
    } else {
      // Modified UTF-8 carries a character beyond the 16-bit range as its
      // two UTF-16 surrogates, three bytes each.
      uint32_t v = c - 0x10000;
      o = put3(o, 0xd800 + (v >> 10));
      o = put3(o, 0xdc00 + (v & 0x3ff));
    }
    p += more + 1;
  }
  *o = '\0';
  return (size_t)(o - out);
}

}  // extern "C"
