// signature_fuzz.cc - fuzz target for the signature check (chkSignature),
// with the group's secret loaded (bit 0 of byte 0) and without. The text is
// cut at its first trailer; without a secret only an unsigned text passes;
// with one, a text signed by addSignature always passes and comes back whole.
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > GM_BUFSIZE) return 0;
  bool secret = data[0] & 1, loaded = (fuzzSecret(secret), signatureLoaded());
  std::string text((const char *)data + 1, size - 1);
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  int ok = chkSignature(buf.data());
  FUZZ_CHECK(ok == 0 || ok == 1);
  const char *s = text.c_str();  // as the check sees it: up to the first NUL
  const char *mark = strstr(s, "#sig=");
  if (mark == nullptr) {
    FUZZ_CHECK(memcmp(buf.data(), text.data(), text.size()) == 0);
    FUZZ_CHECK(ok == (loaded ? 0 : 1));
  } else {
    size_t at = (size_t)(mark - s);
    FUZZ_CHECK(buf[at] == '\0' && memcmp(buf.data(), s, at) == 0);
    FUZZ_CHECK(loaded || ok == 0);
  }
  // Round trip: what we sign ourselves verifies, and the cut restores it.
  if (secret && mark == nullptr && strlen(s) + GM_SIGLEN < GM_BUFSIZE) {
    char signedText[GM_BUFSIZE + GM_SIGLEN];
    snprintf(signedText, sizeof signedText, "%s", s);
    addSignature(signedText);
    FUZZ_CHECK(chkSignature(signedText) == 1 && strcmp(signedText, s) == 0);
  }
  checkTable();  // untouched by this input, as after every input
  return 0;
}
