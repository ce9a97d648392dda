// refresh_test.cc - the local refresh: the administration tool asked again
// after it went silent, and sendall aimed at a loopback socket. (The refresh
// on real interfaces is the group tests' part, in the testbed.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"

namespace {

using Refresh = GroupTest;

// Two interfaces on documentation networks, as configure reads them.
interface *twoIfs(int *n) {
  interface two[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0", 0), makeIf("eth1", "203.0.113.10", "255.255.255.0", 0)};
  return *n = 2, (interface *)memcpy(malloc(sizeof two), two, sizeof two);
}

TEST_F(Refresh, ToolAskedAgainAfterItWentSilent) {
  gmReadIfs = twoIfs, gmSys.now = fakeClock, fakeNow = 100000, myhost.period = 20;
  std::string runs = tmp.path + "/runs";
  // The first run names eth1 and hangs; later ones name eth1 and end.
  useTool(tmp, "echo run >>" + runs + "\necho eth1\n[ -e " + runs + ".1 ] || { touch " + runs +
                   ".1; exec sleep 60; }\n");
  auto lan = [] { return std::to_string(myhost.hostifs[0].flags & LAN) + std::to_string(myhost.hostifs[1].flags & LAN); };
  // New interfaces: the tool is given up after 5 s of silence, and then
  // nothing counts as LAN; the same interfaces, but the tool is asked again.
  std::string seen = (configure(), lan());
  seen += (configure(), lan());
  interface *installed = myhost.hostifs;
  installed[1].tqTimedout = 1, fakeNow += 20;
  // Answered: not asked again until the interfaces change; the same records
  // keep their flags, heard now and no longer timed out.
  EXPECT_EQ((configure(), seen + lan() + slurp(runs)), "001010run\nrun\n");
  EXPECT_TRUE(myhost.hostifs == installed && installed[1].lastpkt == fakeNow && installed[1].tqTimedout == 0);
}

TEST_F(Refresh, SendallOncePerInterfaceToLoopback) {
  sockaddr_in to;
  int rx = loopbackSocket(SOCK_DGRAM, &to);
  bcast_fd = socket(AF_INET, SOCK_DGRAM, 0);
  std::vector<interface> ifs = {makeIf("lo-a", "127.0.0.1", "255.0.0.0"), makeIf("lo-b", "127.0.0.2", "255.0.0.0")};
  for (interface &i : ifs) i.bcastAddr = to;
  addHost("here", "127.0.0.1", 0, ifs);
  LogCapture log(2);
  EXPECT_EQ((sendall("hello", 5), received(rx)), (std::vector<std::string>{"hello", "hello"}));
  EXPECT_TRUE(log.has("sendall: sent 5 bytes on lo-b to 127.0.0.1\n"));
  close(rx), close(bcast_fd);
}

}  // namespace
