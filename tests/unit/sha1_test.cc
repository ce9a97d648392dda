// sha1_test.cc - the digest against published FIPS 180-1 vectors (the 56-byte
// one crosses the padding boundary, the million 'a' ends on a block edge), and
// piecewise against one-shot around the block and padding sizes.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "gm.h"
#include "testutil.h"

namespace {

// The digest fed in pieces of the given sizes, in turn; none = one-shot.
std::string digest(const std::string &m, std::vector<size_t> cuts = {}) {
  unsigned char d[20];
  if (cuts.empty()) return sha1(m.data(), (uint32_t)m.size(), d), hex(d);
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  for (size_t at = 0, i = 0; at < m.size(); at += cuts[i++ % cuts.size()])
    SHA1Update(&ctx, m.data() + at, (uint32_t)std::min(cuts[i % cuts.size()], m.size() - at));
  SHA1Final(d, &ctx);
  return hex(d);
}

TEST(Sha1, PublishedVectorsAndPieces) {
  const char *vectors[][2] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"}};
  for (auto &v : vectors) EXPECT_EQ(digest(v[0]), v[1]);
  EXPECT_EQ(digest(std::string(1000000, 'a'), {64}), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  // The module's one result buffer, overwritten by the next call.
  unsigned char *r = qsha1("abc", 3);
  EXPECT_EQ(qsha1("", 0), r);
  EXPECT_EQ(hex(r), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

  std::string m;
  for (int i = 0; i < 1000; i++) m += (char)(i * 37 + 11);  // every byte value
  for (size_t len : {1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
    std::string part = m.substr(0, len);
    EXPECT_EQ(digest(part, {1, 63, 100}), digest(part)) << len;
    EXPECT_EQ(digest(part, {7, 0, 129}), digest(part)) << len;
  }
}

}  // namespace
