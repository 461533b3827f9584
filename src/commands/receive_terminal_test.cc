#include "commands/receive_terminal.h"

#include <gtest/gtest.h>

#include "platform/files.h"

namespace burrowlink::commands {
namespace {

using platform::join_path;

TEST(OfferListing, NamesUpToTenFilesAndTheFoldersSentWhole) {
  Offer offer{"Desk", "I", {{"a.jpg", 2048}, {"b.txt", 5, "Photos/2024"}}, {}};
  // The address without its port, since a name can be anything.
  EXPECT_EQ("  a.jpg (2.0 KB)\n  " +
                join_path(join_path("Photos", "2024"), "b.txt") +
                " (5 B)\n"
                "  in the folder Photos\n"
                "  from 192.168.1.20\n",
            offer_listing(offer, SocketAddress::v4({192, 168, 1, 20}, 5000)));
  for (int i = 0; i < 10; ++i) offer.files.push_back({"x", 1, "Trips"});
  const std::string listed = offer_listing(offer, std::nullopt);
  EXPECT_TRUE(listed.ends_with("  " + join_path("Trips", "x") +
                               " (1 B)\n"
                               "  \u2026 and 2 more\n"
                               "  in the folders Photos, Trips\n"))
      << listed;
}

// Where each file lands, not the path a sender wrote.
TEST(OfferListing, ShowsTheCleanedPlaceNotTheSendersPath) {
  Offer offer{"Desk",
              "I",
              {{"../../etc/passwd", 1}, {"x", 1, "../../etc"}, {"a|b", 1, "."}},
              {}};
  EXPECT_EQ("  passwd (1 B)\n  " + join_path("etc", "x") +
                " (1 B)\n"
                "  a_b (1 B)\n"
                "  in the folder etc\n",
            offer_listing(offer, std::nullopt));
}

TEST(ReachableText, AddressesWithThePortAndAPortThatWasTaken) {
  EXPECT_EQ("Reachable at 192.168.1.20:45455, 10.0.0.3:45455\n",
            reachable_text({{192, 168, 1, 20}, {10, 0, 0, 3}}, 45455, 45455));
  EXPECT_EQ(
      "Reachable at 192.168.1.20:40001\n"
      "Port 45455 was taken: senders that give an address must add :40001\n",
      reachable_text({{192, 168, 1, 20}}, 40001, 45455));
  EXPECT_EQ("No network is up: only this computer can reach it\n",
            reachable_text({}, 40001, 0));
}

}  // namespace
}  // namespace burrowlink::commands
