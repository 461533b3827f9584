#include "commands/target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "discovery/announcer.h"
#include "identity/identity.h"
#include "test_util.h"

namespace burrowlink::commands {
namespace {

using namespace std::chrono_literals;

std::string parsed(std::string_view text) {
  auto address = parse_target_address(text);
  return address ? format_address(*address) : "none";
}

TEST(TargetAddress, SocketAndBareAddresses) {
  EXPECT_EQ(parsed("192.168.1.20"), "192.168.1.20:45455");
  EXPECT_EQ(parsed("192.168.1.20:5000"), "192.168.1.20:5000");
  EXPECT_EQ(parsed("192.168.1.20:0"), "192.168.1.20:0");
  EXPECT_EQ(parsed("0.0.0.0:065535"), "0.0.0.0:65535");
  EXPECT_EQ(parsed("fe80::1"), "[fe80::1]:45455");
  EXPECT_EQ(parsed("[fe80::1]:5000"), "[fe80::1]:5000");
  EXPECT_EQ(parsed("[fe80::1%3]:5000"), "[fe80::1%3]:5000");
  EXPECT_EQ(parsed("[::ffff:1.2.3.4]:01"), "[::ffff:1.2.3.4]:1");
  // Read whole, this is one IPv6 address rather than an address and a port.
  EXPECT_EQ(parsed("fe80::1:5000"), "[fe80::1:5000]:45455");
}

TEST(TargetAddress, AnythingElseIsAName) {
  const char* const names[] = {"256.1.1.1",       "192.168.1",
                               "192.168.001.5",   "01.2.3.4",
                               "1.2.3.4.5",       "1..2.3",
                               "1.2.3.1000",      " 1.2.3.4",
                               "1.2.3.4 ",        "192.168.1.20:70000",
                               "1.2.3.4:65536",   "1.2.3.4:",
                               "1.2.3.4:+5",      "1.2.3.4:-5",
                               "[fe80::1]",       "[fe80::1]:",
                               "[fe80::1] :5",    "fe80::1%3",
                               "[fe80::1%]:5",    "[fe80::1%4294967296]:5",
                               "[1.2.3.4]:5",     "[fe80::1]:5000x",
                               "[fe80::1]:99999", "[fe80::1:5000",
                               "fe80:::1",        "localhost",
                               "pc.local",        ""};
  for (const char* name : names) {
    EXPECT_EQ(parsed(name), "none") << name;
  }
}

TEST(Target, JoinsEveryNameEmptyOnesToo) {
  EXPECT_EQ(join_names({}), "");
  EXPECT_EQ(join_names({""}), "");
  EXPECT_EQ(join_names({"", ""}), ", ");
  EXPECT_EQ(join_names({"", "Phone"}), ", Phone");
  EXPECT_EQ(join_names({"Phone", ""}), "Phone, ");
  EXPECT_EQ(join_names({"Phone", "Phone"}), "Phone, Phone");
}

TEST(Target, AddressNeedsNoScan) {
  ::testing::internal::CaptureStderr();
  auto address = resolve_target("192.168.1.20:5000");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(address.ok());
  EXPECT_EQ(*address, SocketAddress::v4({192, 168, 1, 20}, 5000));
}

// Name lookups against two announcers in this process, started in order
// once the scan listens so that the first heard is known.
class TargetLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::add_test_interface("t0", "10.77.0.1/24", true));
    m_env.set("USERPROFILE", m_home.path());
    m_env.set("HOME", m_home.path());
  }

  Result<SocketAddress, CliError> resolve_with_devices(const std::string& to) {
    std::thread starter([this] {
      if (!testing::wait_for_file(m_home.file(IDENTITY_FILE_NAME), 3s)) return;
      // Three cycles cover the 6-second scan: at 0, 2 and 4 seconds.
      std::thread first(run_announcer_cycles,
                        Beacon{std::string(APP_TAG), "lookup-a",
                               "Qx \xC3\xA9"
                               "cran du salon",
                               5001},
                        3);
      std::this_thread::sleep_for(300ms);
      std::thread second(
          run_announcer_cycles,
          Beacon{std::string(APP_TAG), "lookup-b", "Qx Office PC", 5002}, 3);
      first.join();
      second.join();
    });
    ::testing::internal::CaptureStderr();
    auto result = resolve_target(to);
    m_err = ::testing::internal::GetCapturedStderr();
    starter.join();
    return result;
  }

  testing::ScopedTempDir m_home;
  testing::ScopedEnv m_env;
  std::string m_err;
};

TEST_F(TargetLookupTest, OneMatchIgnoringCaseBeyondAscii) {
  auto address = resolve_with_devices(
      "QX \xC3\x89"
      "CRAN");
  EXPECT_EQ(m_err,
            "Looking for \"QX \xC3\x89"
            "CRAN\"...\n");
  ASSERT_TRUE(address.ok()) << address.error().message;
  EXPECT_EQ(*address, SocketAddress::v4({10, 77, 0, 1}, 5001));
}

TEST_F(TargetLookupTest, SeveralMatchesInTheOrderHeard) {
  auto address = resolve_with_devices("qx");
  ASSERT_FALSE(address.ok());
  EXPECT_EQ(address.error().message,
            "\"qx\" matches several devices: Qx \xC3\xA9"
            "cran du salon, "
            "Qx Office PC");
}

TEST_F(TargetLookupTest, NoMatch) {
  auto address = resolve_with_devices("qx laptop");
  ASSERT_FALSE(address.ok());
  EXPECT_EQ(address.error().message,
            "no device called \"qx laptop\" found (run `burrowlink list`, or "
            "give its IP address)");
}

}  // namespace
}  // namespace burrowlink::commands
