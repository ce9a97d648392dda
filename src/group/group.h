/* group.h - the group manager's private state and the operations of the
 * membership subsystem: table lookups, the loop, announcements, the local
 * refresh, interface discovery, load and session counts, signatures. */
#ifndef ZVGM_GROUP_H
#define ZVGM_GROUP_H

#include "gm.h"
#include "group/announce.h"
#include "group/defaults.h"
#include "support/support.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Process-wide state (zero until start-up) ------------------------- */

extern gm_params params;                 /* copy of the start-up parameters */
extern host *hostList[GM_HOSTSLOTS];     /* slot 0 is &myhost; null from numhosts on */
extern int numhosts;                     /* used slots, the local host included */
extern host myhost;                      /* the local host's record */
extern int bcast_fd;                     /* group socket in broadcast mode */
extern int mcast_fd;                     /* group socket in multicast mode */
extern struct sockaddr_in mcAddr;        /* multicast group and port */

/* Session directories and marker files. */
#define GM_DIR "/var/opt/KORVzv"
#define GM_CTOKENS GM_DIR "/ctokens"
#define GM_ITOKENS GM_DIR "/itokens"
#define GM_DISPLAYS GM_DIR "/displays"
#define GM_IDLE GM_DIR "/idle"
#define GM_OFFLINE GM_DIR "/offline"
#define GM_NOTROUTER "/etc/notrouter"
#define GM_ADMCMD "/opt/KORVzv/sbin/zvadm -p 2> /dev/null"
#define GM_SHELL "/bin/ksh"

/* The session directories, GM_CTOKENS, GM_ITOKENS, GM_DISPLAYS and GM_IDLE,
 * as the token lookup and the counts read them. A seam for tests and
 * benchmarks, which point them at directories of their own; nothing else
 * changes them. */
typedef struct gm_sessdirs {
  const char *ctokens;
  const char *itokens;
  const char *displays;
  const char *idle;
} gm_sessdirs;
extern gm_sessdirs gmSessionDirs;

/* ---- Lookups (caller holds gmLock, except isHere) --------------------- */

/* 1 when target lies on the interface's subnet (address AND netmask). */
int onSubnet(const interface *ifp, uint32_t target);
/* 1 while an interface of h counts as alive: heard within 3 periods. */
int heardRecently(const host *h, const interface *ifp, time_t now);

host **findHostbyName(const char *name);
host *findHostbyAddr(struct in_addr addr);
uint32_t matchHostSubnet(host *h, uint32_t target);
int isOnLAN(host *h, uint32_t target);
int isHere(uint32_t target);
int numIfsOnSubnet(host *h, uint32_t target);

/* ---- Loop ------------------------------------------------------------- */

/* Runs the manager on the calling thread: the start-up of the local record
 * and the group socket, then the loop. What groupManager runs once the
 * routes below are installed; returns as groupManager does. */
int runGroupManager(gm_params gmp, char *errbuf);

/* A handler of one kind of datagram: the socket it came in on, its sender,
 * its text (NUL-terminated, the trailer cut off) with the length received,
 * and whether its signature verified. */
typedef void (*gm_handler)(int sock, struct sockaddr_in *from, char *msgbuf,
                           int size, int trusted);
/* Datagrams whose text starts with prefix go to handle. */
typedef struct gm_route {
  const char *prefix; /* the first key with its "=", e.g. "tokenQ=" */
  gm_handler handle;
} gm_route;
/* Installs the routes the loop takes besides announcements: count entries,
 * kept by reference, tried in order. Set before the loop reads a datagram,
 * never while it runs. Until then (or with count 0) any other datagram is
 * ignored, as one of an unknown kind is. */
void setGroupRoutes(const gm_route *routes, int count);

/* The loop's receive: takes what is queued on sock, up to a batch of
 * datagrams, and hands each in turn to dispatchGroupMessage from inbuf,
 * with its length as received (cut at GM_BUFSIZE - 1 bytes). Waits for the
 * first datagram as the socket does: a blocking socket blocks (up to its
 * receive timeout), a non-blocking one returns at once when empty. The
 * number of datagrams handled, or -1 with errno when none could be received.
 * Manager thread only. */
int handleGroupMessage(int sock);
/* The loop's wait with group networking on: handleGroupMessage on the group
 * socket fd->fd (a blocking one) under a receive timeout of timeout ms, so
 * that it returns when datagrams came or the time passed. The timeout is
 * set only when it is not timeout already (*armed, -1 at first), so that a
 * datagram costs one system call. Where no timeout can be set, or the
 * receive fails, it polls fd instead, as the loop used to. The number of
 * datagrams handled, 0 at the time-out, or -1 after a failed poll. */
