/* announce.h - the host announcement, the one datagram by which a server
 * makes itself known to its peers: its picture, its lines and limits, and
 * the operations that write it and read it (announce.cc). */
#ifndef ZVGM_ANNOUNCE_H
#define ZVGM_ANNOUNCE_H

#include "gm.h"

/*
 * The announcement, one datagram of text lines (values in "%x" are lower-case
 * hex without "0x"; an address is written most significant byte = first
 * octet, so 10.0.0.1 is a000001):
 *
 *   host=<name> addr=%x time=%d numifs=%d flags=%x cpus=%d clock=%d ...
 *        ... period=%d starttime=%d load=%.1f\n         exactly one, first
 *   interface=<name> ip=%x mask=%x bcast=%x flags=%x\n   one per interface,
 *   interface=...                                         as many as fit
 *   sessions=%d idles=%d\n                                one, last
 *   #sig=<40 hex digits>\n                                only with a secret
 *
 *   |<- host line ->|<- interface lines ... ->|<- reserve: sessions, trailer ->|
 *   0                                        1400                            1500
 *
 * time and starttime are the sender's clock as 32-bit numbers; numifs counts
 * every interface even when not all of their lines fit.
 *
 * The receiver reads every number as a 32-bit peer does with strtoul,
 * strtol, strtod and atol: the leading number of the value is taken and the
 * rest ignored ("load=0,3" from a peer in a comma locale reads 0, "clock="
 * reads 0, "addr=0xa000001" reads a000001). A value outside the range that
 * keeps the record safe is clamped into it and logged at debug level 2, never
 * a reason to lose the peer:
 *   addresses and flags  32 bits (more hex digits read as ffffffff)
 *   time, starttime      32-bit signed
 *   numifs               0 .. MAXFDS (a sender never has more interfaces,
 *                        and 1500 bytes hold far fewer lines anyway)
 *   cpus                 0 .. 16384, clock 0 .. 100000 MHz: the capacity
 *                        product of the least-loaded choice stays in 31 bits
 *   period               0 .. 2^31 - 1 seconds
 *   load                 -1.0 .. 1000000 (not a number reads -1.0, unknown)
 *   sessions, idles      -1 .. 2^31 - 1
 * A key the host line lacks reads as cpus 1, clock 200, period 20 (the
 * default keep-alive interval), load -1.0; sessions and idles as -1.
 * What cannot make a record drops the whole datagram, leaving the table
 * untouched: no host line with a non-empty host first, or a host line without
 * addr, time or numifs (texts this format never writes).
 * A second host line ends the message; interface lines past numifs are
 * ignored; when fewer interface lines arrive than numifs announces, numifs is
 * trimmed to the lines received. Names are cut to 63 and 15 characters.
 */
#define GM_HOST_KEY "host=" /* the first key, by which the loop routes it */
#define GM_HOST_FMT                                                     \
  GM_HOST_KEY "%s addr=%x time=%d numifs=%d flags=%x cpus=%d clock=%d " \
              "period=%d starttime=%d load=%.1f\n"
#define GM_INTERFACE_FMT "interface=%s ip=%x mask=%x bcast=%x flags=%x\n"
#define GM_SESSIONS_FMT "sessions=%d idles=%d\n"

#define GM_ANNOUNCE_RESERVE 100     /* tail of the GM_BUFSIZE bytes kept for
                                       the sessions line and the trailer */
#define GM_ANNOUNCE_MAXCPUS 16384   /* cpus are read as 0 .. this */
#define GM_ANNOUNCE_MAXCLOCK 100000 /* clock (MHz) is read as 0 .. this */
#define GM_ANNOUNCE_MAXLOAD 1000000.0 /* load is read as -1.0 .. this */
#define GM_ANNOUNCE_CPUS 1          /* cpus of a host line without them */
#define GM_ANNOUNCE_CLOCK 200       /* clock of a host line without it */

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the local host's announcement into buf (len bytes, GM_BUFSIZE for
 * the whole picture), signed when a secret is loaded; "" when buf cannot
 * hold the host line and the reserve. Sets myhost.lastseen to now. */
void makeHostMessage(char *buf, int len);
/* Takes a peer's announcement of size bytes from `from` into the group
 * table, trusted or not; answers a newcomer with the local announcement. */
void hostMessage(int sock, struct sockaddr_in *from, char *msgbuf, int size,
                 int trusted);
/* Reads one announcement text (trailer already cut off; split in place) into
 * a new record with its interface array, every field set: lastseen is now,
 * every interface never heard (lastpkt 0, tqTimedout 1), flags as announced.
 * Null when the text cannot make a record. Free the result with freeHost. */
host *parseHostMessage(char *msgbuf, int size);
/* Frees a record and its interface array; null is ignored. */
void freeHost(host *h);

/* ---- Which announcements may move a member's record --------------------
 *
 * With a secret loaded, two kinds of announcement are refused, changing
 * nothing of the record they name (not lastseen, the load, the interfaces):
 *
 *   impersonation  fails the check while the stored record is trusted and
 *                  alive (now - lastseen <= 3 periods). Once it is not
 *                  alive, an untrusted announcement is stored as ever.
 *   replay         passes the check but is not newer than the last trusted
 *                  one taken from that member. With S, T its starttime and
 *                  time, F the local time T was first taken and Thw the
 *                  highest time ever taken from the member, a trusted
 *                  announcement of starttime s and time t is taken when
 *                    s > S                    (a restart: at once)
 *                    s == S and t > T
 *                    s == S, t == T and F <= now <= F + 1 s
 *                                             (the same sending heard on
 *                                              another interface)
 *                    s < S and t > Thw        (restarted with its clock
 *                                              set back before its last
 *                                              start)
 *                  and refused otherwise. Times compare as 32-bit serial
 *                  numbers, as the sender writes them.
 *
 * The values are those of the last TRUSTED announcement taken, so that an
 * untrusted one stored in between cannot lower the bar. Without a secret
 * every announcement is taken.
 */
typedef struct gm_trustmark {
  int known;       /* a trusted announcement of the member was taken */
  int32_t start;   /* S: its starttime */
  int32_t time;    /* T: its time */
  int32_t highest; /* Thw: the highest time taken from the member */
  time_t first;    /* F: local time at which time T was first taken */
} gm_trustmark;

typedef enum gm_verdict {
  GM_TAKE = 0,          /* the announcement replaces the record */
  GM_IMPERSONATION = 1, /* refused: fails the check, member trusted, alive */
  GM_REPLAY = 2         /* refused: signed, but not newer */
} gm_verdict;
#define GM_VERDICTS 3

/* The verdict on announcement h (parsed, lastseen = now) given the member's
 * mark (null: none yet), its stored record (null: none), whether h passed
 * the check and whether a secret is loaded. */
gm_verdict judgeAnnouncement(const gm_trustmark *mark, const host *stored, const host *h,
                             int trusted, int secret, time_t now);
/* Records in mark an announcement that was taken (only a trusted one
 * moves it). */
void noteAnnouncement(gm_trustmark *mark, const host *h, int trusted, time_t now);
/* The time an announcement h carried, as its sender wrote it. */
int32_t announcedTime(const host *h);
/* Announcements refused by hostMessage since start, by verdict. */
unsigned long refusedAnnouncements(gm_verdict v);
/* Forgets the marks of every table slot and the counts; the unit tests'
 * reset of the group state calls it. */
void forgetAnnouncements(void);

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_ANNOUNCE_H */
