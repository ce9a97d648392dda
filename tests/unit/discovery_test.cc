// discovery_test.cc - interface list comparison, nimbar marking through a
// stand-in tool, and the one-child pipe.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"

namespace {

TEST(Discovery, InterfaceComparison) {
  interface a[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0"),
                   makeIf("eth1", "203.0.113.10", "255.255.255.0")};
  interface b[] = {a[1], a[0]};
  EXPECT_EQ(interface_changed(a, 2, b, 2), 0);  // order does not matter
  b[0].bcastAddr.sin_addr.s_addr = ip("203.0.113.127");  // nor the broadcast
  EXPECT_EQ(interface_changed(a, 2, b, 2), 0);
  b[0].netmask.sin_addr.s_addr = ip("255.255.255.128");
  EXPECT_EQ(interface_changed(a, 2, b, 2), 1);
  EXPECT_EQ(interface_changed(a, 2, a, 1), 1);
}

using Tool = GroupTest;

TEST_F(Tool, NimbarMarking) {
  interface ifs[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0", 0),
                     makeIf("eth1", "203.0.113.10", "255.255.255.0", 0)};
  // The administration tool's stand-in prints body.
  auto mark = [&](const std::string &body) { return useTool(tmp, body), flag_nimbar_ifs(ifs, 2); };
  EXPECT_EQ(mark("echo ' '\necho 'eth1 nimbar'\n"), 0);
  EXPECT_TRUE(ifs[0].flags == LAN && ifs[1].flags == 0);
  EXPECT_EQ(mark(""), 0);
  EXPECT_TRUE(ifs[0].flags == LAN && ifs[1].flags == LAN);

  LogCapture log(1);
  EXPECT_EQ(mark("for i in $(seq 40); do echo if$i; done\n"), 1);
  // The 33rd interface is the last.
  EXPECT_TRUE(log.has("Brivo interface: if33\n") && log.has("Too many interfaces, increase MAXFDS\n"));
  EXPECT_FALSE(log.has("if34"));
  // A tool that hangs: Refresh.ToolAskedAgainAfterItWentSilent.
}

TEST_F(Tool, OneChildAtATime) {
  gmShell = "/bin/sh";
  XFILE *w = safe_popen("cat >/dev/null", "w");  // runs until its input closes
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(safe_popen("echo no", "r"), nullptr);
  EXPECT_EQ(safe_pclose(w), 0);  // the exit status
  XFILE *r = safe_popen("echo hi", "r");
  char line[16];
  EXPECT_STREQ(xgets(line, sizeof line, r), "hi\n");
  safe_pclose(r);
}

}  // namespace
