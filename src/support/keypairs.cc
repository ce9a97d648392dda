// keypairs.cc - the framing shared by every group message and reply: text in
// lines, each line blank-separated key=value tokens, cut in place.
//
//   "host=alpha addr=a000001 numifs=2\n"          one line, three pairs
//    ^key ^val  ^key ^val    ^key  ^val            '=' and blanks become NUL
//   "interface=eth0 flags=1\n" ...                 further lines, own first key
//   "#sig=<40 hex digits>\n"                       optional trailer, removed first
//
// Blanks are space, tab, CR, VT and FF; a newline or NUL ends the line. The key
// runs to the first '=', the value starts after the last '=' of the token, and
// a token without '=' has the empty value.
#include "support/support.h"

namespace {

// The value of a token without '='. Read-only storage, so a caller that wrote
// into it would fault at once instead of corrupting every later empty value.
const char kEmptyValue[] = "";

// The C locale's white space, tested directly: the daemon's virtual machine
// may have switched the process locale, which must not change the framing.
inline bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}

// Any received line can carry too many pairs, on the manager thread and in
// the lookups' reply collectors alike.
lograte tooManyPairs = LOGRATE_INIT("mkKeyPairs: too many pairs");

}  // namespace

extern "C" int mkKeyPairs(char *cp, char **keys, char **vals, int max) {
  int count = 0;
  for (;;) {
    while (*cp == '\0' || isBlank(*cp)) {
      if (*cp == '\n' || *cp == '\0') {
        *cp = '\0';
        keys[count] = nullptr;
        return count;
      }
      *cp++ = '\0';
    }
    if (count == max) {
      log_error_limited(&tooManyPairs, "mkKeyPairs: too many pairs\n");
      return max;
    }
    keys[count] = cp;
    char *val = const_cast<char *>(kEmptyValue);
    for (; *cp != '\0' && !isBlank(*cp); cp++) {
      if (*cp == '=') {
        *cp = '\0';
        val = cp + 1;
      }
    }
    vals[count++] = val;
  }
}
