// responders_test.cc - the answers to peers' token, terminal and server
// queries, and the lookup of a token in the session directories. Replies go
// to a socket of the test's own on 127.0.0.1.
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

typedef void (*Responder)(int, sockaddr_in *, char *, int, int);
const char kTokenR[] = "tokenR= at= hostix= time= dpy= load= sessions= idles= ctoken=";

// The reply's text with every value taken out, to check its shape.
std::string keysOf(const std::string &reply) {
  std::string out;
  for (size_t p = 0; p < reply.size();) {
    size_t eq = reply.find('=', p), sp = reply.find_first_of(" \n", p);
    out += reply.substr(p, std::min(eq, sp) + 1 - p) + " ";
    p = sp + 1;
  }
  return out.substr(0, out.size() - 1);
}

class Responders : public ::testing::Test {
 protected:
  std::string dir, ctok, itok;
  int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in from = {AF_INET, 0, {ip("127.0.0.1")}, {}};
  gm_sessdirs saved = gmSessionDirs;

  void SetUp() override {
    resetGroupState();
    resetSignature();
    params.gmport = 7009;
    char tmpl[] = "/tmp/zvgm-resp-XXXXXX";
    dir = mkdtemp(tmpl);
    ctok = dir + "/ctokens";
    itok = dir + "/itokens";
    for (const char *d : {"/ctokens", "/itokens", "/idle"}) mkdir((dir + d).c_str(), 0700);
    gmSessionDirs = {ctok.c_str(), itok.c_str(), strdup((dir + "/idle").c_str())};
    ASSERT_EQ(bind(rx, (sockaddr *)&from, sizeof from), 0);
    socklen_t len = sizeof from;
    getsockname(rx, (sockaddr *)&from, &len);
  }
  void TearDown() override {
    free((void *)gmSessionDirs.idle);
    gmSessionDirs = saved;
    close(rx);
    close(tx);
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
    resetSignature();
    resetGroupState();
  }
  void file(const std::string &path, const std::string &text, time_t mtime = 0) {
    std::ofstream(path) << text;
    utimbuf t = {mtime, mtime};
    if (mtime != 0) utime(path.c_str(), &t);
  }
  // Hands text to a responder in inbuf, as the loop does; returns the replies.
  std::vector<std::string> deliver(Responder responder, const std::string &text) {
    EXPECT_LT(text.size(), sizeof inbuf);
    memcpy(inbuf, text.c_str(), std::min(text.size() + 1, sizeof inbuf));
    responder(tx, &from, inbuf, (int)text.size(), 0);
    std::vector<std::string> out;
    pollfd p = {rx, POLLIN, 0};
    char b[1600];
    while (poll(&p, 1, 200) > 0)
      out.emplace_back(b, (size_t)std::max(recv(rx, b, sizeof b, 0), (ssize_t)0));
    return out;
  }
  void myInterfaces(const char *hostAddr, int flags, std::vector<interface> ifs) {
    host *m = makeHost("here", hostAddr, flags, ifs.data(), (int)ifs.size());
    free(myhost.hostifs);
    myhost = *m;
    free(m);
  }
};

TEST_F(Responders, TokenLinesAnsweredInOrderFromTheRightDirectory) {
  file(ctok + "/ct1", "USER=x\nDISPLAY=7\n", 1234567);
  file(itok + "/it2", "DISPLAY=3\n", 7654321);
  file(ctok + "/it2", "DISPLAY=9\n", 1);
  auto r = deliver(tokenQMessage,
                   "tokenQ=it1 at=100007f hostix=0 ctoken=ct1\nhost=x at=1 hostix=1\n"
                   "tokenQ=it2 at=200007f hostix=4\ntokenQ=it3 hostix=5\n");  // no at: skipped
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(keysOf(r[0]), kTokenR);
  EXPECT_EQ(keysOf(r[1]), kTokenR);
  EXPECT_EQ(r[0].rfind("tokenR=it1 at=100007f hostix=0 time=1234567 dpy=7 load=", 0), 0u);
  EXPECT_EQ(r[1].rfind("tokenR=it2 at=200007f hostix=4 time=7654321 dpy=3 load=", 0), 0u);
  EXPECT_TRUE(r[0].ends_with(" ctoken=ct1\n"));
  EXPECT_TRUE(r[1].ends_with(" ctoken=\n"));
  char counts[64];  // the local host now shows what was sent
  snprintf(counts, sizeof counts, " sessions=%d idles=%d ", myhost.sessions, myhost.idles);
  EXPECT_NE(r[1].find(counts), std::string::npos) << r[1];
}

