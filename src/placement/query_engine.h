/* query_engine.h - the token and terminal query datagrams, shared by the
 * queriers (query.cc) and the responders (responders.cc), and the engine
 * that asks the whole group and reaps the replies for both lookups. */
#ifndef ZVGM_QUERY_ENGINE_H
#define ZVGM_QUERY_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#include "gm.h"

/*
 * Query datagrams, sent by a lookup to each asked interface at gmport:
 *
 *   tokenQ=<itoken> at=<addr> hostix=<ix> ctoken=<ctoken>\n[#sig=<40 hex>\n]
 *   termQ=<term> at=<addr> hostix=<ix>\n[#sig=<40 hex>\n]
 *
 *   itoken, ctoken  at most 64 characters each, either may be empty
 *   term            the terminal id, at most GM_TERMMAX characters
 *   addr            the asked address as "%x" of its 32-bit value as it lies
 *                   in memory: 10.0.0.1 travels as 100000a
 *   ix              the entry's position in the querier's table, decimal
 *
 * Replies, sent by the responder to the query's source address and port:
 *
 *   tokenR=<itoken> at=<addr> hostix=<ix> time=<t> dpy=<d> load=<l>
 *          sessions=<s> idles=<i> ctoken=<ctoken>\n[#sig=<40 hex>\n]
 *   termR=<term> at=<addr> hostix=<ix> has=<h>\n[#sig=<40 hex>\n]
 *   (the tokenR line is one line; it is wrapped here only)
 *
 *   itoken, term, addr, ix, ctoken  echoed as received
 *   t      modification time of the session file, responder's clock; -1 none
 *   d      display of the session; -1 none; -2 the display is idle
 *   l      the responder's load, "%.1f"
 *   s, i   the responder's session and idle-session counts
 *   h      non-zero when the responder's daemon has the terminal
 *
 * Pairs are blank separated and split by mkKeyPairs, so no value may hold a
 * blank, a newline or "=". The trailer is there whenever a secret is loaded.
 * A querier reads at most GM_REPLYMAX bytes of a reply.
 *
 * Server query, which anyone (a terminal, an operator) may send to gmport,
 * and its reply, sent back to the query's source address and port:
 *
 *   serverQ=<seq>\n
 *   serverR=<addr> port=<port> seq=<seq>\n
 *
 *   seq    the asker's number, decimal, echoed; 0 when it is not one
 *   addr   the responder's address on the asker's network, "%08x" of its
 *          value in host order: 10.0.0.1 travels as 0a000001
 *   port   the responder's gmport
 *
 * Neither carries a trailer: the responder answers signed and unsigned
 * server queries alike and never signs the reply.
 */
/* The first keys, by which the group loop routes the queries. */
#define GM_TOKENQ_KEY "tokenQ="
#define GM_TERMQ_KEY "termQ="
#define GM_SERVERQ_KEY "serverQ="

#define GM_TOKENQ_FMT GM_TOKENQ_KEY "%s at=%x hostix=%d ctoken=%s\n"
#define GM_TOKENR_FMT \
  "tokenR=%s at=%s hostix=%s time=%d dpy=%d load=%.1f sessions=%d idles=%d\n"
#define GM_TOKENR_CTOKEN_FMT " ctoken=%s\n" /* replaces the newline above */
#define GM_TERMQ_FMT GM_TERMQ_KEY "%s at=%x hostix=%d\n"
#define GM_TERMR_FMT "termR=%s at=%s hostix=%s has=%d\n"
#define GM_SERVERQ_FMT GM_SERVERQ_KEY "%d\n"
#define GM_SERVERR_FMT "serverR=%08x port=%d seq=%d\n"

#define GM_TOKENQ_BUF 256 /* token query, trailer included */
#define GM_TOKENR_BUF 512 /* token reply, trailer included */
#define GM_TERMQ_BUF 128  /* terminal query, trailer included */
#define GM_TERMR_BUF 256  /* terminal reply, trailer included */
#define GM_REPLYMAX 255   /* longest reply a querier reads */
#define GM_TERMMAX 43     /* longest terminal id whose query always fits */
#define GM_PASS_WINDOW 1  /* seconds each sending pass waits for replies */

