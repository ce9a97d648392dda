/* defaults.h - the group's settings where the daemon's configuration gives
 * none: the port and multicast group every member shares, the keep-alive
 * interval and the multicast time-to-live. Plain macros, so that the
 * testbed's small tools can take them without the rest of the library. */
#ifndef ZVGM_DEFAULTS_H
#define ZVGM_DEFAULTS_H

#define GM_DEFAULT_PORT 7009               /* gmport: the group's UDP port */
#define GM_DEFAULT_GROUP "224.101.101.101" /* mcaddr; also what an mcaddr that
                                              is no multicast address gives */
#define GM_DEFAULT_KEEPALIVE 20            /* keepAliveInterval, seconds */
#define GM_DEFAULT_TTL 1                   /* mcTTL */

#endif /* ZVGM_DEFAULTS_H */
