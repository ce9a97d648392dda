/* gm.h - the group manager's whole contract: its records, flags and limits,
 * the operations it exports and the data it shares with the daemon.
 * Usable from C and C++. Addresses are IPv4 in network byte order unless a
 * comment says otherwise; int and long of the wire formats are 32-bit. */
#ifndef ZVGM_GM_H
#define ZVGM_GM_H

#include <netinet/in.h>
#include <stdint.h>
#include <time.h>

#include "zv_thread.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GM_API __attribute__((visibility("default")))

/* Limits. */
#define MAXHOSTS 100     /* hosts in the group table, the local one included */
#define MAXFDS 32        /* local interfaces */
#define GM_BUFSIZE 1500  /* announcement and receive buffers */
#define GM_HOSTSLOTS (MAXHOSTS + 1) /* the last slot always stays null */

/* Host flags (host.flags). */
#define ROUTER 0x1  /* more than one interface and no "/etc/notrouter" */
#define LAN_OK 0x2  /* accepts sessions from terminals on ordinary LANs */
#define TRUSTED 0x4 /* local host, or a peer whose last announcement verified */
#define OFFLINE 0x8 /* takes no new sessions ("/var/opt/KORVzv/offline") */

/* Interface flag (interface.flags). */
#define LAN 0x1 /* general-purpose LAN; clear on a dedicated nimbar interface */

/* Start-up parameters, imported from the daemon's configuration. */
typedef struct gm_params {
  int32_t gmport;            /* UDP port of the group, host byte order */
  int32_t keepAliveInterval; /* seconds between refreshes and announcements */
  int32_t LANallowed;        /* gives the local host LAN_OK */
  int32_t enableGM;          /* 0: no group socket, nothing sent or received */
  int32_t use_multicast;     /* announce to mcaddr instead of broadcasting */
  const char *mcaddr;        /* dotted multicast group */
  int32_t mcTTL;             /* multicast time-to-live; 0 keeps the default */
  int32_t use_lb;            /* 1 switches load balancing on */
  int32_t debug;             /* debug threshold of log_debug */
  const char *sigfile;       /* shared secret file; "" for none */
} gm_params;

/* One network interface of a host. */
typedef struct interface {
  char name[16];                /* interface name, NUL-terminated */
  time_t lastpkt;               /* local: last refresh; peer: last datagram from myAddr, 0 never */
  int32_t tqTimedout;           /* nonzero: the last query here went unanswered, or never heard */
  struct sockaddr_in bcastAddr; /* broadcast address, port gmport */
  struct sockaddr_in myAddr;    /* the interface's own address, port gmport */
  struct sockaddr_in netmask;   /* only the address part is used */
  int32_t flags;                /* LAN */
} interface;

/* One server of the group. */
typedef struct host {
  char name[64];            /* host name, NUL-terminated */
  struct in_addr hostAddr;  /* primary address */
  int32_t flags;            /* ROUTER, LAN_OK, TRUSTED, OFFLINE */
  int32_t numifs;           /* records in hostifs */
  time_t lastseen;          /* local: last refresh; peer: last announcement's arrival */
  int32_t timeoff;          /* peer's clock minus the local clock, seconds */
  int32_t period;           /* announcement interval, seconds */
  struct interface *hostifs; /* numifs records, owned by this record */
  time_t starttime;         /* when the host's group manager started */
  int32_t numcpus;          /* processors */
  int32_t meanclock;        /* mean processor clock, MHz */
  float load;               /* load figure; -1.0 until known */
  int32_t desire;           /* scratch: weight in the last least-loaded choice */
  int32_t sessions;         /* sessions on the host; -1 until known */
  int32_t idles;            /* idle sessions on the host; -1 until known */
  struct interface *useifp; /* scratch: interface picked in the last choice */
} host;

/* One query sent to one interface of one host during a lookup. */
typedef struct hostifreply {
  uint32_t ifAddr;    /* queried interface address */
  int8_t state;       /* -2 outstanding, -1 answered no, 0 answered yes */
  int32_t tqTimedout; /* the interface's mark, updated by the lookup */
  int32_t hostix;     /* slot of the host in hostList */
  struct host hcopy;  /* copy of the host record taken at set-up */
} hostifreply;

/* Digest context of the SHA-1 module; opaque to its callers. */
typedef struct SHA1_CTX {
  int32_t count;    /* bytes digested so far */
  int32_t bitpos;   /* bit position within the block being filled */
  uint32_t h[5];    /* chaining words */
  uint32_t w[80];   /* message schedule */
} SHA1_CTX;

/* ---- The manager ---------------------------------------------------- */

/* Runs the group manager on the calling thread. Returns -1 with the reason
 * in errbuf (at least 103 bytes) when start-up fails; never returns else. */
GM_API int groupManager(gm_params gmp, char *errbuf);

/* ---- Placement and status (any thread) ------------------------------ */

