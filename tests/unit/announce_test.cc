// announce_test.cc - the exact announcement text, its round trip into a
// peer's table, the table rules, odd values clamped and what makes no record
// (random damage against the table's invariants is announce_fuzz's part).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "testutil.h"

namespace {

const char kHere[] =
    "host=here addr=a000001 time=1100000000 numifs=2 flags=6 cpus=2 clock=2394 "
    "period=20 starttime=1099990000 load=0.3\n"
    "interface=eth0 ip=c633640a mask=ffffff00 bcast=c63364ff flags=1\n"
    "interface=eth1 ip=cb00710a mask=ffffff00 bcast=cb0071ff flags=0\n"
    "sessions=3 idles=1\n";

// A peer reached on 127.0.0.1 (where the test datagrams come from) and on
// 198.51.100.20.
std::string peer(const std::string &name, const std::string &extra = "") {
  return "host=" + name + " addr=c6336414 time=1100000030 numifs=2" + extra + "\n"
         "interface=lo ip=7f000001 mask=ff000000 bcast=7fffffff flags=1\n"
         "interface=eth0 ip=c6336414 mask=ffffff00 bcast=c63364ff flags=0\n"
         "sessions=4 idles=2\n";
}

// The announcement h would send now.
std::string written(const host *h) {
  host saved = std::exchange(myhost, *h);
  makeHostMessage(bcastbuf, GM_BUFSIZE);
  myhost = saved;
  return bcastbuf;
}

class Announce : public GroupTest {
 protected:
  void SetUp() override {
    gmSys.now = fakeClock, fakeNow = 1100000000;
    // The local host 10.0.0.1, with a LAN and a nimbar interface.
    addHost("here", "10.0.0.1", TRUSTED | LAN_OK, {makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN),
                                                    makeIf("eth1", "203.0.113.10", "255.255.255.0", 0)});
    myhost.numcpus = 2, myhost.meanclock = 2394, myhost.starttime = 1099990000;
    myhost.load = 0.3f, myhost.sessions = 3, myhost.idles = 1;
  }
  void TearDown() override { close(sock_), close(peer_); }
  // Hands text to hostMessage from the peer socket unless told otherwise.
  void receive(const std::string &text, int trusted = 1, const char *src = nullptr) {
    sockaddr_in f = from_;
    if (src != nullptr) f.sin_addr.s_addr = ip(src);
    handTo(hostMessage, sock_, &f, text, trusted);
  }
  // Each peer as "name flags timeoff", then the replies the peer socket got.
  std::string table() {
    std::string s;
    for (int i = 1; i < numhosts; i++)
      s += std::string(hostList[i]->name) + " " + std::to_string(hostList[i]->flags) + " " +
           std::to_string(hostList[i]->timeoff) + ", ";
    return s + std::to_string(received(peer_, 0).size()) + " replies";  // loopback delivers at once
  }
  sockaddr_in from_;
  int sock_ = loopbackSocket(), peer_ = loopbackSocket(SOCK_DGRAM, &from_);
};

TEST_F(Announce, RoundTripAndTableRules) {
  makeHostMessage(bcastbuf, GM_BUFSIZE);
  EXPECT_STREQ(bcastbuf, kHere);
  EXPECT_EQ(myhost.lastseen, fakeNow);
  strcpy(myhost.name, "there");  // and hear it as a peer
  fakeNow -= 30;  // the sender's clock is 30 s ahead
  receive(kHere);
  ASSERT_EQ(table(), "here 6 30, 1 replies");  // a first-time reply, to the source port
  fakeNow += 30;
  EXPECT_EQ(written(hostList[1]), kHere);

  receive(peer("peer", " flags=7"), 0);  // the claim of TRUSTED is not kept
  EXPECT_EQ(table(), "here 6 30, peer 3 30, 1 replies");
  receive(peer("peer", " flags=3"), 1);  // again: same slot, no reply
  receive(peer("there"));  // our own, come back
  EXPECT_EQ(table(), "here 6 30, peer 7 30, 0 replies");
  // What an announcement leaves out keeps the defaults of an unheard peer.
  receive("host=bare addr=a000002 time=1100000000 numifs=0\n", 1);
  ASSERT_EQ(numhosts, 4);
  EXPECT_EQ(written(hostList[3]), "host=bare addr=a000002 time=1100000000 numifs=0 flags=4 cpus=1 "
                                  "clock=200 period=20 starttime=0 load=-1.0\nsessions=-1 idles=-1\n");
}

