// framing_test.cc - the line reader (pieces, refills, end of file) and the
// in-place key=value split that every group message goes through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "testutil.h"

namespace {

// Reads every line of text through a reader with a buffer of size bytes.
std::vector<std::string> readAll(const std::string &text, int size) {
  int fd = open(writeTemp(text).c_str(), O_RDWR);
  XFILE *xp = xfdropen(fd);
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  while (xgets(buf.data(), size, xp) != nullptr) lines.emplace_back(buf.data());
  // The end sticks: a line that turns up behind it now is never read.
  EXPECT_EQ(write(fd, "late\n", 5), 5);
  lseek(fd, -5, SEEK_CUR);
  EXPECT_EQ(xgets(buf.data(), size, xp), nullptr);
  xclose(xp);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed with the reader
  return lines;
}

// The same through a reader on the stack whose reads each return one piece
// (one packet of a socket pair), as a pipe may.
std::vector<std::string> readPieces(const std::vector<std::string> &pieces, int size) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
  for (const std::string &p : pieces) EXPECT_EQ(write(sv[1], p.data(), p.size()), (ssize_t)p.size());
  close(sv[1]);
  XFILE xf;
  xfdinit(&xf, sv[0]);
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  while (xgets(buf.data(), size, &xf) != nullptr) lines.emplace_back(buf.data());
  close(sv[0]);
  return lines;
}

TEST(Xgets, SplitsLinesAcrossPiecesAndRefills) {
  using V = std::vector<std::string>;
  // 1500 characters cross the 1024-byte buffer (a short fuzz run rarely
  // gets inputs that long); a NUL ends a line early; an empty file has no
  // line, not an empty one. Lines cut at the size: xfile_fuzz checks every
  // byte of any file.
  std::string b1499(1499, 'b');
  EXPECT_EQ(readAll("a\n" + b1499 + "\nx" + std::string(1, '\0') + "y\n", 2048),
            (V{"a\n", b1499 + "\n", "x", "y\n"}));
  EXPECT_EQ(readAll("", 16), V{});
  EXPECT_EQ(readPieces({"USER=x\nDISP", "LAY=7\nab", "c\n", "tail"}, 128),
            (V{"USER=x\n", "DISPLAY=7\n", "abc\n", "tail"}));
  EXPECT_EQ(readPieces({std::string(100, 'x'), std::string(100, 'y') + "\n"}, 128),
            (V{std::string(100, 'x') + std::string(27, 'y'), std::string(73, 'y') + "\n"}));
}

// The pairs of one line as "key=val|...", plus "$" when the end mark follows.
std::string pairs(std::string text, int max) {
  static char unset[] = "unset";
  char *keys[GM_MAXPAIRS + 1], *vals[GM_MAXPAIRS];
  for (auto &k : keys) k = unset;
  int n = mkKeyPairs(text.data(), keys, vals, max);
  std::string out;
  for (int i = 0; i < n; i++) out += std::string(keys[i]) + "=" + vals[i] + "|";
  return out + (keys[n] == nullptr ? "$" : "");
}

TEST(MkKeyPairs, SplitsOneLine) {
  LogCapture log;
  const int kAll = GM_MAXPAIRS;
  struct { const char *text; int max; const char *want; } cases[] = {
      {"host=alpha addr=a000001 numifs=2\nnext=line\n", kAll, "host=alpha|addr=a000001|numifs=2|$"},
      {"  a=b=c\t=x flag k=\xa0v\r\n", kAll, "a=c|=x|flag=|k=\xa0v|$"},
      {" \t\r\v\f\n", kAll, "$"}, {"", kAll, "$"},
      {"a=1 b=2\n", 2, "a=1|b=2|$"},
      {"a=1 b=2 c=3\n", 2, "a=1|b=2|"},  // too many: the line has not ended
  };
  for (auto &c : cases) EXPECT_EQ(pairs(c.text, c.max), c.want) << c.text;
  EXPECT_TRUE(contains(log.text(), "mkKeyPairs: too many pairs\n"));
  EXPECT_EQ(log.text().find("pairs"), log.text().rfind("pairs"));  // only once
}

}  // namespace
