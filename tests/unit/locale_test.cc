// locale_test.cc - the group's decimals keep their point when the daemon's
// process runs in a locale whose decimal separator is a comma (the JVM sets
// the process locale from the environment).
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include "testutil.h"

class CommaLocale : public GroupTest {
 protected:
  void SetUp() override {
    // localedef warns about the charmap and exits 1; the locale is built.
    (void)system(("localedef -c -i de_DE -f UTF-8 " + tmp.path + "/de_DE.UTF-8 >/dev/null 2>&1").c_str());
    setenv("LOCPATH", tmp.path.c_str(), 1);
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "localedef (package locales) failed";
    char probe[8];
    snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_STREQ(probe, "0,5");  // the trap is set
  }
  void TearDown() override { setlocale(LC_ALL, "C"), unsetenv("LOCPATH"); }
};

TEST_F(CommaLocale, AnnouncementsAndLinesKeepThePoint) {
  params.gmport = 7009;
  addHost("here", "198.51.100.10", TRUSTED);
  myhost.load = 0.3f, myhost.sessions = 2, myhost.idles = 1;
  char line[512];
  makeHostMessage(bcastbuf, GM_BUFSIZE), groupLoadLine(0, line);
  EXPECT_TRUE(contains(bcastbuf, " load=0.3\n") && !strcmp(line, "sessions 2 idles 1 load 0.3\n")) << bcastbuf << line;

  // A peer's announcement with a point is taken, load and all.
  sockaddr_in from = {};
  handTo(hostMessage, -1, &from, "host=peer addr=c633640b time=1 numifs=0 load=2.5\n", 1);
  EXPECT_TRUE(numhosts == 2 && hostList[1]->load == 2.5f);
}