TEST_F(Announce, InterfacesKeepWhatTheyWereLastHeard) {
  auto ifs = [] {  // "seconds since the start or never / timed out" of each
    std::string s;
    for (interface *i = hostList[1]->hostifs; i < hostList[1]->hostifs + 2; i++)
      s += (i->lastpkt ? std::to_string(i->lastpkt - 1100000000) : "never") + "/" + std::to_string(i->tqTimedout) + " ";
    return s;
  };
  receive(peer("p"));  // from 127.0.0.1, its first interface
  EXPECT_EQ(ifs(), "0/0 never/1 ");
  fakeNow += 20;
  receive(peer("p"), 1, "198.51.100.20");
  EXPECT_EQ(ifs(), "0/0 20/0 ");
  hostList[1]->hostifs[0].tqTimedout = 1;  // a query through it went unanswered
  receive(peer("p"), 1, "198.51.100.20");
  EXPECT_EQ(ifs(), "0/1 20/0 ");
}

// A full table refuses a newcomer, except that with a secret loaded a trusted
// one takes the slot of the untrusted peer heard least recently, also one
// that lost its trust. The refusal's line is written once per
// interval however often it repeats.
TEST_F(Announce, HostLimit) {
  struct Case {
    const char *what;
    bool secret;
    int untrusted;  // fillers h1..h99: all (99), none (0) or only h50 (50)
    bool h50WasTrusted, lateTrusted;
    int slot;  // where "late" lands, -1 refused
  } cases[] = {
      {"no secret: the rule as ever", false, 99, false, true, -1},
      {"no untrusted peer", true, 0, false, true, -1},
      {"untrusted newcomer", true, 99, false, false, -1},
      {"oldest untrusted gives way", true, 99, false, true, 50},
      {"a peer that lost its trust gives way too", true, 50, true, true, 50},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    resetGroupState(), resetSignature();
    if (c.secret) loadSecret("s");
    fakeNow += 100;
    addHost("here", "10.0.0.1", TRUSTED | LAN_OK);
    for (int i = 1; i < MAXHOSTS; i++) {
      bool untrusted = c.untrusted == 99 || (c.untrusted == 50 && i == 50);
      addHost(("h" + std::to_string(i)).c_str(), "198.51.100.1", untrusted ? 0 : TRUSTED)->lastseen =
          fakeNow - (i == 50 ? 60 : 10);
    }
    // h50 signed once, then lost the secret: its unsigned announcement is
    // stored only once it is not alive.
    if (c.h50WasTrusted) receive(peer("h50"), 1), fakeNow += 3 * 20 + 1, receive(peer("h50"), 0);
    received(peer_, 0);
    LogCapture log;
    receive(peer("late"), c.lateTrusted);
    host **at = findHostbyName("late");
    EXPECT_EQ(at ? (int)(at - hostList) : -1, c.slot);
    EXPECT_EQ(findHostbyName("h50") == nullptr, c.slot == 50);
    EXPECT_EQ(received(peer_, 0).size(), c.slot < 0 ? 0u : 1u);  // the first-time reply
    EXPECT_EQ(log.has("Too many hosts in group. Increase MAXHOSTS\n"), c.slot < 0);
    EXPECT_EQ(log.has("h50") && log.has("late"), c.slot == 50);
    // The slot keeps no mark of h50, whose time (the same as late's) was
    // taken 61 s ago: late's copy from another interface is taken.
    if (c.slot == 50) receive(peer("late"), 1);
    EXPECT_EQ(refusedAnnouncements(GM_REPLAY), 0u);
  }
  receive(peer("h99", " cpus=8"));  // known hosts are still refreshed
  EXPECT_EQ(hostList[99]->numcpus, 8);
}

