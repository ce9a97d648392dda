// sha1.cc - the SHA-1 message digest (FIPS 180-1) that signs group datagrams.
// Each call works only on the caller's context, so calls on different
// contexts may run at once; only qsha1 shares a context and result.
//
// Whole blocks go to a block function chosen once at load time: the x86 SHA
// extensions where cpuid reports them, the portable one otherwise. The bytes
// of a block not yet full wait at the front of the context's schedule words.
#include <string.h>

#include "gm.h"
#include "support/sha1_blocks.h"
#include "support/support.h"

namespace {

sha1_blockfn choose(int path) {
#ifdef ZVGM_SHA1_X86
  if (path == GM_SHA1_SHAEXT && sha1CpuHasShaExt()) return sha1BlocksShaExt;
#endif
  (void)path;
  return sha1BlocksPortable;
}

sha1_blockfn blocks = choose(GM_SHA1_SHAEXT);

// The partial block, as bytes in the schedule words (the context is opaque).
inline unsigned char *pending(SHA1_CTX *ctx) { return (unsigned char *)ctx->w; }

SHA1_CTX qctx;
unsigned char qresult[20];

}  // namespace

extern "C" {

int sha1Path(void) {
  return blocks == sha1BlocksPortable ? GM_SHA1_PORTABLE : GM_SHA1_SHAEXT;
}

int sha1UsePath(int path) {
  blocks = choose(path);
  return sha1Path();
}

const char *sha1magic = "SHA1";

void __sha1_nop(void) {}

void SHA1Init(SHA1_CTX *ctx) {
  ctx->count = 0;
  ctx->bitpos = 0;
  ctx->h[0] = 0x67452301u;
  ctx->h[1] = 0xEFCDAB89u;
  ctx->h[2] = 0x98BADCFEu;
  ctx->h[3] = 0x10325476u;
  ctx->h[4] = 0xC3D2E1F0u;
  memset(ctx->w, 0, sizeof ctx->w);
}

void SHA1Update(SHA1_CTX *ctx, const void *data, uint32_t len) {
  const unsigned char *p = (const unsigned char *)data;
  // The count is a 32-bit signed figure; unsigned arithmetic keeps a wrap
  // defined, and the bit length in SHA1Final reads it back unsigned.
  ctx->count = (int32_t)((uint32_t)ctx->count + len);
  unsigned char *buf = pending(ctx);
  size_t have = (size_t)ctx->bitpos >> 3;
  if (have > 0) {
    size_t take = 64 - have < len ? 64 - have : len;
    memcpy(buf + have, p, take);
    have += take;
    p += take;
    len -= (uint32_t)take;
    if (have < 64) {
      ctx->bitpos = (int32_t)(have * 8);
      return;
    }
    blocks(ctx->h, buf, 1);
  }
  if (len >= 64) {
    blocks(ctx->h, p, len / 64);
    p += len & ~63u;
    len &= 63;
  }
  memcpy(buf, p, len);
  ctx->bitpos = (int32_t)(len * 8);
}

void SHA1Final(unsigned char digest[20], SHA1_CTX *ctx) {
  uint64_t bits = (uint64_t)(uint32_t)ctx->count * 8;
  unsigned char *buf = pending(ctx);
  size_t have = (size_t)ctx->bitpos >> 3;
  buf[have++] = 0x80;
  if (have > 56) {  // no room for the length: it goes in one more block
    memset(buf + have, 0, 64 - have);
    blocks(ctx->h, buf, 1);
    have = 0;
  }
  memset(buf + have, 0, 56 - have);
  for (int i = 0; i < 8; i++) buf[56 + i] = (unsigned char)(bits >> (56 - 8 * i));
  blocks(ctx->h, buf, 1);
  for (int i = 0; i < 5; i++) {
    digest[4 * i] = (unsigned char)(ctx->h[i] >> 24);
    digest[4 * i + 1] = (unsigned char)(ctx->h[i] >> 16);
    digest[4 * i + 2] = (unsigned char)(ctx->h[i] >> 8);
    digest[4 * i + 3] = (unsigned char)ctx->h[i];
  }
}

void sha1(const void *data, uint32_t len, unsigned char digest[20]) {
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  SHA1Update(&ctx, data, len);
  SHA1Final(digest, &ctx);
}

unsigned char *qsha1(const void *data, uint32_t len) {
  SHA1Init(&qctx);
  SHA1Update(&qctx, data, len);
  SHA1Final(qresult, &qctx);
  return qresult;
}

}  // extern "C"
