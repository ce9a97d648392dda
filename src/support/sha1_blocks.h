/* sha1_blocks.h - the SHA-1 block functions behind the digest module: each
 * folds whole 64-byte blocks into the five chaining words. The module picks
 * one at load time from what the CPU offers. */
#ifndef ZVGM_SHA1_BLOCKS_H
#define ZVGM_SHA1_BLOCKS_H

#include <stddef.h>
#include <stdint.h>

typedef void (*sha1_blockfn)(uint32_t h[5], const unsigned char *p, size_t blocks);

/* Plain C: rolling 16-word schedule, unrolled rounds; runs everywhere. */
void sha1BlocksPortable(uint32_t h[5], const unsigned char *p, size_t blocks);

#if defined(__x86_64__) || defined(__i386__)
#define ZVGM_SHA1_X86 1
/* The x86 SHA extensions; only when sha1CpuHasShaExt() says so. */
void sha1BlocksShaExt(uint32_t h[5], const unsigned char *p, size_t blocks);
/* 1 when cpuid reports the SHA extensions with SSSE3 and SSE4.1. */
int sha1CpuHasShaExt(void);
#endif

#endif /* ZVGM_SHA1_BLOCKS_H */
