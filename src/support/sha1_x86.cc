// sha1_x86.cc - the SHA-1 block function on the x86 SHA extensions, and the
// cpuid test that allows it. Only these functions are compiled for the
// extensions, so the rest of the build needs no special flags.
#include "support/sha1_blocks.h"

#ifdef ZVGM_SHA1_X86
#include <cpuid.h>
#include <immintrin.h>

int sha1CpuHasShaExt(void) {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  const unsigned kSsse3 = 1u << 9, kSse41 = 1u << 19;
  if ((c & kSsse3) == 0 || (c & kSse41) == 0) return 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return 0;
  return (b & (1u << 29)) != 0;  // SHA
}

// Four rounds, 4i to 4i+3. abcd holds a..d (a in the top lane), e[i & 1] the
// e word plus the schedule words of this group, e[~i & 1] the a word that
// becomes the next group's e. Meanwhile the schedule words of later groups
// are prepared in m[]: msg1 and the xor start words 4 groups ahead, msg2
// finishes the next group's. The conditions fold, i being a constant.
#define SHA1_GROUP(i)                                                   \
  do {                                                                  \
    if ((i) == 0)                                                       \
      e[0] = _mm_add_epi32(e[0], m[0]);                                 \
    else                                                                \
      e[(i)&1] = _mm_sha1nexte_epu32(e[(i)&1], m[(i)&3]);               \
    e[((i) + 1) & 1] = abcd;                                            \
    if ((i) >= 3 && (i) <= 18)                                          \
      m[((i) + 1) & 3] = _mm_sha1msg2_epu32(m[((i) + 1) & 3], m[(i)&3]); \
    abcd = _mm_sha1rnds4_epu32(abcd, e[(i)&1], (i) / 5);                \
    if ((i) >= 1 && (i) <= 16)                                          \
      m[((i) + 3) & 3] = _mm_sha1msg1_epu32(m[((i) + 3) & 3], m[(i)&3]); \
    if ((i) >= 2 && (i) <= 17)                                          \
      m[((i) + 2) & 3] = _mm_xor_si128(m[((i) + 2) & 3], m[(i)&3]);     \
  } while (0)

__attribute__((target("sha,sse4.1,ssse3"))) void sha1BlocksShaExt(
    uint32_t h[5], const unsigned char *p, size_t blocks) {
  // Byte order of the loads: each 32-bit word big-endian, and the words in
  // reverse so that the first one lands in the top lane.
  const __m128i order = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)h), 0x1B);
  __m128i e0 = _mm_set_epi32((int)h[4], 0, 0, 0);
  for (; blocks > 0; blocks--, p += 64) {
    __m128i abcdSaved = abcd, eSaved = e0;
    __m128i m[4], e[2];
    for (int j = 0; j < 4; j++)
      m[j] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(p + 16 * j)), order);
    e[0] = e0;
    e[1] = _mm_setzero_si128();
    SHA1_GROUP(0); SHA1_GROUP(1); SHA1_GROUP(2); SHA1_GROUP(3);
    SHA1_GROUP(4); SHA1_GROUP(5); SHA1_GROUP(6); SHA1_GROUP(7);
    SHA1_GROUP(8); SHA1_GROUP(9); SHA1_GROUP(10); SHA1_GROUP(11);
    SHA1_GROUP(12); SHA1_GROUP(13); SHA1_GROUP(14); SHA1_GROUP(15);
    SHA1_GROUP(16); SHA1_GROUP(17); SHA1_GROUP(18); SHA1_GROUP(19);
    e0 = _mm_sha1nexte_epu32(e[0], eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }
  _mm_storeu_si128((__m128i *)h, _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = (uint32_t)_mm_extract_epi32(e0, 3);
}
#endif
