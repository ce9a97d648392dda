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

/* Responders (manager thread). */
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