/* Where the session of a token runs or should start. buf (27 bytes) gets ""
 * or "%x:%s:%ld". Returns -1 on refusal, else the lookup's status. */
GM_API int whichServer(const char *ctoken, const char *itoken, const char *ip,
                       const char *force, char *buf);
/* Which member has the terminal. buf (at least 9 bytes) gets "" or "%x". */
GM_API int findPrimary(const char *term, const char *ip, const char *force,
                       char *buf);
GM_API int groupNumHosts(void);
GM_API void groupHostLine(int hostnum, char *hostbuf);           /* 512 bytes */
GM_API void groupLoadLine(int hostnum, char *hostbuf);           /* 512 bytes */
GM_API int groupNumIfs(int hostnum);
GM_API void groupIntfLine(int hostnum, int intfnum, char *hostbuf); /* 512 bytes */
/* The group's sessions of a token, one line per asked interface; the caller
 * frees the text. Null on failure. */
GM_API char *sessionList(const char *ctoken, const char *itoken, const char *ip);
/* 1 when ipa (host byte order) lies first on a local nimbar subnet. */
GM_API int isNetworkAllowed(uint32_t ipa);

/* ---- Socket helpers ------------------------------------------------- */

GM_API int udp_open(uint32_t ipa, int port);              /* port host order */
GM_API int BroadcastOpen(int port);                       /* port host order */
GM_API int MulticastOpen(uint32_t ipa, uint32_t mask, int port);
GM_API int tcp_listen(int port);                          /* port network order */
GM_API int tcp_open_to(const char *host, int port);       /* port network order */
GM_API int MulticastJoin(int sock, struct in_addr group, uint32_t ipa);
GM_API int MulticastLeave(int sock, struct in_addr group, uint32_t ipa);
GM_API int MulticastSetTTL(int sock, unsigned char ttl);
GM_API int MulticastSetLoop(int sock, unsigned char loop);
GM_API int MulticastSetIF(int sock, uint32_t ipa);
GM_API void GetMCAddr(uint32_t ipa, struct in_addr *group);
GM_API int GetIPAddr(const char *host, struct in_addr *addr);
/* Writes "%d.%d.%d.%d" of addr (host byte order) into buf (16 bytes). */
GM_API void toDottedDecimal(uint32_t addr, char *buf);

/* ---- SHA-1 ---------------------------------------------------------- */

GM_API void SHA1Init(SHA1_CTX *ctx);
GM_API void SHA1Update(SHA1_CTX *ctx, const void *data, uint32_t len);
GM_API void SHA1Final(unsigned char digest[20], SHA1_CTX *ctx);
GM_API void sha1(const void *data, uint32_t len, unsigned char digest[20]);
/* One-shot digest into a buffer of the module's, overwritten by the next call. */
GM_API unsigned char *qsha1(const void *data, uint32_t len);
GM_API void __sha1_nop(void);
extern GM_API const char *sha1magic;

/* ---- Shared data ---------------------------------------------------- */

extern GM_API char inbuf[GM_BUFSIZE];    /* receive buffer of the group socket */
extern GM_API char bcastbuf[GM_BUFSIZE]; /* the local host's announcement */
extern GM_API ZV_MUTEX_T gmLock;         /* the group table and bcastbuf */
extern GM_API ZV_MUTEX_T sigLock;        /* no longer taken: signing needs no lock */
extern GM_API void *GMenv;               /* JNIEnv of the manager thread */

/* ---- Java natives (declared when <jni.h> was included first) --------- */

#ifdef _JAVASOFT_JNI_H_
#define GM_JNI(name) Java_auth_zvauthd_GroupManager_##name
GM_API jstring JNICALL GM_JNI(groupManager)(JNIEnv *, jclass);
GM_API jstring JNICALL GM_JNI(whichServer)(JNIEnv *, jclass, jstring, jstring,
                                           jstring, jstring);
GM_API jstring JNICALL GM_JNI(findPrimary)(JNIEnv *, jclass, jstring, jstring);
GM_API jboolean JNICALL GM_JNI(claimToken)(JNIEnv *, jclass, jstring);
GM_API jboolean JNICALL GM_JNI(disclaimToken)(JNIEnv *, jclass, jstring);
GM_API jint JNICALL GM_JNI(groupNumHosts)(JNIEnv *, jclass);
GM_API jstring JNICALL GM_JNI(groupHostLine)(JNIEnv *, jclass, jint);
GM_API jstring JNICALL GM_JNI(groupLoadLine)(JNIEnv *, jclass, jint);
GM_API jint JNICALL GM_JNI(groupNumIfs)(JNIEnv *, jclass, jint);
GM_API jstring JNICALL GM_JNI(groupIntfLine)(JNIEnv *, jclass, jint, jint);
GM_API jstring JNICALL GM_JNI(sessionList)(JNIEnv *, jclass, jstring, jstring,
                                           jstring);
GM_API jboolean JNICALL GM_JNI(isNetworkAllowed)(JNIEnv *, jclass, jlong);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_GM_H */
