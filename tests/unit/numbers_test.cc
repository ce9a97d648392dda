// numbers_test.cc - numbers off the wire saturate at the 32-bit range the
// group's peers read them in, instead of wrapping.
#include <gtest/gtest.h>

#include <tuple>

#include "support/support.h"

TEST(Numbers, ReadAsThirtyTwoBitPeersDo) {
  // 4294967296 and 100000000 (hex) saturate: not 0.
  for (auto [t, want] : {std::pair<const char *, int32_t>{"12abc", 12}, {" -7", -7}, {"4294967296", INT32_MAX},
                         {"-5000000000", INT32_MIN}, {"x", 0}})
    EXPECT_EQ(strtol32(t, 10), want) << t;
  for (auto [t, base, want] : {std::tuple<const char *, int, uint32_t>{"a000001", 16, 0xa000001u},
                               {"100000000", 16, UINT32_MAX}, {"-1", 16, UINT32_MAX}, {"-2", 10, 0xfffffffeu}})
    EXPECT_EQ(strtoul32(t, base), want) << t;
}
