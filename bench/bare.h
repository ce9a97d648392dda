/* bare.h - the floor that the library's responder and lookup are measured
 * against: the same file and socket work for the same token query, written
 * straight through in C, with the library's framing and signature code (the
 * one definition of each) but none of its responder or lookup machinery. */
#ifndef ZVGM_BENCH_BARE_H
#define ZVGM_BENCH_BARE_H

#include <netinet/in.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The session directories a bare responder reads. */
typedef struct bare_dirs {
  const char *ctokens;
  const char *itokens;
  const char *displays;
  const char *idle;
} bare_dirs;

/* Answers the token query of len bytes in msg (room for a NUL at msg[len])
 * from `from` on fd, as the protocol says: the signature checked and cut,
 * the token file read for its DISPLAY= line and its mtime, the idle marker
 * and both count directories looked at (recounted when their mtime moved),
 * the load sampled once a second, the reply formatted, signed and sent. */
void bare_answer(int fd, const struct sockaddr_in *from, char *msg, int len,
                 const bare_dirs *dirs);

/* One token lookup of n members (addresses in network order, queries to
 * port, in host order): a socket of its own, every query composed, signed
 * and sent, then each reply received (polling at most 1 s for the next),
 * checked, read and matched to its member, until all have answered. The
 * number of members that answered; *target gets the newest live session's
 * address. */
int bare_lookup(const uint32_t *addrs, int n, int port, const char *ctoken,
                const char *itoken, uint32_t *target);

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_BENCH_BARE_H */