TEST_F(Responders, TokensOverSixtyFourAndOverlongEchoesGetNoReply) {
  std::string t64(64, 'a'), t65(65, 'b'), a300(300, '1'), a600(600, '1'), id250(250, 'T');
  LogCapture log;
  auto r =
      deliver(tokenQMessage, "tokenQ=" + t64 + " at=1 hostix=0 ctoken=" + t64 + "\ntokenQ=" + t65 +
                                 " at=1 hostix=1\ntokenQ=x at=1 hostix=2 ctoken=" + t65 + "\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].rfind("tokenR=" + t64 + " at=1 hostix=0 time=-1 dpy=-1 ", 0), 0u);
  EXPECT_NE(log.text().find("c/itoken too long /" + t65.substr(0, 64) + "\n"), std::string::npos);
  EXPECT_NE(log.text().find("c/itoken too long " + t65.substr(0, 64) + "/x\n"), std::string::npos);
  // Replies that would not fit their buffers with a trailer are dropped.
  r = deliver(tokenQMessage,
              "tokenQ=x at=" + a600 + " hostix=1\ntokenQ=x at=1 hostix=" + a600 + "\n");
  r.push_back(deliver(tokenQMessage, "tokenQ=x at=" + a300 + " hostix=2\n").at(0));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(keysOf(r[0]), kTokenR);
  r = deliver(termQMessage,
              "termQ=" + id250 + " at=1 hostix=3\ntermQ=T1 at=5 hostix=3\ntermQ=T2 hostix=4\n");
  EXPECT_EQ(r, std::vector<std::string>{"termR=T1 at=5 hostix=3 has=0\n"});  // no daemon here
}

TEST_F(Responders, SessionFileGivesTimeAndDisplay) {
  int dpy = 5;
  EXPECT_EQ(getSession("none", &dpy, ctok.c_str()), -1);
  EXPECT_EQ(dpy, -1);
  file(ctok + "/nodpy", "USER=x\n", 4000);
  EXPECT_EQ(getSession("nodpy", &dpy, ctok.c_str()), 4000);
  EXPECT_EQ(dpy, -1);
  // A long line comes in pieces; only a line's start can be "DISPLAY=".
  file(ctok + "/t7", std::string(200, 'y') + "DISPLAY=1\nDISPLAY= 7\nDISPLAY=8\n", 5000);
  EXPECT_EQ(getSession("t7", &dpy, ctok.c_str()), 5000);
  EXPECT_EQ(dpy, 7);
  file(dir + "/idle/7.pid", "");
  EXPECT_EQ(getSession("t7", &dpy, ctok.c_str()), 5000);
  EXPECT_EQ(dpy, -2);
  EXPECT_EQ(getSession("t7", &dpy, (ctok + "/" + std::string(120, 'd')).c_str()), -1);
}

TEST_F(Responders, ServerQueryAnsweredFromTheServingInterface) {
  params.gmport = 7123;  // the sender, 127.0.0.1, is on the nimbar side
  myInterfaces("198.51.100.10", TRUSTED,
               {makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN),
                makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
  EXPECT_EQ(deliver(serverQMessage, "serverQ=12 x=y\nserverQ=99\n"),
            std::vector<std::string>{"serverR=7f00000a port=7123 seq=12\n"});
  // Its subnet is LAN here: only with LAN_OK, else the host address.
  myInterfaces("203.0.113.10", TRUSTED,
               {makeIf("eth0", "127.0.0.10", "255.0.0.0", LAN),
                makeIf("nb0", "203.0.113.10", "255.255.255.0", 0)});
  EXPECT_EQ(deliver(serverQMessage, "serverQ=x9\n"),
            std::vector<std::string>{"serverR=cb00710a port=7123 seq=0\n"});
  myhost.flags |= LAN_OK;
  EXPECT_EQ(deliver(serverQMessage, "serverQ=-3\n"),
            std::vector<std::string>{"serverR=7f00000a port=7123 seq=-3\n"});
  myInterfaces("198.51.100.10", TRUSTED,
               {makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN),
                makeIf("eth1", "127.0.0.10", "255.0.0.0", LAN)});
  EXPECT_TRUE(deliver(serverQMessage, "serverQ=1\n").empty());
}

TEST_F(Responders, TokenRepliesSignedServerRepliesNever) {
  if (geteuid() != 0) GTEST_SKIP() << "a secret must belong to root";
  file(dir + "/secret", "s3cret\n");
  chmod((dir + "/secret").c_str(), 0600);
  initSignature((dir + "/secret").c_str());
  myInterfaces("127.0.0.10", TRUSTED, {makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
  auto r = deliver(tokenQMessage, "tokenQ=it at=1 hostix=0\n");
  ASSERT_EQ(r.size(), 1u);
  size_t cut = r[0].find("#sig=");
  ASSERT_NE(cut, std::string::npos) << r[0];
  EXPECT_EQ(keysOf(r[0].substr(0, cut)), kTokenR);
  EXPECT_EQ(r[0].size(), cut + 46);
  EXPECT_EQ(chkSignature(r[0].data()), 1);
  EXPECT_EQ(deliver(serverQMessage, "serverQ=12\n"),
            std::vector<std::string>{"serverR=7f00000a port=7009 seq=12\n"});
}

}  // namespace
