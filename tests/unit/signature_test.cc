// signature_test.cc - the signature trailer: loading the secret and its
// ownership rules, signing, checking and cutting, and the untrusted cases.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testutil.h"

namespace {

const std::string kMsg = "tokenQ=abc at=100000a\n";

// A root-owned secret file with the given contents and mode.
std::string secretFile(const std::string &contents, mode_t mode = 0600) {
  char path[] = "/tmp/zvgm-sig-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_EQ(write(fd, contents.data(), contents.size()), (ssize_t)contents.size());
  fchmod(fd, mode);
  close(fd);
  return path;
}

void load(const std::string &contents) {
  resetSignature();
  std::string path = secretFile(contents);
  initSignature(path.c_str());
  unlink(path.c_str());
}

std::string sign(const std::string &text) {
  std::string buf = text + std::string(GM_SIGLEN + 1, '\0');
  addSignature(buf.data());
  return buf.c_str();
}

// Checks a copy in a block of exactly its size, so that ASan sees any read
// past the terminator; *cut gets what is left of the text.
int check(const std::string &text, std::string *cut = nullptr) {
  char *p = (char *)malloc(text.size() + 1);
  memcpy(p, text.c_str(), text.size() + 1);
  int r = chkSignature(p);
  if (cut != nullptr) *cut = p;
  free(p);
  return r;
}

std::string trailer(const std::string &bytes) {
  unsigned char d[20];
  sha1(bytes.data(), (uint32_t)bytes.size(), d);
  char hex[41];
  for (int i = 0; i < 20; i++) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return std::string("#sig=") + hex + "\n";
}

TEST(Signature, WithoutSecretUnsignedIsTrustedSignedIsNot) {
  resetSignature();
  std::string cut;
  EXPECT_EQ(sign(kMsg), kMsg);
  EXPECT_EQ(check(kMsg, &cut), 1);
  EXPECT_EQ(cut, kMsg);
  EXPECT_EQ(check(kMsg + trailer(kMsg), &cut), 0);
  EXPECT_EQ(cut, kMsg);
}

TEST(Signature, SignsAndVerifiesWithSecret) {
  load("s3cret\n");
  std::string s = sign(kMsg), cut;
  EXPECT_EQ(s, kMsg + trailer("s3cret\n" + kMsg));
  EXPECT_EQ(check(s, &cut), 1);
  EXPECT_EQ(cut, kMsg);
  EXPECT_EQ(check(kMsg), 0);  // unsigned, while a secret is loaded

  std::string bad = s;
  bad[3] ^= 1;
  EXPECT_EQ(check(bad), 0);
  std::string upper = s;
  for (size_t i = kMsg.size() + 5; i < upper.size(); i++)
    upper[i] = (char)toupper((unsigned char)upper[i]);
  EXPECT_EQ(check(upper), 1);
  EXPECT_EQ(check(s.substr(0, s.size() - 1) + " junk"), 1);
  for (size_t keep : {0, 1, 39}) {  // short trailers, read only to their end
    EXPECT_EQ(check(kMsg + "#sig=" + s.substr(kMsg.size() + 5, keep), &cut), 0);
    EXPECT_EQ(cut, kMsg);
  }
  EXPECT_EQ(check(kMsg + "#si"), 0);

  // A '#' of the message that begins no trailer is passed over.
  std::string hashes = "termQ=a#b c=#si #\n";
  EXPECT_EQ(check(sign(hashes), &cut), 1);
  EXPECT_EQ(cut, hashes);

  // The secret without its trailing newline is another secret.
  load("s3cret");
  EXPECT_EQ(check(s), 0);
  // An empty file is a secret of length 0.
  load("");
  EXPECT_EQ(sign(kMsg), kMsg + trailer(kMsg));
  resetSignature();
}

TEST(Signature, RefusesUnsafeOrMissingFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own and hand over files";
  std::string group = secretFile("k", 0640), foreign = secretFile("k");
  ASSERT_EQ(chown(foreign.c_str(), 65534, 0), 0);
  std::string missing = group + "-none";
  const std::string refusals[][2] = {
      {group, "initSignature: gmSignature file modes insecure\n"},
      {foreign, "initSignature: gmSignature file modes insecure\n"},
      {missing, "initSignature: open of " + missing +
                    " failed: No such file or directory\n"}};
  for (const auto &r : refusals) {
    resetSignature();
    LogCapture log;
    initSignature(r[0].c_str());
    EXPECT_NE(log.text().find(r[1]), std::string::npos) << r[0];
    EXPECT_EQ(sign(kMsg), kMsg);  // signing stays off
  }
  chown(foreign.c_str(), 0, 0);
  {
    LogCapture log;
    initSignature(foreign.c_str());
    EXPECT_EQ(log.text(), "");
  }
  EXPECT_NE(sign(kMsg), kMsg);
  resetSignature();
  unlink(group.c_str());
  unlink(foreign.c_str());
}

}  // namespace
