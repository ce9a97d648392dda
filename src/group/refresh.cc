// refresh.cc - the local host's own record, brought up to date every
// keep-alive interval (capacity, load, sessions, interfaces, flags and the
// announcement text), and the sending of that announcement on every interface.
#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "group/group.h"

namespace {

bool exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Set when the administration tool went silent: its list is asked for again
// at the next refresh even if the interfaces stay as they are, or every
// interface would stay an interconnect one until they change. Manager thread
// only.
bool toolAgain;

// Marks the nimbar interfaces of ifs through the tool; caller holds gmLock.
void markNimbar(interface *ifs, int numifs) {
  int rc = flag_nimbar_ifs(ifs, numifs);
  if (rc != 0) {
    // Without the tool's list no interface can be trusted to be a LAN one.
    for (int j = 0; j < numifs; j++) ifs[j].flags &= ~LAN;
  }
  // A tool that cannot start or names too many would only do so again.
  toolAgain = rc == 2;
}

// Installs a changed interface list in myhost; caller holds gmLock. Runs the
// administration tool and joins the multicast group on each new interface.
void installInterfaces(interface *ifs, int numifs) {
  log_debug(1, "Interfaces have changed, rereading...\n");
  markNimbar(ifs, numifs);
  for (int j = 0; j < numifs; j++) {
    if (find_interface(&ifs[j], myhost.hostifs, myhost.numifs) != nullptr) {
      log_debug(1, "Existing interface: %s\n", ifs[j].name);
      continue;
    }
    log_debug(1, "Found new interface: %s\n", ifs[j].name);
    // Without group networking there is no group socket to join with.
    if (params.use_multicast && params.enableGM &&
        MulticastJoin(mcast_fd, mcAddr.sin_addr, ifs[j].myAddr.sin_addr.s_addr) != 0)
      log_error(0, 0, "unable to join multicast group on %s\n", ifs[j].name);
  }
  // Memberships of removed interfaces are left to lapse with the interface.
  for (int j = 0; j < myhost.numifs; j++)
    if (find_interface(&myhost.hostifs[j], ifs, numifs) == nullptr)
      log_debug(1, "Detected removal of interface: %s\n", myhost.hostifs[j].name);
  free(myhost.hostifs);
  myhost.hostifs = ifs;
  myhost.numifs = numifs;
}

}  // namespace

extern "C" {

void configure(void) {
  // A secret file changed since the last refresh is taken before this
  // refresh's announcement is signed.
  refreshSignature();
  int numcpus, totalclock;
  if (get_system_capacity(&numcpus, &totalclock) == 0 && numcpus > 0) {
    ZV_MUTEX_LOCK(&gmLock);
    myhost.numcpus = numcpus;
    myhost.meanclock = totalclock / numcpus;
    ZV_MUTEX_UNLOCK(&gmLock);
  } else {
    log_error(0, 0, "Error obtaining system capacity\n");
  }

  int numifs;
  interface *ifs = gmReadIfs(&numifs);
  if (ifs == nullptr) return;
  if (numifs > MAXFDS) {
    log_error(0, 0, "Too many interfaces, increase MAXFDS\n");
    free(ifs);
    return;
  }
  int sessions, idles;
  countSessions(&sessions, &idles);
  double load = getCurrentLoad();
  time_t now = gmSys.now();

  // One hold, so that readers see the record, its interfaces and its flags
  // change together; the tool and the joins run inside it.
  ZV_MUTEX_LOCK(&gmLock);
  myhost.lastseen = now;
  myhost.load = (float)load;
  myhost.sessions = sessions;
  myhost.idles = idles;
  if (interface_changed(myhost.hostifs, myhost.numifs, ifs, numifs)) {
    installInterfaces(ifs, numifs);
  } else {
    for (int j = 0; j < myhost.numifs; j++) {
      myhost.hostifs[j].lastpkt = myhost.lastseen;
      myhost.hostifs[j].tqTimedout = 0;
    }
    free(ifs);
    if (toolAgain) {
      log_debug(1, "Asking the interface tool again\n");
      markNimbar(myhost.hostifs, myhost.numifs);
    }
  }
  if (myhost.numifs > 1 && !exists(GM_NOTROUTER))
    myhost.flags |= ROUTER;
  else
    myhost.flags &= ~ROUTER;
  if (exists(GM_OFFLINE))
    myhost.flags |= OFFLINE;
  else
    myhost.flags &= ~OFFLINE;
  makeHostMessage(bcastbuf, GM_BUFSIZE);
  ZV_MUTEX_UNLOCK(&gmLock);
  log_debug(2, "\nConfigure:\n%s\n", bcastbuf);
}

void sendall(const char *buf, int buflen) {
  for (int j = 0; j < myhost.numifs; j++) {
    const interface *ifp = &myhost.hostifs[j];
    int sock;
    const struct sockaddr_in *to;
    if (params.use_multicast) {
      if (MulticastSetIF(mcast_fd, ifp->myAddr.sin_addr.s_addr) < 0) {
        log_error(0, 0, "unable to set multicast interface to %d\n",
                  (int)ifp->myAddr.sin_addr.s_addr);
        continue;
      }
      sock = mcast_fd;
      to = &mcAddr;
    } else {
      sock = bcast_fd;
      to = &ifp->bcastAddr;
    }
    ssize_t sent = sendto(sock, buf, (size_t)buflen, 0, (const struct sockaddr *)to,
                          sizeof *to);
    int err = errno;
    if (params.debug > 1) {
      char dotted[32];
      toDottedDecimal(ntohl(to->sin_addr.s_addr), dotted);
      log_debug(2, "sendall: sent %d bytes on %s to %s\n", (int)sent, ifp->name, dotted);
    }
    if (sent < 0) log_error(0, 0, "%s: %s\n", "sendall:sendto", strerror(err));
  }
}

}  // extern "C"
