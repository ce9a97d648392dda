// cpuinfo_fuzz.cc - fuzz target for the reading of /proc/cpuinfo
// (capacityFrom on a file holding the input): a count of "cpu MHz" lines and
// their sum, or -1 and zeros for an empty or over-long file.
#include <stdio.h>
#include <string.h>

#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzzPath("cpuinfo");
  FILE *f = fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr && fwrite(data, 1, size, f) == size && fclose(f) == 0);
  int cpus = -7, clock = -7, rc = capacityFrom(path.c_str(), &cpus, &clock), count = 0;
  FUZZ_CHECK(rc == ((size == 0 || size >= 10240) ? -1 : 0));
  std::string text((const char *)data, size);  // read as a C string
  for (const char *p = strstr(text.c_str(), "cpu MHz"); p != nullptr; p = strstr(p + 7, "cpu MHz")) count++;
  FUZZ_CHECK(rc == 0 ? cpus == count : cpus == 0 && clock == 0);
  checkTable();  // untouched by this input, as after every input
  return 0;
}