#ifdef __cplusplus
extern "C" {
#endif

/* Writes a query text into buf (buflen bytes) leaving room for the
 * signature trailer; returns its length, or -1 when it would not fit. */
int tokenQCompose(char *buf, size_t buflen, const char *ctoken,
                  const char *itoken, uint32_t host, int hostix);
int termQCompose(char *buf, size_t buflen, const char *term, uint32_t host,
                 int hostix);

/* ---- The engine ------------------------------------------------------ */

/* One reply as read from its pairs; seen tells which keys it carried. */
enum {
  QR_AT = 0x1,
  QR_HOSTIX = 0x2,
  QR_TIME = 0x4,
  QR_DPY = 0x8,
  QR_HAS = 0x10,
  QR_CTOKEN = 0x20
};
typedef struct queryReply {
  unsigned seen;
  uint32_t at;      /* memory order, as the query carried it */
  int32_t hostix;   /* -1 when absent */
  int32_t time;
  int32_t dpy;
  int32_t has;
  float load;       /* -1.0 when absent */
  int32_t sessions; /* -1 when absent */
  int32_t idles;    /* -1 when absent */
  const char *ctoken;
} queryReply;

struct queryRun;

/* What distinguishes the token lookup from the terminal lookup. */
typedef struct queryKind {
  const char *replyKey;   /* "tokenR=" / "termR=": the reply's first pair */
  unsigned required;      /* keys without which a reply is ignored */
  int writeCounts;        /* write-back: 1 load, sessions, idles when >= 0;
                             0 the load as copied, nothing else */
  const char *mallocFail; /* log texts */
  const char *lanifLog;
  const char *openFail;
  const char *bindFail;
  const char *retryLog;
  const char *replyLog;
  const char *timeoutLog;
  void (*send)(int fd, const struct queryRun *run, uint32_t addr, int ix);
  /* Judges a matched reply for entry e: 0 ignores it; 1 takes it, with in
   * *state the state the entry gets if this is its first reply. May correct
   * r (time). */
  int (*take)(struct queryRun *run, hostifreply *e, queryReply *r,
              int8_t *state);
  /* Appends the entry's list line; r is null for an entry without reply. */
  void (*listLine)(struct queryRun *run, const hostifreply *e,
                   const queryReply *r);
} queryKind;

extern const queryKind tokenKind;
extern const queryKind termKind;

/* The state of one reap. */
typedef struct queryRun {
  const queryKind *kind;
  const char *key;    /* itoken or terminal id; the reply's first value */
  const char *ctoken; /* token lookup only */
  hostifreply *tab;
  int querycnt;
  int expect;      /* answers still awaited */
  int32_t maxtime; /* newest live session so far (token lookup) */
  uint32_t *target;
  char *buf; /* list text (token lookup), buflen bytes; may be null */
  size_t buflen;
} queryRun;

/* Builds the query table of a lookup from the group table under gmLock
 * (client 0: no subnet filter). Null after a failed allocation. */
hostifreply *queryBuildTable(const queryKind *k, uint32_t client, int *count);

/* Handles one received datagram (NUL-terminated, changed in place): the
 * signature check, the kind and key checks, the matching and the entry's
 * update. Returns the entry's index, or -1 when the reply was ignored. */
int queryHandleReply(queryRun *run, char *text);

/* 1 when a token or terminal id can travel as one value of a query line:
 * no blank, newline or '=' in it (a '#' alone starts no trailer). */
int querySendable(const char *id);

/* Sends up to numretries passes over the entries still silent, each
 * followed by a window of GM_PASS_WINDOW seconds, and reaps the replies;
 * ends early once every entry has answered. An entry silent in its previous
 * lookup (tqTimedout) gets the first pass only. Afterwards every silent entry
 * is marked timed out. Returns 0, or -1 when no socket could be had. */
int queryReap(queryRun *run, int numretries);

/* Under gmLock: the answered counts and every interface's time-out mark go
 * back to the hosts now in the entries' slots. */
void queryWriteBack(const queryKind *k, const hostifreply *tab, int count);

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_QUERY_ENGINE_H */
