// discovery_test.cc - interface list comparison, nimbar marking through a
// stand-in tool, the one-child pipe, and this machine's kernel list (read only).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "testutil.h"

namespace {

TEST(Discovery, InterfaceComparison) {
  interface a[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0"),
                   makeIf("eth1", "203.0.113.10", "255.255.255.0")};
  interface b[] = {a[1], a[0]};
  EXPECT_EQ(interface_changed(a, 2, b, 2), 0);
  b[0].bcastAddr.sin_addr.s_addr = ip("203.0.113.127");
  EXPECT_EQ(interface_changed(a, 2, b, 2), 0);
  b[0].netmask.sin_addr.s_addr = ip("255.255.255.128");
  EXPECT_EQ(interface_changed(a, 2, b, 2), 1);
  EXPECT_EQ(interface_changed(a, 2, a, 1), 1);
}

// Points the shell at a script printing what the administration tool would.
void fakeTool(const char *body) {
  static const std::string path = "/tmp/zvgm-tool-" + std::to_string(getpid());
  std::ofstream(path) << "#!/bin/sh\necho header\n" << body;
  chmod(path.c_str(), 0755);
  gmShell = path.c_str();
}

TEST(Discovery, NimbarMarking) {
  const char *saved = gmShell;
  params.debug = 1;
  interface ifs[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0", 0),
                     makeIf("eth1", "203.0.113.10", "255.255.255.0", 0)};
  fakeTool("echo ' '\necho 'eth1 nimbar'\n");
  EXPECT_EQ(flag_nimbar_ifs(ifs, 2), 0);
  EXPECT_EQ(ifs[0].flags, LAN);
  EXPECT_EQ(ifs[1].flags, 0);
  fakeTool("");
  EXPECT_EQ(flag_nimbar_ifs(ifs, 2), 0);
  EXPECT_EQ(ifs[1].flags, LAN);

  fakeTool("for i in $(seq 40); do echo if$i; done\n");
  LogCapture log;
  EXPECT_EQ(flag_nimbar_ifs(ifs, 2), 1);
  std::string text = log.text();
  size_t last = text.find("Brivo interface: if33\n");
  ASSERT_NE(last, std::string::npos);
  EXPECT_NE(text.find("Too many interfaces, increase MAXFDS\n", last), std::string::npos);
  EXPECT_EQ(text.find("if34"), std::string::npos);
  params.debug = 0;
  unlink(gmShell);
  gmShell = saved;
}

TEST(Discovery, OneChildAtATime) {
  const char *saved = gmShell;
  gmShell = "/bin/sh";
  XFILE *w = safe_popen("cat >/dev/null", "w");  // runs until its input closes
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(safe_popen("echo no", "r"), nullptr);
  int status = safe_pclose(w);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(safe_pclose(nullptr), -1);
  XFILE *r = safe_popen("echo hi", "r");
  ASSERT_NE(r, nullptr);
  char line[16];
  EXPECT_STREQ(xgets(line, sizeof line, r), "hi\n");
  safe_pclose(r);
  gmShell = saved;
}

TEST(Discovery, KernelListHasNoLoopback) {
  params.gmport = 7009;
  int n = -1;
  interface *ifs = read_kernel_ifs(&n);
  ASSERT_NE(ifs, nullptr);
  ASSERT_GE(n, 0);
  for (int j = 0; j < n; j++) {
    EXPECT_NE(ntohl(ifs[j].myAddr.sin_addr.s_addr) >> 24, 127u) << ifs[j].name;
    EXPECT_EQ(ifs[j].bcastAddr.sin_port, htons(7009));
  }
  free(ifs);
}

}  // namespace
