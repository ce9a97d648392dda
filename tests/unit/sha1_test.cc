// sha1_test.cc - the digest on each block function it can run here: the
// published FIPS 180-1 vectors (the 56-byte one crosses the padding boundary,
// the million 'a' ends on a block edge), and every length across the padding
// edges and random texts, whole and in pieces, against libcrypto's SHA-1.
#include <gtest/gtest.h>
#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "gm.h"
#include "support/support.h"
#include "testutil.h"
#ifdef ZVGM_HAVE_LIBCRYPTO
#include <openssl/sha.h>
#endif

namespace {

// The digest fed in pieces of the given sizes, in turn; none = one-shot.
std::string digest(const std::string &m, std::vector<size_t> cuts = {}) {
  unsigned char d[20];
  if (cuts.empty()) return sha1(m.data(), (uint32_t)m.size(), d), hexDigest(d);
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  for (size_t at = 0, i = 0; at < m.size(); at += cuts[i++ % cuts.size()])
    SHA1Update(&ctx, m.data() + at, (uint32_t)std::min(cuts[i % cuts.size()], m.size() - at));
  return SHA1Final(d, &ctx), hexDigest(d);
}

class Sha1 : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (sha1UsePath(GetParam()) != GetParam()) GTEST_SKIP() << "this CPU has no SHA extensions";
  }
  void TearDown() override { sha1UsePath(GM_SHA1_SHAEXT); }
};

TEST_P(Sha1, PublishedVectorsAndPieces) {
  // "", then the module's one result buffer, overwritten by the next call.
  unsigned char *r = qsha1("abc", 3);
  EXPECT_EQ(qsha1("", 0), r);
  EXPECT_EQ(digest("abc") + digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") +
                digest(std::string(1000000, 'a'), {64}) + hexDigest(r),
            "a9993e364706816aba3e25717850c26c9cd0d89d84983e441c3bd26ebaae4aa1f95129e5e54670f1"
            "34aa973cd4c4daa4f61eeb2bdbad27316534016fda39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_P(Sha1, TextsAndPiecesMatchLibcrypto) {
#ifndef ZVGM_HAVE_LIBCRYPTO
  GTEST_SKIP() << "libcrypto not found at build time";
#else
  std::mt19937 rng(20261206);
  // Every length across the padding edges of two blocks, then random ones;
  // each one-shot and in pieces of random sizes (empty ones too).
  for (size_t round = 0; round < 430; round++) {
    std::string m(round < 130 ? round : rng() % 5001, '\0');
    for (auto &c : m) c = (char)rng();
    unsigned char want[20];
    SHA1((const unsigned char *)m.data(), m.size(), want);
    size_t cut1 = rng() % 130, cut2 = 1 + rng() % 130;
    ASSERT_EQ(digest(m) + digest(m, {cut1, cut2}), hexDigest(want) + hexDigest(want)) << m.size() << " in pieces of " << cut1 << ", " << cut2;
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1, testing::Values(GM_SHA1_PORTABLE, GM_SHA1_SHAEXT),
                         [](const auto &i) { return i.param == GM_SHA1_PORTABLE ? "Portable" : "ShaExt"; });

}  // namespace
