// framing_fuzz.cc - fuzz target for the key=value framing (mkKeyPairs): one
// line is split in place; byte 0 picks how many pairs may be taken.
#include <string.h>

#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int max = data[0] % (GM_MAXPAIRS + 1);
  std::vector<char> orig(data + 1, data + size);
  orig.push_back('\0');
  std::vector<char> buf = orig;
  char *keys[GM_MAXPAIRS + 1];
  char *vals[GM_MAXPAIRS];
  int n = mkKeyPairs(buf.data(), keys, vals, max);
  FUZZ_CHECK(n >= 0 && n <= max && (n == max || keys[n] == nullptr));
  char *lo = buf.data(), *hi = buf.data() + buf.size();
  // The line ends at its first newline or NUL: nothing behind it changes.
  size_t end = strcspn(orig.data(), "\n");
  FUZZ_CHECK(memcmp(buf.data() + end + 1, orig.data() + end + 1,
                    buf.size() - std::min(buf.size(), end + 1)) == 0 ||
             end + 1 >= buf.size());
  for (int i = 0; i < n; i++) {
    FUZZ_CHECK(keys[i] >= lo && keys[i] < buf.data() + end + 1 && (i == 0 || keys[i] > keys[i - 1]));
    FUZZ_CHECK(vals[i][0] == '\0' || (vals[i] > keys[i] && vals[i] < hi));
    FUZZ_CHECK(strpbrk(keys[i], "= \t\r\v\f\n") == nullptr && strpbrk(vals[i], "= \t\r\v\f\n") == nullptr);
    // The key is where the token began in the text.
    FUZZ_CHECK(memcmp(keys[i], orig.data() + (keys[i] - lo), strlen(keys[i])) == 0);
  }
  checkTable();  // untouched by this input, as after every input
  return 0;
}
