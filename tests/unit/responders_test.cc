// responders_test.cc - the answers to peers' token, terminal and server
// queries, and the lookup of a token in the session directories. Replies go
// to a socket of the test's own on 127.0.0.1, which also sends them. That
// replies are signed (server replies never) is checked by the fuzz targets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <vector>

#include "placement/placement.h"
#include "testutil.h"

namespace {

typedef std::vector<std::string> Replies;

class Responders : public GroupTest {
 protected:
  sockaddr_in from;
  int fd = loopbackSocket(SOCK_DGRAM, &from);

  void SetUp() override {
    me("127.0.0.10", {makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
    gmSys.now = [] { return (time_t)1000; };  // one load sample serves the whole test
    useSessionDirs();
  }
  void TearDown() override { close(fd); }
  // Hands text to a responder; returns the replies.
  Replies deliver(gm_handler responder, std::string text) {
    handTo(responder, fd, &from, text);
    return received(fd, 200);
  }
  // The end of a token reply: what the local host now shows, and the ctoken.
  static std::string tail(const std::string &ctoken) {
    char b[160];
    snprintf(b, sizeof b, " load=%.1f sessions=%d idles=%d ctoken=%s\n", myhost.load,
             myhost.sessions, myhost.idles, ctoken.c_str());
    return b;
  }
  void me(const char *hostAddr, std::vector<interface> ifs, int flags = TRUSTED) {
    resetGroupState(), params.gmport = 7123, addHost("here", hostAddr, flags, ifs);
  }
};

TEST_F(Responders, TokenLinesAnsweredInOrderFromTheRightDirectory) {
  put(ctok + "/ct1", "USER=x\nDISPLAY=7\n", 1234567);
  put(itok + "/it2", "DISPLAY=3\n", 7654321);
  put(ctok + "/it2", "DISPLAY=9\n");
  put(itok + "/it4", "DISPLAY=-2147483648\n", 2147483647);
  auto r = deliver(tokenQMessage,
                   "tokenQ=it1 at=100007f hostix=0 ctoken=ct1\nhost=x at=1 hostix=1\n"
                   "tokenQ=it2 at=200007f hostix=4\ntokenQ=it3 hostix=5\n"  // no at: skipped
                   "tokenQ=it4 at=0 hostix=6\n");
  EXPECT_EQ(r, (Replies{"tokenR=it1 at=100007f hostix=0 time=1234567 dpy=7" + tail("ct1"),
                        "tokenR=it2 at=200007f hostix=4 time=7654321 dpy=3" + tail(""),
                        "tokenR=it4 at=0 hostix=6 time=2147483647 dpy=-2147483648" + tail("")}));
  EXPECT_EQ(deliver(termQMessage, "termQ=T1 at=5 hostix=3\ntermQ=T2 hostix=4\n"),
            Replies{"termR=T1 at=5 hostix=3 has=0\n"});  // no daemon here
}

TEST_F(Responders, LongTokensAndOverlongEchoesGetNoReply) {
  std::string t64(64, 'a'), t65(65, 'b'), a300(300, '1'), a430(430, '1'), a500(500, '1');
  auto r = deliver(tokenQMessage, "tokenQ=" + t64 + " at=1 hostix=0 ctoken=" + t64 + "\ntokenQ=" +
                                      t65 + " at=1 hostix=1\ntokenQ=x at=1 hostix=2 ctoken=" + t65);
  EXPECT_EQ(r, Replies{"tokenR=" + t64 + " at=1 hostix=0 time=-1 dpy=-1" + tail(t64)});  // the refusal's line: the LogRate test
  // Replies that would not fit their buffers with a trailer are dropped.
  EXPECT_EQ(deliver(tokenQMessage, "tokenQ=x at=" + a430 + " hostix=1\ntokenQ=x at=1 hostix=" +
                                       a500 + "\ntokenQ=x at=" + a300 + " hostix=2\n"),
            Replies{"tokenR=x at=" + a300 + " hostix=2 time=-1 dpy=-1" + tail("")});
  EXPECT_TRUE(deliver(termQMessage, "termQ=" + std::string(250, 'T') + " at=1 hostix=3").empty());
}

TEST_F(Responders, SessionFileGivesTimeAndDisplay) {
  auto session = [](const std::string &token, const std::string &where) {
    int dpy = 5, t = getSession(token.c_str(), &dpy, where.c_str());
    return std::to_string(t) + "/" + std::to_string(dpy);
  };
  EXPECT_EQ(session("none", ctok), "-1/-1");
  // A long line comes in pieces; only a line's start can be "DISPLAY=".
  put(ctok + "/t7", std::string(200, 'y') + "DISPLAY=1\nDISPLAY= 7\nDISPLAY=8\n", 5000);
  EXPECT_EQ(session("t7", ctok), "5000/7");
  put(idle + "/7.pid");
  EXPECT_EQ(session("t7", ctok), "5000/-2");
  EXPECT_EQ(session("t7", ctok + "/" + std::string(120, 'd')), "-1/-1");
  // A token names a file of its directory and nothing else.
  put(tmp.path + "/outside", "DISPLAY=3\n", 6000);
  for (const char *t : {"../outside", "", ".", ".."}) EXPECT_EQ(session(t, ctok), "-1/-1") << t;
}

TEST_F(Responders, ServerQueryAnsweredFromTheServingInterface) {
  // The sender, 127.0.0.1, is on the nimbar side.
  interface lan = makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN);
  me("198.51.100.10", {lan, makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
  EXPECT_EQ(deliver(serverQMessage, "serverQ=12 x=y\nserverQ=99\n"),
            Replies{"serverR=7f00000a port=7123 seq=12\n"});
  // Its subnet is LAN here: only with LAN_OK, else the host address.
  std::vector<interface> ifs = {makeIf("eth0", "127.0.0.10", "255.0.0.0", LAN),
                                makeIf("nb0", "203.0.113.10", "255.255.255.0", 0)};
  me("203.0.113.10", ifs);
  EXPECT_EQ(deliver(serverQMessage, "serverQ=x9\n"), Replies{"serverR=cb00710a port=7123 seq=0\n"});
  me("203.0.113.10", ifs, TRUSTED | LAN_OK);
  EXPECT_EQ(deliver(serverQMessage, "serverQ=-3\n"), Replies{"serverR=7f00000a port=7123 seq=-3\n"});
  me("198.51.100.10", {lan, makeIf("eth1", "127.0.0.10", "255.0.0.0", LAN)});
  EXPECT_TRUE(deliver(serverQMessage, "serverQ=1\n").empty());
}

}  // namespace