// The verdict on one announcement, case by case. The member's mark: start
// S = 1000, time T = 5000, highest time Thw = 6000, T first taken at F.
// (Unsigned once the name is dead, an older time, a replay over an
// untrusted record: RefusedAnnouncementsMoveNothing, in the table.)
TEST_F(Announce, VerdictOnImpersonationsAndReplays) {
  const time_t F = fakeNow, alive = F + 60;  // period 20
  const gm_trustmark mark{1, 1000, 5000, 6000, F};
  struct Case {
    const char *what;
    int secret, trusted, storedTrusted, start, time;
    time_t now;
    gm_verdict want;
  } cases[] = {
      {"no secret: everything is taken", 0, 0, 1, 1000, 4000, F, GM_TAKE},
      {"unsigned under a trusted live name", 1, 0, 1, 1000, 5001, alive, GM_IMPERSONATION},
      {"unsigned over an untrusted record", 1, 0, 0, 1000, 5001, alive, GM_TAKE},
      {"restart: taken at once, whatever its time", 1, 1, 1, 1001, 10, F + 5, GM_TAKE},
      {"newer time", 1, 1, 1, 1000, 5001, F + 20, GM_TAKE},
      {"same sending on another interface", 1, 1, 1, 1000, 5000, F + 1, GM_TAKE},
      {"same sending replayed later", 1, 1, 1, 1000, 5000, F + 2, GM_REPLAY},
      {"same sending while our clock is behind F", 1, 1, 1, 1000, 5000, F - 1, GM_REPLAY},
      {"an earlier run", 1, 1, 1, 999, 5999, F + 20, GM_REPLAY},
      {"restarted with its clock set back, past Thw", 1, 1, 1, 999, 6001, F + 20, GM_TAKE},
  };
  for (const Case &c : cases) {
    host stored{}, h{};
    stored.flags = c.storedTrusted ? TRUSTED : 0, stored.period = 20, stored.lastseen = F;
    h.starttime = c.start, h.lastseen = c.now, h.timeoff = (int)(c.time - c.now);
    EXPECT_EQ(judgeAnnouncement(&mark, &stored, &h, c.trusted, c.secret, c.now), c.want) << c.what;
  }
  // The 32-bit clocks wrap: a start just past the wrap is after one before.
  gm_trustmark late{1, INT32_MAX - 5, INT32_MAX - 5, INT32_MAX - 5, F};
  host h{};
  h.starttime = INT32_MIN + 5, h.lastseen = F, h.timeoff = (int)(INT32_MIN + 5 - F);
  EXPECT_EQ(judgeAnnouncement(&late, nullptr, &h, 1, 1, F), GM_TAKE);
  EXPECT_EQ(judgeAnnouncement(nullptr, nullptr, &h, 1, 1, F), GM_TAKE);  // nothing known yet

  // Taking: only trusted announcements move the mark; F follows a new time
  // only, and Thw never falls.
  gm_trustmark m = mark;
  h.starttime = 1000, h.lastseen = F + 40, h.timeoff = 5000 - (int)(F + 40);
  noteAnnouncement(&m, &h, 0, F + 40);
  EXPECT_EQ(m.first, F);
  noteAnnouncement(&m, &h, 1, F + 40);
  EXPECT_TRUE(m.first == F && m.time == 5000 && m.highest == 6000);
  h.starttime = 2000, h.timeoff = 100 - (int)(F + 40);
  noteAnnouncement(&m, &h, 1, F + 41);
  EXPECT_TRUE(m.first == F + 41 && m.start == 2000 && m.time == 100 && m.highest == 6000);
}

// The verdict in the table: with a secret loaded, an unsigned announcement
// under a live member's name and a signed one replayed move nothing, are
// counted and said once per interval; the rules hold for each slot's name.
TEST_F(Announce, RefusedAnnouncementsMoveNothing) {
  loadSecret("s");
  auto at = [&](int start, long time) {  // peer p at its clock `time`
    return "host=p addr=c6336414 time=" + std::to_string(time) + " numifs=1 starttime=" +
           std::to_string(start) + " load=" + std::to_string(time % 10) + "\n"
           "interface=lo ip=7f000001 mask=ff000000 bcast=7fffffff flags=1\n";
  };
  receive(at(1, fakeNow), 1);
  time_t heard = fakeNow;
  LogCapture log;
  fakeNow += 5;
  for (int i = 0; i < 3; i++) receive(at(1, fakeNow + i), 0);
  EXPECT_TRUE(hostList[1]->flags & TRUSTED);
  EXPECT_EQ(hostList[1]->lastseen, heard);
  EXPECT_EQ(refusedAnnouncements(GM_IMPERSONATION), 3u);
  EXPECT_TRUE(log.has("Announcement of p from 127.0.0.1 refused: it fails the signature check"));

  receive(at(1, heard), 1);  // replayed 5 s later
  receive(at(1, heard - 3), 1);
  EXPECT_EQ(hostList[1]->lastseen, heard);
  EXPECT_EQ(refusedAnnouncements(GM_REPLAY), 2u);
  std::string t = log.text();
  EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 2) << t;  // one line per kind and interval

  receive(at(1, fakeNow + 1), 1);  // the member's next: taken
  EXPECT_TRUE(hostList[1]->lastseen == fakeNow && hostList[1]->load == (float)((fakeNow + 1) % 10));
  // Dead for 3 periods: an unsigned one is stored, untrusted; a signed
  // replay still finds the bar of the last trusted one.
  fakeNow += 61;
  receive(at(1, fakeNow), 0);
  EXPECT_FALSE(hostList[1]->flags & TRUSTED);
  receive(at(1, heard + 5), 1);
  EXPECT_FALSE(hostList[1]->flags & TRUSTED);
  EXPECT_EQ(refusedAnnouncements(GM_REPLAY), 3u);
}

