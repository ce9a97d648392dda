// signature_test.cc - the signature trailer: loading the secret and its
// ownership rules, signing, checking and cutting, and the untrusted cases.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "testutil.h"

namespace {

const std::string kMsg = "tokenQ=abc at=100000a\n";

std::string sign(const std::string &text) {
  std::string buf = text + std::string(GM_SIGLEN + 1, '\0');
  addSignature(buf.data());
  return buf.c_str();
}

// Checks a copy in a block of exactly its size, so that ASan sees any read
// past the terminator; *cut gets what is left of the text.
int check(const std::string &text, std::string *cut = nullptr) {
  char *p = strdup(text.c_str());
  int r = chkSignature(p);
  if (cut != nullptr) *cut = p;
  return free(p), r;
}

using Signature = GroupTest;

TEST_F(Signature, SignsChecksAndCuts) {
  // Without a secret (nothing added, unsigned trusted, signed not but cut),
  // unsigned with one, a '#' that begins no trailer: signature_fuzz and
  // receive_fuzz check those against any text.
  std::string cut;
  loadSecret("s3cret\n");  // the newline is part of the secret: SHA-1 of "s3cret\n" + kMsg
  std::string s = sign(kMsg), bad = s, upper = s;
  EXPECT_EQ(s, kMsg + "#sig=1f8fbccc22ab8fb3c4ed93a8d26c8d93a87a2f3a\n");
  EXPECT_TRUE(check(s, &cut) == 1 && cut == kMsg);
  bad[3] ^= 1;  // tampered; a trailer in upper case is still good
  for (size_t i = kMsg.size() + 5; i < upper.size(); i++) upper[i] = (char)toupper(upper[i]);
  EXPECT_TRUE(check(bad) == 0 && check(upper) == 1);
  for (std::string tail : {std::string("#si"), std::string("#sig="), s.substr(kMsg.size(), 44)})
    EXPECT_EQ(check(kMsg + tail), 0) << tail;  // short trailers are read only to their end
  loadSecret("");  // an empty file is a secret of length 0
  EXPECT_EQ(sign(kMsg), kMsg + "#sig=ea1386329f9dea0446f6b0feae9b4bc9fbc86de1\n");
}

TEST_F(Signature, RefusesInsecureOrMissingFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own and hand over files";
  std::string group = writeTemp("k", 0640), foreign = writeTemp("k");
  ASSERT_EQ(chown(foreign.c_str(), 65534, 0), 0);
  LogCapture log;
  for (const std::string &path : {group, foreign, group + "-none"})
    EXPECT_EQ((initSignature(path.c_str()), sign(kMsg)), kMsg) << path;  // signing stays off
  EXPECT_TRUE(log.has("initSignature: gmSignature file modes insecure\n") &&
              log.has("initSignature: open of " + group + "-none failed: No such file or directory\n"));
}

}  // namespace
