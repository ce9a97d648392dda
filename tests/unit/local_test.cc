// local_test.cc - this host's own state: the group table lookups (name and
// address search, subnet matching with liveness, the LAN and count
// fallbacks); session and idle names with the mtime cache, missing
// directories and the cpuinfo capacity; interface list comparison, nimbar
// marking through a stand-in tool and the one-child pipe; and the local
// refresh: the administration tool asked again after it went silent, and
// sendall aimed at a loopback socket. (The refresh on real interfaces is the
// group tests' part, in the testbed.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"

namespace {

using Lookup = GroupTest;

TEST_F(Lookup, NamesAddressesSubnetsAndFallbacks) {
  // Before start-up nothing is found.
  EXPECT_TRUE(findHostbyName("x") == nullptr && findHostbyAddr(in_addr{ip("1.2.3.4")}) == nullptr &&
              isHere(ip("1.2.3.4")) == 0);
  params.gmport = 7009;
  time_t now = gmSys.now();
  const char *m24 = "255.255.255.0";
  addHost("here", "198.51.100.10", TRUSTED,
          {makeIf("eth0", "198.51.100.10", m24, LAN, now), makeIf("eth1", "203.0.113.10", m24, 0, now)});
  // period 20: 60 s old is exactly 3 periods and still live, 61 s is not.
  host *peer = addHost("peer", "198.51.100.11", TRUSTED, {makeIf("eth0", "198.51.100.11", m24, LAN, now - 60),
                                                          makeIf("eth1", "203.0.113.11", m24, 0, now - 61)});
  EXPECT_TRUE(findHostbyName("peer") == &hostList[1] && findHostbyName("pee") == nullptr);
  EXPECT_TRUE(findHostbyAddr(in_addr{ip("203.0.113.11")}) == peer && findHostbyAddr(in_addr{ip("198.51.100.10")}) ==
              &myhost && findHostbyAddr(in_addr{ip("203.0.113.99")}) == nullptr);
  EXPECT_EQ(matchHostSubnet(peer, ip("198.51.100.77")), ip("198.51.100.11"));
  EXPECT_EQ(matchHostSubnet(peer, ip("203.0.113.77")) + matchHostSubnet(peer, ip("192.0.2.1")), 0u);
  // As "isOnLAN numIfsOnSubnet isHere" of an address; no subnet of ours: LAN.
  for (auto [a, want] : {std::pair{"198.51.100.5", "1 1 0"}, {"203.0.113.5", "0 1 0"}, {"192.0.2.5", "1 1 0"},
                         {"203.0.113.10", "0 1 1"}, {"203.0.113.11", "0 1 0"}, {"0.0.0.0", "1 2 0"}})
    EXPECT_EQ(std::to_string(isOnLAN(&myhost, ip(a))) + " " + std::to_string(numIfsOnSubnet(&myhost, ip(a))) +
              " " + std::to_string(isHere(ip(a))), want) << a;
}

using Counts = GroupTest;

TEST_F(Counts, SessionsIdlesCacheAndCapacity) {
  std::string d = tmp.path + "/displays", i = tmp.path + "/idle";
  session_cache c = SESSION_CACHE_INIT;
  int t = 0, idle = 0;
  // The displays directory's mtime, then a count as "sessions/idles".
  auto count = [&](time_t mtime) {
    // No file is written to d/.: only the directory's own times are set.
    put(d + "/.", "", mtime), countSessionsIn(&c, d.c_str(), i.c_str(), &t, &idle);
    return std::to_string(t) + "/" + std::to_string(idle);
  };
  EXPECT_EQ(count(1000), "-1/-1");  // its line: the LogRate test
  mkdir(d.c_str(), 0700), mkdir(i.c_str(), 0700);
  for (const char *n : {"0", "1", "12", "abc"}) put(d + "/" + n);
  for (const char *n : {"1.pid", ".pid", "1.pidx", "1"}) put(i + "/" + n);
  // A new entry behind an unchanged mtime is not seen; a new mtime is.
  std::string seen = count(1000);
  seen += (put(d + "/7"), " " + count(1000));
  EXPECT_EQ(seen + " " + count(999), "3/2 3/2 4/2");

  std::string path = tmp.path + "/cpuinfo", line = "cpu MHz\t\t: 1000\n";
  // The file's result as "rc cpus total".
  auto capacity = [&](const std::string &text) {
    int n = -1, total = -1, rc = (put(path, text), capacityFrom(path.c_str(), &n, &total));
    return std::to_string(rc) + " " + std::to_string(n) + " " + std::to_string(total) + ",";
  };
  // The unreadable clock counts a processor and adds 0. A file of 10240
  // bytes or more is not a cpuinfo (nor an empty one: cpuinfo_fuzz).
  EXPECT_EQ(capacity("processor\t: 0\ncpu MHz\t\t: 2394.230\nprocessor\t: 1\ncpu MHz\t\t: 2400.000\n"
                     "cpu MHz\t\t: unknown\n") + capacity(line + std::string(10239 - line.size(), ' ')) +
                capacity(line + std::string(10240 - line.size(), ' ')), "0 3 4794,0 1 1000,-1 0 0,");
}

using Discovery = GroupTest;

TEST_F(Discovery, ComparisonNimbarMarkingAndOneChildAtATime) {
  interface ifs[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0", 0), makeIf("eth1", "203.0.113.10", "255.255.255.0", 0)};
  interface b[] = {ifs[1], ifs[0]};  // order does not matter, nor the broadcast
  b[0].bcastAddr.sin_addr.s_addr = ip("203.0.113.127");
  EXPECT_EQ(interface_changed(ifs, 2, b, 2), 0);
  b[0].netmask.sin_addr.s_addr = ip("255.255.255.128");
  EXPECT_EQ(interface_changed(ifs, 2, b, 2) + interface_changed(ifs, 2, ifs, 1), 2);

  // The administration tool's stand-in prints body; as "rc flags flags".
  auto mark = [&](const std::string &body) {
    int rc = (useTool(tmp, body), flag_nimbar_ifs(ifs, 2));
    return std::to_string(rc) + " " + std::to_string(ifs[0].flags) + " " + std::to_string(ifs[1].flags) + ",";
  };
  LogCapture log(1);
  EXPECT_EQ(mark("echo ' '\necho 'eth1 nimbar'\n") + mark("") + mark("for i in $(seq 40); do echo if$i; done\n"),
            "0 1 0,0 1 1,1 1 1,");
  // The 33rd interface is the last. A tool that hangs: Refresh.ToolAskedAgainAfterItWentSilent.
  EXPECT_TRUE(log.has("Brivo interface: if33\n") && log.has("Too many interfaces, increase MAXFDS\n"));
  EXPECT_FALSE(log.has("if34"));

  gmShell = "/bin/sh";
  XFILE *w = safe_popen("cat >/dev/null", "w");  // runs until its input closes
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(safe_popen("echo no", "r"), nullptr);
  EXPECT_EQ(safe_pclose(w), 0);  // the exit status
  char line[16];
  XFILE *r = safe_popen("echo hi", "r");
  EXPECT_STREQ(xgets(line, sizeof line, r), "hi\n");
  safe_pclose(r);
}

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
