// sha1_test.cc - the digest against published FIPS 180-1 vectors, against the
// system's sha1sum at the padding boundaries, and piecewise against one-shot.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "gm.h"

namespace {

std::string hex(const unsigned char *d) {
  char s[41];
  for (int i = 0; i < 20; i++) snprintf(s + 2 * i, 3, "%02x", d[i]);
  return s;
}

// The digest fed in pieces of the given sizes, in turn; one piece = one-shot.
std::string digest(const std::string &m, std::vector<size_t> cuts = {}) {
  unsigned char d[20];
  if (cuts.empty()) {
    sha1(m.data(), (uint32_t)m.size(), d);
    return hex(d);
  }
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  for (size_t at = 0, i = 0; at < m.size(); at += cuts[i++ % cuts.size()])
    SHA1Update(&ctx, m.data() + at,
               (uint32_t)std::min(cuts[i % cuts.size()], m.size() - at));
  SHA1Final(d, &ctx);
  return hex(d);
}

// The system tool's digest of m, or "" when it cannot be run.
std::string reference(const std::string &m) {
  char path[] = "/tmp/zvgm-sha1-XXXXXX";
  int fd = mkstemp(path);
  bool ok = write(fd, m.data(), m.size()) == (ssize_t)m.size();
  close(fd);
  std::string out;
  FILE *p = ok ? popen(("sha1sum " + std::string(path)).c_str(), "r") : nullptr;
  char line[128];
  if (p != nullptr && fgets(line, sizeof line, p) != nullptr) out.assign(line, 40);
  if (p != nullptr && pclose(p) != 0) out.clear();
  unlink(path);
  return out;
}

TEST(Sha1, PublishedVectors) {
  EXPECT_EQ(digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(digest(std::string(1000000, 'a')),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  // The module's own result buffer is reused by the next call.
  unsigned char *r = qsha1("abc", 3);
  EXPECT_EQ(hex(r), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(qsha1("", 0), r);
  EXPECT_EQ(hex(r), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_STREQ(sha1magic, "SHA1");
}

TEST(Sha1, PaddingBoundariesAndPieces) {
  std::string m;
  for (int i = 0; i < 1000; i++) m += (char)(i * 37 + 11);  // every byte value
  bool tool = reference("abc") == "a9993e364706816aba3e25717850c26c9cd0d89d";
  for (size_t len : {1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
    std::string part = m.substr(0, len), whole = digest(part);
    if (tool) {
      EXPECT_EQ(whole, reference(part)) << "length " << len;
    }
    EXPECT_EQ(digest(part, {1, 63, 100}), whole) << len;
    EXPECT_EQ(digest(part, {64}), whole) << len;
    EXPECT_EQ(digest(part, {7, 0, 129}), whole) << len;
  }
  if (!tool) GTEST_SKIP() << "sha1sum not usable: boundaries checked piecewise only";
}

}  // namespace
