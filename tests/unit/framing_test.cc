// framing_test.cc - the line reader (pieces, refills, end of file) and the
// in-place key=value split that every group message goes through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/support.h"
#include "testutil.h"

namespace {

// Reads every line of text through a reader with a buffer of size bytes.
std::vector<std::string> readAll(const std::string &text, int size) {
  char path[] = "/tmp/zvgm-xfile-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
  lseek(fd, 0, SEEK_SET);
  XFILE *xp = xfdropen(fd);
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  while (xgets(buf.data(), size, xp) != nullptr) lines.emplace_back(buf.data());
  // The end sticks: text appended now is never read.
  EXPECT_EQ(write(fd, "late\n", 5), 5);
  EXPECT_EQ(xgets(buf.data(), size, xp), nullptr);
  xclose(xp);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed with the reader
  unlink(path);
  return lines;
}

TEST(Xgets, SplitsLinesAcrossPiecesAndRefills) {
  using V = std::vector<std::string>;
  std::string x199(199, 'x');
  EXPECT_EQ(readAll(x199 + "\ntail", 128),
            (V{std::string(127, 'x'), std::string(72, 'x') + "\n", "tail"}));
  // 1500 characters cross the 1024-byte buffer; a NUL ends a line early.
  std::string b1499(1499, 'b');
  EXPECT_EQ(readAll("a\n" + b1499 + "\nx" + std::string(1, '\0') + "y\n", 2048),
            (V{"a\n", b1499 + "\n", "x", "y\n"}));
  EXPECT_EQ(readAll("", 16), V{});
}

struct Parsed {
  int n;
  char *keys[GM_MAXPAIRS + 1];
  char *vals[GM_MAXPAIRS];
  explicit Parsed(char *text, int max = GM_MAXPAIRS) {
    for (auto &k : keys) k = (char *)"unset";
    n = mkKeyPairs(text, keys, vals, max);
  }
};

TEST(MkKeyPairs, SplitsOneLineInPlace) {
  char text[] = "host=alpha addr=a000001 numifs=2\ninterface=eth0\n";
  Parsed p(text);
  ASSERT_EQ(p.n, 3);
  EXPECT_EQ(p.keys[0], text);
  EXPECT_STREQ(p.vals[0], "alpha");
  EXPECT_STREQ(p.keys[1], "addr");
  EXPECT_STREQ(p.vals[1], "a000001");
  EXPECT_STREQ(p.keys[2], "numifs");
  EXPECT_STREQ(p.vals[2], "2");
  EXPECT_EQ(p.keys[3], nullptr);
  EXPECT_STREQ(text + 33, "interface=eth0\n");  // the next line is untouched

  // a=b=c, =x and a bare flag; CR before the newline; high bytes in tokens.
  char shapes[] = "  a=b=c\t=x flag k=\xa0v\r\n";
  Parsed s(shapes);
  ASSERT_EQ(s.n, 4);
  EXPECT_STREQ(s.keys[0], "a");
  EXPECT_STREQ(s.vals[0], "c");
  EXPECT_STREQ(s.keys[1], "");
  EXPECT_STREQ(s.vals[1], "x");
  EXPECT_STREQ(s.keys[2], "flag");
  EXPECT_STREQ(s.vals[2], "");
  EXPECT_STREQ(s.vals[3], "\xa0v");
  EXPECT_EQ(s.keys[4], nullptr);

  char blank[] = " \t\r\v\f\n", empty[] = "";
  EXPECT_EQ(Parsed(blank).n, 0);
  EXPECT_EQ(Parsed(empty).keys[0], nullptr);
}

TEST(MkKeyPairs, TooManyPairsKeepsTheFirstAndLogs) {
  LogCapture log;
  char fits[] = "a=1 b=2\n";
  EXPECT_EQ(Parsed(fits, 2).keys[2], nullptr);
  EXPECT_EQ(log.text(), "");

  char text[] = "a=1 b=2 c=3\n";
  Parsed p(text, 2);
  EXPECT_EQ(p.n, 2);
  EXPECT_STREQ(p.vals[1], "2");
  EXPECT_STREQ(p.keys[2], "unset");  // no end mark: the line did not end
  EXPECT_STREQ(text + 8, "c=3\n");
  EXPECT_NE(log.text().find("mkKeyPairs: too many pairs\n"), std::string::npos);
}

}  // namespace
