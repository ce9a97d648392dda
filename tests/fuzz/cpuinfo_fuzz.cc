// cpuinfo_fuzz.cc - fuzz target for the reading of /proc/cpuinfo
// (capacityFrom on a file holding the input): a count of "cpu MHz" lines and
// their sum, or -1 and zeros for an empty or over-long file.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzzPath("cpuinfo");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, data, size) == (ssize_t)size);
  close(fd);
  int cpus = -7, clock = -7;
  int rc = capacityFrom(path.c_str(), &cpus, &clock);
  if (size == 0 || size >= 10240) FUZZ_CHECK(rc == -1);
  if (rc != 0) {
    FUZZ_CHECK(rc == -1 && cpus == 0 && clock == 0);
  } else {
    std::string text((const char *)data, size);
    text.resize(strlen(text.c_str()));  // read as a C string
    int count = 0;
    for (size_t at = text.find("cpu MHz"); at != std::string::npos; at = text.find("cpu MHz", at + 7))
      count++;
    FUZZ_CHECK(cpus == count);
  }
  checkTable();  // untouched by this input, as after every input
  return 0;
}
