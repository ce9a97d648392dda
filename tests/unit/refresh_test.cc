// refresh_test.cc - the local refresh on this machine's real interfaces with
// multicast off (nothing is sent), and sendall aimed at a loopback socket.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>

#include "testutil.h"

namespace {

time_t fakeNow = 100000;
time_t readFakeNow() { return fakeNow; }
bool has(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

TEST(Refresh, RealInterfacesWithoutSending) {
  resetGroupState();
  gm_sys savedSys = gmSys;
  const char *savedShell = gmShell;
  gmSys.now = readFakeNow;
  params.gmport = 7009;
  params.debug = 1;
  myhost.period = 20;
  int n = 0;
  free(read_kernel_ifs(&n));
  if (n == 0) GTEST_SKIP() << "no broadcast interface here";
  // The tool's stand-in counts its runs.
  std::string tool = "/tmp/zvgm-refresh-" + std::to_string(getpid());
  std::ofstream(tool) << "#!/bin/sh\necho run >>" << tool << ".runs\necho header\n";
  chmod(tool.c_str(), 0755);
  gmShell = tool.c_str();
  struct stat st;
  bool router = n > 1 && stat(GM_NOTROUTER, &st) != 0;
  {
    LogCapture log;
    configure();
    ASSERT_EQ(myhost.numifs, n);
    EXPECT_TRUE(has(log.text(), "Interfaces have changed, rereading...\n"));
    EXPECT_TRUE(has(log.text(), std::string("Found new interface: ") + myhost.hostifs[0].name));
  }
  EXPECT_EQ((myhost.flags & ROUTER) != 0, router);
  EXPECT_TRUE(has(bcastbuf, "numifs=" + std::to_string(n) + " "));

  // Unchanged: the same records with their flags, lastpkt renewed, no tool.
  interface *installed = myhost.hostifs;
  int lan = installed[0].flags;
  fakeNow += 20;
  configure();
  EXPECT_EQ(myhost.hostifs, installed);
  EXPECT_EQ(installed[0].lastpkt, fakeNow);
  EXPECT_EQ(installed[0].flags, lan);
  std::ifstream runs(tool + ".runs");
  std::string all((std::istreambuf_iterator<char>(runs)), {});
  EXPECT_EQ(all, "run\n");
  unlink(tool.c_str());
  unlink((tool + ".runs").c_str());
  gmSys = savedSys;
  gmShell = savedShell;
  resetGroupState();
}

TEST(Refresh, SendallOncePerInterfaceToLoopback) {
  resetGroupState();
  int rx = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(rx, (struct sockaddr *)&to, sizeof to), 0);
  socklen_t len = sizeof to;
  getsockname(rx, (struct sockaddr *)&to, &len);
  fcntl(rx, F_SETFL, O_NONBLOCK);
  bcast_fd = socket(AF_INET, SOCK_DGRAM, 0);
  interface ifs[] = {makeIf("lo-a", "127.0.0.1", "255.0.0.0"),
                     makeIf("lo-b", "127.0.0.2", "255.0.0.0")};
  myhost.hostifs = (interface *)malloc(sizeof ifs);
  for (int j = 0; j < 2; j++) (myhost.hostifs[j] = ifs[j]).bcastAddr = to;
  myhost.numifs = 2;
  params.debug = 2;
  LogCapture log;
  sendall("hello", 5);
  char buf[16];
  EXPECT_EQ(recv(rx, buf, sizeof buf, 0), 5);
  EXPECT_EQ(recv(rx, buf, sizeof buf, 0), 5);
  EXPECT_LT(recv(rx, buf, sizeof buf, 0), 0);
  EXPECT_TRUE(has(log.text(), "sendall: sent 5 bytes on lo-b to 127.0.0.1\n"));

  close(rx);
  close(bcast_fd);
  resetGroupState();
}

}  // namespace