TEST_F(Announce, TooManyInterfacesStillEndWithSessionsAndTrailer) {
  loadSecret("");
  interface wide = makeIf("nimbar100000000", "255.255.255.255", "255.255.255.255");  // the longest line
  numhosts = 0, addHost("here", "10.0.0.1", 0, std::vector<interface>(MAXFDS, wide));
  myhost.sessions = 3, myhost.idles = 1;
  LogCapture log(1);
  std::string text = written(&myhost);
  EXPECT_TRUE(log.has("Too many interfaces - some not listed\n") && contains(text, " numifs=32 "));
  EXPECT_EQ(text.find("\nsessions=3 idles=1\n#sig="), text.size() - 20 - GM_SIGLEN);
  EXPECT_EQ(chkSignature(bcastbuf), 1);
}

TEST_F(Announce, OddValuesAreReadAsAPeerReadsThemAndClamped) {
  // Leading numbers are taken, the rest of a value ignored; out of range is
  // clamped, never a reason to lose the peer.
  receive("host=p addr=0xa000001 time=1100000030junk numifs=99 flags=123456789 cpus=2048 clock= "
          "period=-5 starttime=12x load=0,3\n"
          "interface=e ip=7f000001zz mask=ffffff00 bcast= flags=1\nsessions=-7 idles=3.9\n");
  receive("host=q addr=1 time=1 numifs=0 cpus=99999 clock=-3 load=nan\nsessions=5\n");
  receive("host=r addr=1 time=1 numifs=0 load=1e9 period=99999999999\n");
  ASSERT_EQ(numhosts, 4);
  EXPECT_EQ(hostList[1]->timeoff, 30);
  EXPECT_EQ(written(hostList[1]), "host=p addr=a000001 time=1100000000 numifs=1 flags=ffffffff cpus=2048 clock=0 "
                                  "period=0 starttime=12 load=0.0\n"
                                  "interface=e ip=7f000001 mask=ffffff00 bcast=0 flags=1\nsessions=-1 idles=3\n");
  EXPECT_TRUE(contains(written(hostList[2]), " cpus=16384 clock=0 period=20 starttime=0 load=-1.0\nsessions=5 "));
  EXPECT_TRUE(contains(written(hostList[3]), " period=2147483647 starttime=0 load=1000000.0\n"));
}

TEST_F(Announce, BadInputIsRejectedOrTrimmed) {
  const char *rejected[] = {
      "\n\n", "sessions=3\n", "interface=eth0 ip=1\nhost=p addr=1 time=1 numifs=1\n",
      "host=p addr=1 time=1\n", "host=p time=1 numifs=0\n", "host=p addr=1 numifs=0\n",
      "host= addr=1 time=1 numifs=0\n"};
  for (const char *t : rejected) receive(t);
  EXPECT_EQ(table(), "0 replies");

  // Names are cut; numifs is trimmed to the lines received; lines past numifs
  // and everything from a second host line on are ignored.
  std::string name(100, 'n'), ifname(40, 'i');
  receive("host=" + name + " addr=1 time=1 numifs=3\ninterface=" + ifname + " ip=1\n");
  receive("host=q addr=2 time=1 numifs=1\ninterface=a\ninterface=b\nhost=r addr=3 time=1 numifs=0\nsessions=9");
  ASSERT_EQ(numhosts, 3);
  host *h = hostList[1], *q = hostList[2];
  EXPECT_EQ(h->name + (" " + std::to_string(h->numifs)) + h->hostifs[0].name + " " + std::to_string(q->numifs) +
                q->hostifs[0].name + std::to_string(q->sessions),
            name.substr(0, 63) + " 1" + ifname.substr(0, 15) + " 1a-1");
}

}  // namespace
