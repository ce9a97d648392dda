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

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_ANNOUNCE_H */
