/* inside.c - the benchmarks' guard before a manager with group networking
 * on (inside.h). */
#include "inside.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

int insideTestbedServer(void) {
  struct ifaddrs *ifs;
  if (getifaddrs(&ifs) != 0) return 0;
  int ok = 1, any = 0;
  for (struct ifaddrs *p = ifs; p != NULL; p = p->ifa_next) {
    if (p->ifa_addr == NULL || p->ifa_addr->sa_family != AF_INET) continue;
    uint32_t a = ntohl(((struct sockaddr_in *)p->ifa_addr)->sin_addr.s_addr);
    if ((a >> 24) == 127) continue;
    any = 1;
    if ((a >> 8) != 0xC63364u && (a >> 8) != 0xCB0071u) ok = 0;
  }
  freeifaddrs(ifs);
  return ok && any;
}
