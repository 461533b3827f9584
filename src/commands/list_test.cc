#include "commands/list.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace burrowlink::commands {
namespace {

const std::string ADDRESS = " 192.168.1.20:45455\n";

std::string line_for(std::string name, bool terminal) {
  const Device device{std::move(name), "id",
                      SocketAddress::v4({192, 168, 1, 20}, 45455)};
  return device_line(device, terminal);
}

TEST(ListLine, PadsTheNameToTwentyEightScalarValues) {
  for (bool terminal : {false, true}) {
    EXPECT_EQ(line_for("Bob", terminal),
              "Bob" + std::string(25, ' ') + ADDRESS);
    EXPECT_EQ(line_for("\u00e9cran", terminal),
              "\u00e9cran" + std::string(23, ' ') + ADDRESS);
    EXPECT_EQ(line_for(std::string(28, 'n'), terminal),
              std::string(28, 'n') + ADDRESS);
    EXPECT_EQ(line_for(std::string(40, 'n'), terminal),
              std::string(40, 'n') + ADDRESS);
  }
}

TEST(ListLine, PadsWhatATerminalIsShown) {
  EXPECT_EQ(line_for("a\033b", false),
            "a\033b" + std::string(25, ' ') + ADDRESS);
  EXPECT_EQ(line_for("a\033b", true),
            "a\\x1bb" + std::string(22, ' ') + ADDRESS);
  // Escaping takes a name past the column: no padding, nothing cut.
  std::string escaped;
  for (int i = 0; i < 10; ++i) escaped += "\\x07";
  EXPECT_EQ(line_for(std::string(10, '\a'), true), escaped + ADDRESS);
}

// What the pins make of a device heard: its key announced or not, pinned
// under its id with that key or another, its code compared or not.
TEST(ListLine, SaysWhatThePinsMakeOfEachDevice) {
  testing::ScopedTempDir home;
  const std::string key(64, 'a'), other(64, 'b');
  KnownDevice pinned{"pinned", {}, "P", 1, 1, ""};
  pinned.key.fill(0xaa);
  KnownDevice verified = pinned;
  verified.id = "verified";
  verified.verified = true;
  KnownDevices known = KnownDevices::load(home.path());
  ASSERT_TRUE(known.remember(pinned).ok());
  ASSERT_TRUE(known.remember(verified).ok());
  known = KnownDevices::load(home.path());
  const struct {
    const char* id;
    std::string key;
    std::string_view trust;
  } rows[] = {{"stranger", "", ""},          {"stranger", key, "new"},
              {"pinned", key, "known"},      {"pinned", "", "known"},
              {"verified", key, "verified"}, {"pinned", other, "key changed"}};
  for (const auto& row : rows) {
    Device device{"Name", row.id, SocketAddress::v4({10, 0, 0, 2}, 45455),
                  row.key};
    EXPECT_EQ(row.trust, trust_of(device, known)) << row.id << " " << row.key;
  }
}

}  // namespace
}  // namespace burrowlink::commands
