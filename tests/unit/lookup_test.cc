// lookup_test.cc - the group table lookups: name and address search, subnet
// matching with liveness, and the LAN and count fallbacks.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

using Lookup = GroupTest;

TEST_F(Lookup, NamesAddressesSubnetsAndFallbacks) {
  // Before start-up nothing is found.
  EXPECT_TRUE(findHostbyName("x") == nullptr && findHostbyAddr(in_addr{ip("1.2.3.4")}) == nullptr &&
              isHere(ip("1.2.3.4")) == 0);
  params.gmport = 7009;
  time_t now = gmSys.now();
  const char *m24 = "255.255.255.0";
  addHost("here", "198.51.100.10", TRUSTED,
          {makeIf("eth0", "198.51.100.10", m24, LAN, now), makeIf("eth1", "203.0.113.10", m24, 0, now)});
  // period 20: 60 s old is exactly 3 periods and still live, 61 s is not.
  host *peer = addHost("peer", "198.51.100.11", TRUSTED, {makeIf("eth0", "198.51.100.11", m24, LAN, now - 60),
                                                          makeIf("eth1", "203.0.113.11", m24, 0, now - 61)});
  EXPECT_TRUE(findHostbyName("peer") == &hostList[1] && findHostbyName("pee") == nullptr);
  EXPECT_TRUE(findHostbyAddr(in_addr{ip("203.0.113.11")}) == peer && findHostbyAddr(in_addr{ip("198.51.100.10")}) ==
              &myhost && findHostbyAddr(in_addr{ip("203.0.113.99")}) == nullptr);
  EXPECT_EQ(matchHostSubnet(peer, ip("198.51.100.77")), ip("198.51.100.11"));
  EXPECT_EQ(matchHostSubnet(peer, ip("203.0.113.77")) + matchHostSubnet(peer, ip("192.0.2.1")), 0u);
  // As "isOnLAN numIfsOnSubnet isHere" of an address; no subnet of ours: LAN.
  for (auto [a, want] : {std::pair{"198.51.100.5", "1 1 0"}, {"203.0.113.5", "0 1 0"}, {"192.0.2.5", "1 1 0"},
                         {"203.0.113.10", "0 1 1"}, {"203.0.113.11", "0 1 0"}, {"0.0.0.0", "1 2 0"}})
    EXPECT_EQ(std::to_string(isOnLAN(&myhost, ip(a))) + " " + std::to_string(numIfsOnSubnet(&myhost, ip(a))) +
              " " + std::to_string(isHere(ip(a))), want) << a;
}

}  // namespace
