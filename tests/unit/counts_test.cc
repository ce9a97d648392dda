// counts_test.cc - session and idle names with the mtime cache, missing
// directories, and the cpuinfo capacity.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "testutil.h"

namespace {

using Counts = GroupTest;

TEST_F(Counts, SessionsIdlesCacheAndCapacity) {
  std::string d = tmp.path + "/displays", i = tmp.path + "/idle";
  session_cache c = SESSION_CACHE_INIT;
  int t = 0, idle = 0;
  // The displays directory's mtime, then a count as "sessions/idles".
  auto count = [&](time_t mtime) {
    // No file is written to d/.: only the directory's own times are set.
    put(d + "/.", "", mtime), countSessionsIn(&c, d.c_str(), i.c_str(), &t, &idle);
    return std::to_string(t) + "/" + std::to_string(idle);
  };
  EXPECT_EQ(count(1000), "-1/-1");  // its line: the LogRate test
  mkdir(d.c_str(), 0700), mkdir(i.c_str(), 0700);
  for (const char *n : {"0", "1", "12", "abc"}) put(d + "/" + n);
  for (const char *n : {"1.pid", ".pid", "1.pidx", "1"}) put(i + "/" + n);
  // A new entry behind an unchanged mtime is not seen; a new mtime is.
  std::string seen = count(1000);
  seen += (put(d + "/7"), " " + count(1000));
  EXPECT_EQ(seen + " " + count(999), "3/2 3/2 4/2");

  std::string path = tmp.path + "/cpuinfo", line = "cpu MHz\t\t: 1000\n";
  // The file's result as "rc cpus total".
  auto capacity = [&](const std::string &text) {
    int n = -1, total = -1, rc = (put(path, text), capacityFrom(path.c_str(), &n, &total));
    return std::to_string(rc) + " " + std::to_string(n) + " " + std::to_string(total) + ",";
  };
  // The unreadable clock counts a processor and adds 0. A file of 10240
  // bytes or more is not a cpuinfo (nor an empty one: cpuinfo_fuzz).
  EXPECT_EQ(capacity("processor\t: 0\ncpu MHz\t\t: 2394.230\nprocessor\t: 1\ncpu MHz\t\t: 2400.000\n"
                     "cpu MHz\t\t: unknown\n") + capacity(line + std::string(10239 - line.size(), ' ')) +
                capacity(line + std::string(10240 - line.size(), ' ')), "0 3 4794,0 1 1000,-1 0 0,");
}

}  // namespace
