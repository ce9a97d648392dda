// counts_test.cc - session and idle names with the mtime cache, missing
// directories, and the cpuinfo capacity.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "testutil.h"

namespace {

using Counts = GroupTest;

TEST_F(Counts, SessionsIdlesAndCache) {
  std::string d = tmp.path + "/displays", i = tmp.path + "/idle";
  session_cache c = SESSION_CACHE_INIT;
  int t = 0, idle = 0;
  // The displays directory's mtime, then a count as "sessions/idles".
  auto count = [&](time_t mtime) {
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, d.c_str(), ts, 0);
    countSessionsIn(&c, d.c_str(), i.c_str(), &t, &idle);
    return std::to_string(t) + "/" + std::to_string(idle);
  };
  {
    LogCapture log;
    EXPECT_EQ(count(1000), "-1/-1");
    EXPECT_TRUE(log.has("Cannot stat displays directory\n"));
  }
  mkdir(d.c_str(), 0700), mkdir(i.c_str(), 0700);
  for (const char *n : {"0", "1", "12", "abc"}) put(d + "/" + n);
  for (const char *n : {"1.pid", ".pid", "1.pidx", "1"}) put(i + "/" + n);
  EXPECT_EQ(count(1000), "3/2");
  // A new entry behind an unchanged mtime is not seen; a new mtime is.
  put(d + "/7");
  EXPECT_EQ(count(1000), "3/2");
  EXPECT_EQ(count(999), "4/2");
}

TEST_F(Counts, CapacityFromCpuinfo) {
  std::string path = tmp.path + "/cpuinfo";
  // The file's result as "rc cpus total".
  auto capacity = [&](const std::string &text) {
    int n = -1, total = -1;
    put(path, text);
    int rc = capacityFrom(path.c_str(), &n, &total);
    return std::to_string(rc) + " " + std::to_string(n) + " " + std::to_string(total);
  };
  // The unreadable clock counts a processor and adds 0.
  EXPECT_EQ(capacity("processor\t: 0\ncpu MHz\t\t: 2394.230\nprocessor\t: 1\ncpu MHz\t\t: 2400.000\n"
                     "cpu MHz\t\t: unknown\n"), "0 3 4794");
  // A file of 10240 bytes or more is not a cpuinfo (nor an empty one:
  // cpuinfo_fuzz).
  std::string line = "cpu MHz\t\t: 1000\n";
  EXPECT_EQ(capacity(line + std::string(10239 - line.size(), ' ')), "0 1 1000");
  EXPECT_EQ(capacity(line + std::string(10240 - line.size(), ' ')), "-1 0 0");
}

}  // namespace
