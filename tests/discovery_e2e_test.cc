// `list` end to end: the real binary hears announcers running in this
// process through the test bridge.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "discovery/announcer.h"
#include "harness.h"
#include "identity/identity.h"
#include "platform/files.h"
#include "platform/network.h"
#include "protocol/wire.h"
#include "test_util.h"

namespace burrowlink::testing {
namespace {

using namespace std::chrono_literals;

const char BUSY_LINE[] =
    "burrowlink: cannot listen for devices: another BurrowLink is running on "
    "this computer (use the device's IP address with --to instead)\n";

ToolOptions list_options(const ScopedTempDir& home,
                         std::vector<std::string> args) {
  ToolOptions options;
  options.args = std::move(args);
  options.env = {{"USERPROFILE", home.path()}, {"HOME", home.path()}};
  return options;
}

TEST(ListCommand, ShowsDevicesInTheOrderHeard) {
  ASSERT_TRUE(add_test_interface("t0", "10.77.0.1/24", true));
  ScopedTempDir home;
  ToolProcess listing(
      list_options(home, {"list", "--seconds", "3", "extra", "words"}));
  // The tool makes its identity file once it listens; its own beacons and
  // repeated ones must not show.
  const std::string id_file = tool().identity_file(home.path());
  ASSERT_TRUE(wait_for_file(id_file, 5s)) << listing.err();
  const std::string own_id = read_whole(id_file);
  const std::string long_name = "A name of thirty characters..";
  std::vector<std::thread> announcers;
  announcers.emplace_back(run_announcer_cycles,
                          Beacon{std::string(APP_TAG), own_id, "Myself", 5000},
                          2);
  std::this_thread::sleep_for(200ms);
  announcers.emplace_back(run_announcer_cycles,
                          Beacon{std::string(APP_TAG), "e2e-bob", "Bob", 45455},
                          2);
  std::this_thread::sleep_for(200ms);
  announcers.emplace_back(
      run_announcer_cycles,
      Beacon{std::string(APP_TAG), "e2e-zoe", "Zo\xC3\xAB", 5002}, 2);
  std::this_thread::sleep_for(200ms);
  announcers.emplace_back(
      run_announcer_cycles,
      Beacon{std::string(APP_TAG), "e2e-long", long_name, 5003}, 2);
  ToolResult result = listing.finish(10s);
  for (std::thread& announcer : announcers) announcer.join();

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Looking for devices for 3 seconds...\n");
  EXPECT_EQ(result.out, "Bob" + std::string(25, ' ') +
                            " 10.77.0.1:45455\n"
                            "Zo\xC3\xAB" +
                            std::string(25, ' ') + " 10.77.0.1:5002\n" +
                            long_name + " 10.77.0.1:5003\n");
}

TEST(ListCommand, ZeroSecondsFindsNothing) {
  ScopedTempDir home;
  ToolResult result = run_tool(list_options(home, {"list", "--seconds", "0"}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Looking for devices for 0 seconds...\n");
  EXPECT_EQ(result.out,
            "No devices found. Open BurrowLink on another device on this "
            "Wi-Fi.\n");
}

TEST(ListCommand, FailsAtOnceWhileTheDiscoveryPortIsTaken) {
  auto holder = platform::UdpSocket::bind_v4({0, 0, 0, 0}, DISCOVERY_PORT);
  ASSERT_TRUE(holder.ok()) << holder.error().message;
  ScopedTempDir home;
  auto start = std::chrono::steady_clock::now();
  ToolResult result =
      run_tool(list_options(home, {"list", "--seconds", "120"}));
  // Long before the scan would end, however slow Wine is to start.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(
      result.err,
      std::string("Looking for devices for 120 seconds...\n") + BUSY_LINE);
  EXPECT_FALSE(platform::path_exists(tool().identity_file(home.path())));
}

}  // namespace
}  // namespace burrowlink::testing
