// flood_test.cc - the group under floods of bad datagrams, with light servers
// in the testbed: a table filled with forged names still takes a real server
// that starts, and a flooded server keeps its members and answers lookups.
// The flood's rate is ZVFLOOD_RATE datagrams/s (default 3000).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "wire.h"

using namespace tb;
using namespace tb::common;

namespace {

int floodRate() {
  const char *r = getenv("ZVFLOOD_RATE");
  return r != nullptr && atoi(r) > 0 ? atoi(r) : 3000;
}

const std::string kSecret = "flood group secret\n";

// The flood generator in the observer, for at most seconds.
std::unique_ptr<Child> flood(Testbed &tb, const std::string &kind, const std::string &dest,
                             int rate, int seconds, const std::string &names = "1000") {
  return std::make_unique<Child>(
      std::vector<std::string>{ZVTB_SCRIPT, "exec", "obs", ZVTB_FLOOD, kind, dest, "7009",
                               std::to_string(rate), std::to_string(rate * seconds),
                               std::to_string(seconds), names, "forged"},
      false, tb.dir() + "/flood-" + kind + ".err");
}

// Lines that server name's daemon wrote to its log (standard error) so far
// in the running test.
long logLines(const std::string &name) {
  const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
  std::ifstream in(std::string(ZVTB_LOGS) + "/" + t->test_suite_name() + "." + t->name() + "/" + name +
                   ".err");
  return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
}

// Whether d lists every one of names as trusted and heard within 3 periods
// (beside any number of forged names).
bool allAlive(Daemon &d, const std::vector<std::string> &names) {
  std::vector<HostView> hs = d.status();
  for (const std::string &n : names) {
    const HostView *h = findHost(hs, n);
    if (h == nullptr || !h->has("TRUSTED")) return false;
    if (n != d.name() && (h->ifs.empty() || h->ifs[0].lastpkt > 3 * kPeriod)) return false;
  }
  return true;
}

}  // namespace

// 99 forged names fill alpha's and bravo's tables; charlie, holding the
// secret, starts and is in every table within 2 intervals. Then alpha is
// flooded with every kind of bad datagram in turn: every member stays alive
// in its table, it stays alive in bravo's, its lookups still find the
// session on bravo, and its log takes no more than the burst and a count
// line per interval for each kind of line the flood causes.
TEST(Flood, ForgedNamesGiveWayAndTheLoopHolds) {
  REQUIRE_LIGHT_TESTBED();
  const std::vector<std::string> names{"alpha", "bravo", "charlie"};
  Testbed tb(names, false, Kind::light);
  ASSERT_TRUE(tb.ok());
  tb.addSession("bravo", "c-bravo", 3);
  for (const char *n : {"alpha", "bravo"})
    ASSERT_NE(startSigned(tb, n, kSecret, {"allowLANConnections=true"}), nullptr) << n;
  Daemon &alpha = *tb.daemon("alpha"), &bravo = *tb.daemon("bravo");
  {
    SCOPED_TRACE("a table of forged names");
    auto f = flood(tb, "unsigned", "224.101.101.101", 200, 40, "99");
    for (Daemon *d : {&alpha, &bravo})
      ASSERT_TRUE(Testbed::waitFor(
          [&] {  // the count waits out the start-up grace
            return d->ask("numhosts", 30000) == std::vector<std::string>{"numhosts 100"};
          },
          30000))
          << d->name() << " never filled up";
    ASSERT_NE(startSigned(tb, "charlie", kSecret, {"allowLANConnections=true"}), nullptr);
    EXPECT_TRUE(Testbed::waitFor(
        [&] {
          for (const std::string &n : names)
            if (!allAlive(*tb.daemon(n), names)) return false;
          return true;
        },
        2 * kPeriod * 1000));
    EXPECT_EQ(alpha.ask("numhosts"), std::vector<std::string>{"numhosts 100"});
  }

  SCOPED_TRACE("alpha flooded with every kind of bad datagram");
  const int kSeconds = 6 * kPeriod;
  long lines0 = logLines("alpha");
  auto f = flood(tb, "mix", tb.ip("alpha"), floodRate(), kSeconds);
  auto t0 = std::chrono::steady_clock::now();
  int rounds = 0;
  while (since(t0) < kSeconds - 1) {
    EXPECT_TRUE(allAlive(alpha, names)) << "round " << rounds;
    EXPECT_TRUE(allAlive(bravo, {"alpha"})) << "round " << rounds;
    EXPECT_EQ(named(tb, lookups(alpha, 1, "c-bravo", 20000)[0].answer, names), "bravo") << "round " << rounds;
    rounds++;
  }
  std::string report;
  EXPECT_TRUE(f->readLine(&report, 20000)) << "the flood did not end by itself";
  printf("[ figure   ] %s\n", report.c_str());
  EXPECT_GE(rounds, 3);
  // The count lines of the last interval come at the refresh after it.
  std::this_thread::sleep_for(std::chrono::seconds(2 * kPeriod + 1));
  // The mix causes three kinds of line: the table-full line, mkKeyPairs's
  // and the over-long token's. An interval begun near the flood's start or
  // end may fall partly outside it.
  const long kKinds = 3, kBurst = 10, kIntervals = kSeconds / kPeriod + 2;
  long written = logLines("alpha") - lines0;
  printf("[ figure   ] alpha's log during the flood: %ld lines, %.1f per interval of %d s\n", written,
         written * (double)kPeriod / kSeconds, kPeriod);
  EXPECT_LE(written, kKinds * (kBurst + 1) * kIntervals);
  EXPECT_GE(written, kBurst) << "the flood caused no line at all";
}
