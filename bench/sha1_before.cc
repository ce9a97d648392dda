// sha1_before.cc - the library's SHA-1 as it was before the block functions
// (80-word schedule, a branch per round, byte-wise tails), kept here only as
// the speed baseline the benchmark compares the new paths with.
#include <stdint.h>
#include <string.h>

#include "gm.h"

namespace {
inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Digests the 16 words in ctx->w[0..15] into the chaining words.
void processBlock(SHA1_CTX *ctx) {
  uint32_t *w = ctx->w;
  for (int t = 16; t < 80; t++)
    w[t] = rol(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = ctx->h[0], b = ctx->h[1], c = ctx->h[2], d = ctx->h[3],
           e = ctx->h[4];
  for (int t = 0; t < 80; t++) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    uint32_t temp = rol(a, 5) + f + e + w[t] + k;
    e = d;
    d = c;
    c = rol(b, 30);
    b = a;
    a = temp;
  }
  ctx->h[0] += a;
  ctx->h[1] += b;
  ctx->h[2] += c;
  ctx->h[3] += d;
  ctx->h[4] += e;
}

// Adds one byte at the block's bit position, most significant byte first.
void putByte(SHA1_CTX *ctx, unsigned char byte) {
  int i = ctx->bitpos >> 3;
  int shift = 24 - 8 * (i & 3);
  if (shift == 24) ctx->w[i >> 2] = 0;
  ctx->w[i >> 2] |= (uint32_t)byte << shift;
  ctx->bitpos += 8;
  if (ctx->bitpos == 512) {
    processBlock(ctx);
    ctx->bitpos = 0;
  }
}
}  // namespace

// The old one-shot digest: init, update, final as the module had them.
void sha1Before(const void *data, uint32_t len, unsigned char digest[20]) {
  SHA1_CTX c;
  SHA1_CTX *ctx = &c;
  memset(ctx, 0, sizeof *ctx);
  ctx->h[0] = 0x67452301u;
  ctx->h[1] = 0xEFCDAB89u;
  ctx->h[2] = 0x98BADCFEu;
  ctx->h[3] = 0x10325476u;
  ctx->h[4] = 0xC3D2E1F0u;
  const unsigned char *p = (const unsigned char *)data;
  ctx->count = (int32_t)len;
  for (; len >= 64; len -= 64, p += 64) {
    for (int i = 0; i < 16; i++)
      ctx->w[i] = ((uint32_t)p[4 * i] << 24) | ((uint32_t)p[4 * i + 1] << 16) |
                  ((uint32_t)p[4 * i + 2] << 8) | (uint32_t)p[4 * i + 3];
    processBlock(ctx);
  }
  while (len > 0) {
    putByte(ctx, *p++);
    len--;
  }
  uint64_t bits = (uint64_t)(uint32_t)ctx->count * 8;
  putByte(ctx, 0x80);
  while (ctx->bitpos != 448) putByte(ctx, 0);
  for (int shift = 56; shift >= 0; shift -= 8)
    putByte(ctx, (unsigned char)(bits >> shift));
  for (int i = 0; i < 5; i++) {
    digest[4 * i] = (unsigned char)(ctx->h[i] >> 24);
    digest[4 * i + 1] = (unsigned char)(ctx->h[i] >> 16);
    digest[4 * i + 2] = (unsigned char)(ctx->h[i] >> 8);
    digest[4 * i + 3] = (unsigned char)ctx->h[i];
  }
}
