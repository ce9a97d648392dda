// xfile_fuzz.cc - fuzz target for the line reader (xgets over a descriptor):
// bytes 0-1 give the line size and whether a time-out is set, the rest is the
// file. Every byte must come back once, in order, in lines of the size.
#define _GNU_SOURCE 1
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  int lineSize = (data[0] | (data[1] & 0x07) << 8) + 1;  // 1 .. 2048
  const uint8_t *text = data + 2;
  size_t len = size - 2;
  int fd = memfd_create("xfile", 0);
  FUZZ_CHECK(fd >= 0 && write(fd, text, len) == (ssize_t)len && lseek(fd, 0, SEEK_SET) == 0);
  XFILE *xp = xfdropen(fd);
  FUZZ_CHECK(xp != nullptr);
  if (data[1] & 0x80) xp->timeout_ms = 1;
  std::vector<char> line((size_t)lineSize + 1);
  size_t pos = 0;
  while (xgets(line.data(), lineSize, xp) != nullptr) {
    size_t n = strlen(line.data());
    FUZZ_CHECK(n <= (size_t)lineSize - 1 && pos + n <= len && memcmp(line.data(), text + pos, n) == 0);
    // A line ends at a newline, at a NUL byte (taken but not shown), at the
    // size, or at the end of the file.
    if (n > 0 && line[n - 1] == '\n') {
      FUZZ_CHECK(memchr(line.data(), '\n', n - 1) == nullptr);
    } else if (pos + n < len && text[pos + n] == '\0' && n < (size_t)lineSize - 1) {
      n++;
    } else {
      FUZZ_CHECK(n == (size_t)lineSize - 1 || pos + n == len);
    }
    FUZZ_CHECK(lineSize > 1 || n == 0);
    pos += n;
    if (lineSize == 1) break;  // no room for a character: nothing is read
  }
  FUZZ_CHECK((lineSize == 1 || pos == len) && !xp->timedout);
  xclose(xp);
  checkTable();  // untouched by this input, as after every input
  return 0;
}
