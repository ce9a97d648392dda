// sha1_portable.cc - the SHA-1 block function in plain C for CPUs without
// the SHA extensions: a rolling 16-word schedule instead of the 80-word
// expansion, and fully unrolled rounds so no round chooses its function.
#include "support/sha1_blocks.h"

namespace {

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t be32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
         ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

}  // namespace

// Word i of the schedule: read from the block for the first 16 rounds, then
// computed in place over the one that falls out of the 16-word window.
#define SHA1_W(i)                                                           \
  ((i) < 16 ? (w[(i)&15] = be32(p + 4 * (i)))                               \
            : (w[(i)&15] = rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^     \
                                   w[((i) + 2) & 15] ^ w[(i)&15],           \
                               1)))
// One round; the caller rotates the names instead of moving the words.
// Rounds 0-19 choose (d ^ (b & (c ^ d))), 40-59 take the majority.
#define SHA1_R(f, k, a, b, c, d, e, i)          \
  e += rol(a, 5) + f(b, c, d) + (k) + SHA1_W(i); \
  b = rol(b, 30);
#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PAR(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
#define SHA1_R5(f, k, i)               \
  SHA1_R(f, k, a, b, c, d, e, (i))     \
  SHA1_R(f, k, e, a, b, c, d, (i) + 1) \
  SHA1_R(f, k, d, e, a, b, c, (i) + 2) \
  SHA1_R(f, k, c, d, e, a, b, (i) + 3) \
  SHA1_R(f, k, b, c, d, e, a, (i) + 4)
#define SHA1_R20(f, k, i) \
  SHA1_R5(f, k, (i)) SHA1_R5(f, k, (i) + 5) SHA1_R5(f, k, (i) + 10) SHA1_R5(f, k, (i) + 15)

void sha1BlocksPortable(uint32_t h[5], const unsigned char *p, size_t blocks) {
  uint32_t w[16];
  for (; blocks > 0; blocks--, p += 64) {
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    SHA1_R20(SHA1_CH, 0x5A827999u, 0)
    SHA1_R20(SHA1_PAR, 0x6ED9EBA1u, 20)
    SHA1_R20(SHA1_MAJ, 0x8F1BBCDCu, 40)
    SHA1_R20(SHA1_PAR, 0xCA62C1D6u, 60)
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
}
