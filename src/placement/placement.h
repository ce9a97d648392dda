/* placement.h - session placement: the query engine behind the token and
 * terminal lookups, the least-loaded choice, the responders that answer
 * peers, the status lines and the server choice. */
#ifndef ZVGM_PLACEMENT_H
#define ZVGM_PLACEMENT_H

#include <stddef.h>

#include "gm.h"
#include "group/group.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GM_TOKENMAX 64   /* longest accepted ctoken or itoken */
#define GM_LISTBUF 4096  /* list text of the server choice */

/* Sending passes of the lookups (see queryReap). */
#define GM_LOOKUP_PASSES 5 /* the server choice and the terminal lookup */
#define GM_LIST_PASSES 2   /* the session list */
#define GM_START_GRACE 20  /* seconds of running before startDelay returns */

/* Returns once the local manager has run for 20 s. */
void startDelay(void);

/* Token lookup. buf (buflen bytes) gets one line per asked interface,
 * appended behind the text it holds; lines that do not fit are dropped. */
int collectSessions(const char *ctoken, const char *itoken, const char *ip,
                    int numretries, uint32_t *target, char *buf, size_t buflen);
void tokenQuery(int tokenFD, const char *ctoken, const char *itoken,
                uint32_t host, int hostix);
int tokenReap(const char *ctoken, const char *itoken, int querycnt,
              uint32_t *target, char *buf, size_t buflen,
              hostifreply *hostifrep, int numretries);

/* Terminal lookup. */
int doTermQs(const char *term, const char *ip, int numretries, uint32_t *target);
void termQuery(int termFD, const char *term, uint32_t host, int hostix);
int termReap(const char *term, int querycnt, uint32_t *target,
             hostifreply *hostifrep, int numretries);

/* Least-loaded choice. */
uint32_t leastLoadedHost(struct in_addr client);
int32_t getRandom(int32_t max);
/* The draw's source of numbers in 0 .. max - 1; getRandom unless a test
 * replaces it. Called with gmLock held. */
extern int32_t (*gmRandom)(int32_t max);

/* Responders (manager thread). installResponders routes the group loop's
 * token, terminal and server queries to them; groupManager does so before
 * its loop starts, and so must anything else that hands datagrams to
 * dispatchGroupMessage. */
void installResponders(void);
/* Whether a terminal is attached to this server, as its daemon answers it:
 * non-zero when it is. Set once before the manager starts (the Java start-up
 * sets the daemon's callback); null, the default, answers that it is not.
 * Called on the manager thread only. */
extern int (*gmTerminalHere)(const char *term);
void tokenQMessage(int tokenFD, struct sockaddr_in *from, char *msgbuf,
                   int size, int trusted);
void termQMessage(int termFD, struct sockaddr_in *from, char *msgbuf, int size,
                  int trusted);
void serverQMessage(int sock, struct sockaddr_in *from, char *msgbuf, int size,
                    int trusted);
int getSession(const char *lookfor, int *dpy, const char *where);

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_PLACEMENT_H */