int waitOnGroupSocket(struct pollfd *fd, int timeout, int *armed);
/* Handles one received datagram of len bytes from `from`: signature check
 * and cut, then the handler its first token names. buf must have room for a
 * NUL at buf[len] (at least len + 1 bytes). */
void dispatchGroupMessage(int sock, struct sockaddr_in *from, char *buf, int len);

/* ---- Local refresh and sending ---------------------------------------- */

void configure(void);
void sendall(const char *buf, int buflen);

/* ---- Interface discovery ---------------------------------------------- */

interface *read_kernel_ifs(int *numifs);
/* The interface list configure reads: read_kernel_ifs unless a test points
 * it at a list of its own. */
extern interface *(*gmReadIfs)(int *numifs);
/* 0 when the tool's list was read, 1 when the tool could not be run or named
 * too many interfaces, 2 when it went silent and was given up (worth another
 * try at the next refresh). On any failure the caller clears LAN. */
int flag_nimbar_ifs(interface *hostifs, int numifs);
interface *find_interface(const interface *this_if, interface *hostifs,
                          int numifs);
int interface_changed(interface *oldhostifs, int oldnumifs,
                      interface *newhostifs, int newnumifs);
XFILE *safe_popen(const char *cmd, const char *mode);
int safe_pclose(XFILE *xp);
/* Shell that safe_popen runs commands with; GM_SHELL unless a test points it
 * at a stand-in. */
extern const char *gmShell;

/* ---- Load and session counts ------------------------------------------ */

void countSessions(int *total, int *idle);
double getCurrentLoad(void);
int get_system_capacity(int *numcpus, int *totalclock);

/* The same counts over given paths, caches and load sampler; the public forms
 * above use the fixed paths and one process-wide cache each. */
typedef struct session_cache {
  int t;               /* sessions at the last good count; -1 before */
  int i;               /* idle sessions at the last good count; -1 before */
  time_t lastDispTime; /* mtime of the displays directory at that count */
  time_t lastIdleTime; /* mtime of the idle directory at that count */
} session_cache;
#define SESSION_CACHE_INIT {-1, -1, 0, 0}
typedef struct load_cache {
  double max;      /* load last computed */
  time_t lastLoad; /* the second it was computed in */
} load_cache;
void countSessionsIn(session_cache *c, const char *displays,
                     const char *idledir, int *total, int *idle);
double currentLoadFrom(load_cache *c, int (*sample)(double *, int));
int capacityFrom(const char *cpuinfo, int *numcpus, int *totalclock);

/* ---- Signatures ------------------------------------------------------- */

/* Loads the secret of sigfile and, when that was taken, the second secret
 * of "<sigfile>.2" if that file exists (same rules: owned by uid 0, nothing
 * for group or others). The second is accepted when checking and never
 * signs. Without a first secret at start-up, signing stays off for the run. */
void initSignature(const char *sigfile);
/* The manager's check at each refresh: reloads either file when its
 * identity (device, inode, size, modification and change times) changed
 * since it was last looked at. A reload that fails keeps the secret in use
 * and is logged once per change; the second file gone drops the second
 * secret; signing is never switched off. Nothing without initSignature's
 * first secret. Manager thread only. */
void refreshSignature(void);
void addSignature(char *buf);
/* 1 when the trailer verifies with either secret (or, with none loaded,
 * when there is no trailer), else 0; the trailer is cut off either way. */
int chkSignature(char *buf);
/* Which secret verified a text's trailer (verifySignature's *which). */
#define GM_SECRET_NONE 0   /* none: unsigned, failed, or no secret loaded */
#define GM_SECRET_FIRST 1  /* the secret that signs */
#define GM_SECRET_SECOND 2 /* the second secret, accepted while rotating */
/* chkSignature that also tells, in *which (may be null), which secret
 * verified. */
int verifySignature(char *buf, int *which);
/* Drops the loaded secrets and the files watched, switching signing off
 * again. Only the unit tests call it, to load several secrets in one
 * process; the manager never does. */
void resetSignature(void);
/* Takes len bytes as the first (useSignatureSecret) or second secret, as
 * initSignature takes a file's content, for a program that reads the files
 * under a rule of its own (the operator's command under a service manager's
 * credential). 0, or -1 when the bytes cannot be held. */
int useSignatureSecret(const char *bytes, int len);
int useSecondSecret(const char *bytes, int len);
/* Non-zero when a secret is loaded: outgoing texts get a trailer. */
int signatureLoaded(void);

#define GM_SIGLEN 46 /* "#sig=", 40 hex digits, "\n" */

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_GROUP_H */
