// lookup_test.cc - the group table lookups: name and address search, subnet
// matching with liveness, and the LAN and count fallbacks.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

using Lookup = GroupTest;

TEST_F(Lookup, NamesAddressesSubnetsAndFallbacks) {
  // Before start-up nothing is found.
  EXPECT_TRUE(findHostbyName("x") == nullptr && findHostbyAddr(in_addr{ip("1.2.3.4")}) == nullptr);
  EXPECT_EQ(isHere(ip("1.2.3.4")), 0);

  params.gmport = 7009;
  time_t now = gmSys.now();
  const char *m24 = "255.255.255.0";
  addHost("here", "198.51.100.10", TRUSTED,
          {makeIf("eth0", "198.51.100.10", m24, LAN, now), makeIf("eth1", "203.0.113.10", m24, 0, now)});
  // period 20: 60 s old is exactly 3 periods and still live, 61 s is not.
  addHost("peer", "198.51.100.11", TRUSTED,
          {makeIf("eth0", "198.51.100.11", m24, LAN, now - 60), makeIf("eth1", "203.0.113.11", m24, 0, now - 61)});
  EXPECT_EQ(findHostbyName("peer"), &hostList[1]);
  EXPECT_EQ(findHostbyName("pee"), nullptr);
  EXPECT_EQ(findHostbyAddr(in_addr{ip("203.0.113.11")}), hostList[1]);
  EXPECT_EQ(findHostbyAddr(in_addr{ip("198.51.100.10")}), &myhost);
  EXPECT_EQ(findHostbyAddr(in_addr{ip("203.0.113.99")}), nullptr);
  EXPECT_EQ(matchHostSubnet(hostList[1], ip("198.51.100.77")), ip("198.51.100.11"));
  EXPECT_EQ(matchHostSubnet(hostList[1], ip("203.0.113.77")) + matchHostSubnet(hostList[1], ip("192.0.2.1")), 0u);

  EXPECT_EQ(isOnLAN(&myhost, ip("198.51.100.5")), 1);
  EXPECT_EQ(isOnLAN(&myhost, ip("203.0.113.5")), 0);
  EXPECT_EQ(isOnLAN(&myhost, ip("192.0.2.5")), 1);  // no subnet of ours: LAN
  EXPECT_EQ(numIfsOnSubnet(&myhost, 0), 2);
  EXPECT_EQ(numIfsOnSubnet(&myhost, ip("203.0.113.5")), 1);
  EXPECT_EQ(numIfsOnSubnet(&myhost, ip("192.0.2.5")), 1);
  EXPECT_EQ(isHere(ip("203.0.113.10")), 1);
  EXPECT_EQ(isHere(ip("203.0.113.11")), 0);
}

}  // namespace
