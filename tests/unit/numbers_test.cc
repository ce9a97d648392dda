// numbers_test.cc - numbers off the wire saturate at the 32-bit range the
// group's peers read them in, instead of wrapping.
#include <gtest/gtest.h>

#include "support/support.h"

TEST(Numbers, ReadAsThirtyTwoBitPeersDo) {
  EXPECT_EQ(strtol32("12abc", 10), 12);
  EXPECT_EQ(strtol32(" -7", 10), -7);
  EXPECT_EQ(strtol32("4294967296", 10), INT32_MAX);  // not 0
  EXPECT_EQ(strtol32("-5000000000", 10), INT32_MIN);
  EXPECT_EQ(strtol32("x", 10), 0);
  EXPECT_EQ(strtoul32("a000001", 16), 0xa000001u);
  EXPECT_EQ(strtoul32("100000000", 16), UINT32_MAX);  // not 0
  EXPECT_EQ(strtoul32("-1", 16), UINT32_MAX);
  EXPECT_EQ(strtoul32("-2", 10), 0xfffffffeu);
}
