#include "net/address.h"

#include <gtest/gtest.h>

namespace burrowlink {
namespace {

TEST(Addresses, ShownAsUsersWriteThem) {
  EXPECT_EQ("192.168.1.20:45455",
            format_address(SocketAddress::v4({192, 168, 1, 20}, 45455)));
  EXPECT_EQ("[fe80::1%3]:5000",
            format_address(SocketAddress::v6(*parse_ipv6("fe80::1"), 5000, 3)));
  EXPECT_EQ("[2001:db8::1:0:0:1]:1",
            format_address(
                SocketAddress::v6(*parse_ipv6("2001:db8:0:0:1:0:0:1"), 1)));
  EXPECT_EQ("[::1:2]:5000",
            format_address(SocketAddress::v6(*parse_ipv6("::0.1.0.2"), 5000)));
  EXPECT_EQ("[::]:1", format_address(SocketAddress::v6(*parse_ipv6("::"), 1)));
  EXPECT_EQ("[1::]:1",
            format_address(SocketAddress::v6(*parse_ipv6("1:0:0::"), 1)));
  EXPECT_EQ("[1:0:2::3]:1", format_address(SocketAddress::v6(
                                *parse_ipv6("1:0:2:0:0:0:0:3"), 1)));
  EXPECT_EQ("[abcd::12:0:0:ef]:1",
            format_address(
                SocketAddress::v6(*parse_ipv6("ABCD:0:0:0:12:0:0:EF"), 1)));
  EXPECT_EQ("[::ffff:1.2.3.4]:0", format_address(SocketAddress::v6(
                                      *parse_ipv6("::ffff:1.2.3.4"), 0)));
  // Without the port.
  EXPECT_EQ("192.168.1.20",
            format_ip(SocketAddress::v4({192, 168, 1, 20}, 45455)));
  EXPECT_EQ("fe80::1%3",
            format_ip(SocketAddress::v6(*parse_ipv6("fe80::1"), 5000, 3)));
}

TEST(Addresses, Ipv6TextFollowsRfc4291) {
  EXPECT_EQ(parse_ipv6("0:0:0:0:0:0:0:1"), parse_ipv6("::1"));
  EXPECT_EQ(parse_ipv6("1:2:3:4:5:6:7::"), parse_ipv6("1:2:3:4:5:6:7:0"));
  EXPECT_EQ(parse_ipv6("::2:3:4:5:6:7:8"), parse_ipv6("0:2:3:4:5:6:7:8"));
  EXPECT_EQ(parse_ipv6("1:2:3:4:5:6:1.2.3.4"),
            parse_ipv6("1:2:3:4:5:6:102:304"));
  EXPECT_EQ(parse_ipv6("0001:02::"), parse_ipv6("1:2::"));
  for (const char* bad : {"",
                          ":",
                          ":::",
                          "1:::2",
                          "1::2::3",
                          ":1::",
                          "1::2:",
                          "1:2:3:4:5:6:7:8:9",
                          "1:2:3:4:5:6:7:8::",
                          "::1:2:3:4:5:6:7:8",
                          "1:2:3:4:5:6:7",
                          "12345::",
                          "g::",
                          "1.2.3.4",
                          "::1.2.3",
                          "::1.2.3.04",
                          "::256.1.1.1",
                          "::1.2.3.4:1",
                          "1:2:3:4:5:6:7:1.2.3.4",
                          " ::1",
                          "::1 ",
                          "fe80::1%3"}) {
    EXPECT_EQ(std::nullopt, parse_ipv6(bad)) << bad;
  }
}

// Beacons go out from every address but loopback and link-local, to the
// network's directed broadcast address.
TEST(Addresses, AnnouncedFromWhereOthersCanHear) {
  struct Case {
    Ipv4 address;
    Ipv4 mask;
    bool announced;
    Ipv4 broadcast;
  };
  for (const Case& c : {
           Case{
               {192, 168, 1, 20}, {255, 255, 255, 0}, true, {192, 168, 1, 255}},
           Case{{10, 79, 0, 1}, {255, 255, 0, 0}, true, {10, 79, 255, 255}},
           Case{{10, 0, 0, 1}, {255, 255, 255, 255}, true, {10, 0, 0, 1}},
           Case{{10, 0, 0, 1}, {0, 0, 0, 0}, true, {255, 255, 255, 255}},
           Case{{127, 0, 0, 1}, {255, 0, 0, 0}, false, {127, 255, 255, 255}},
           Case{
               {169, 254, 3, 4}, {255, 255, 0, 0}, false, {169, 254, 255, 255}},
           Case{{169, 253, 3, 4}, {255, 255, 0, 0}, true, {169, 253, 255, 255}},
       }) {
    EXPECT_EQ(c.announced, is_announced_from(c.address));
    EXPECT_EQ(c.broadcast,
              directed_broadcast(c.address, prefix_of_mask(c.mask)));
  }
}

}  // namespace
}  // namespace burrowlink
