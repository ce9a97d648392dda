// discovery_test.cc - interface list comparison, nimbar marking through a
// stand-in tool, and the one-child pipe.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"

namespace {

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

}  // namespace
