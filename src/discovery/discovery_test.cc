// The scanner and the announcer on real sockets, inside the test namespace.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "discovery/announcer.h"
#include "discovery/beacon.h"
#include "discovery/scanner.h"
#include "identity/identity.h"
#include "platform/files.h"
#include "platform/network.h"
#include "protocol/wire.h"
#include "test_util.h"

namespace burrowlink {
namespace {

using namespace std::chrono_literals;
using platform::UdpSocket;
using Clock = std::chrono::steady_clock;

platform::ConstBytes bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string beacon(const std::string& id, const std::string& name,
                   std::uint16_t port, const std::string& app = "warrenet") {
  return write_beacon({app, id, name, port});
}

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_env.set("USERPROFILE", m_home.path());
    m_env.set("HOME", m_home.path());
  }
  std::string identity_file() const { return m_home.file(IDENTITY_FILE_NAME); }

  testing::ScopedTempDir m_home;
  testing::ScopedEnv m_env;
};

// Where datagrams from a socket bound to 127.0.0.2 come from. Wine binds
// such a socket to the address's interface rather than to the address, so
// they come from 127.0.0.1 there.
Ipv4 second_source_seen() {
  if (testing::ON_WINDOWS) return {127, 0, 0, 1};
  return {127, 0, 0, 2};
}

TEST_F(ScannerTest, KeepsTheFirstBeaconOfEachOtherDevice) {
  std::string long_name;
  for (int i = 0; i < 60; ++i) long_name += "\xC3\xA9";  // é
  std::thread sender([&] {
    // The scanner makes the identity file once it listens.
    if (!testing::wait_for_file(identity_file(), 3s)) return;
    std::string own_id = testing::read_whole(identity_file());
    auto one = UdpSocket::bind_v4({127, 0, 0, 1}, 0);
    auto two = UdpSocket::bind_v4({127, 0, 0, 2}, 0);
    auto three = UdpSocket::bind_v4({127, 0, 0, 3}, 0);
    if (!one.ok() || !two.ok() || !three.ok()) return;
    std::string big = beacon("scan-big", "Big", 5005);
    big.append(2049 - big.size(), ' ');  // valid JSON, one byte too long
    const auto to = SocketAddress::v4({127, 0, 0, 1}, DISCOVERY_PORT);
    auto send = [&](UdpSocket& from, const std::string& payload) {
      (void)from.send_to(bytes_of(payload), to);
    };
    send(*two, beacon("scan-a", long_name, 5001));
    send(*one, beacon(own_id, "Myself", 5002));
    send(*one, beacon("scan-foreign", "Foreign", 5003, "Warrenet"));
    send(*one, beacon("scan-foreign2", "Foreign", 5003, "warrenet "));
    send(*one, beacon("scan-zero", "Zero", 0));
    send(*one, big);
    send(*one, "");
    send(*one, "{\"app\":\"warrenet\"");
    send(*three, beacon("scan-a", "Renamed", 5004));
    send(*one, beacon("scan-b", "Bob", 45455));
  });
  auto devices = scan_devices(1);
  sender.join();
  ASSERT_OK(devices);

  std::vector<Device> ours;  // leave out anything other tests announce
  for (const Device& device : *devices) {
    if (device.id.starts_with("scan-")) ours.push_back(device);
  }
  ASSERT_EQ(ours.size(), 2u);
  EXPECT_EQ(ours[0].id, "scan-a");
  EXPECT_EQ(ours[0].name, long_name.substr(0, 80));
  EXPECT_EQ(ours[0].address, SocketAddress::v4(second_source_seen(), 5001));
  EXPECT_EQ(ours[1].id, "scan-b");
  EXPECT_EQ(ours[1].name, "Bob");
  EXPECT_EQ(ours[1].address, SocketAddress::v4({127, 0, 0, 1}, 45455));
}

TEST_F(ScannerTest, ZeroSecondsReturnsAtOnce) {
  auto start = Clock::now();
  auto devices = scan_devices(0);
  ASSERT_OK(devices);
  EXPECT_TRUE(devices->empty());
  EXPECT_LT(Clock::now() - start, 2s);  // at once, with room for a busy machine
  EXPECT_TRUE(platform::path_exists(identity_file()));
}

TEST_F(ScannerTest, BusyPortFailsAtOnceWithoutTouchingTheIdentity) {
  auto holder = UdpSocket::bind_v4({0, 0, 0, 0}, DISCOVERY_PORT);
  ASSERT_OK(holder);
  auto start = Clock::now();
  auto devices = scan_devices(5);
  ASSERT_FALSE(devices.ok());
  EXPECT_EQ(devices.error().message, DISCOVERY_BUSY_TEXT);
  EXPECT_LT(Clock::now() - start, 2s);  // the scan itself takes 5 s
  EXPECT_FALSE(platform::path_exists(identity_file()));
}

TEST(ScannerDeadline, CapsAtTheEndOfTheClock) {
  auto now = Clock::now();
  EXPECT_EQ(scan_deadline(now, 0), now);
  EXPECT_EQ(scan_deadline(now, 5), now + 5s);
  EXPECT_EQ(scan_deadline(now, UINT64_MAX), Clock::time_point::max());
  EXPECT_EQ(scan_deadline(now, INT64_MAX), Clock::time_point::max());
}

TEST(Announcer, BroadcastsTheSameBytesToEachDestinationEveryTwoSeconds) {
  ASSERT_TRUE(testing::add_test_interface("t0", "10.77.0.1/24", true));
  auto destinations = announcement_destinations();
  ASSERT_GE(destinations.size(), 2u);
  EXPECT_EQ(destinations[0], (Ipv4{255, 255, 255, 255}));
  EXPECT_EQ(destinations[1], (Ipv4{10, 77, 0, 255}));

  // A socket bound to a broadcast address hears only datagrams sent to it.
  // Wine cannot bind one, so there one socket hears both sends of a cycle.
  std::vector<UdpSocket> sockets;
  std::vector<Ipv4> binds{{255, 255, 255, 255}, {10, 77, 0, 255}};
  if (testing::ON_WINDOWS) binds = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  for (const Ipv4& ip : binds) {
    if (!sockets.empty() && ip == binds.front()) break;
    auto socket = UdpSocket::bind_v4(ip, DISCOVERY_PORT);
    ASSERT_OK(socket);
    sockets.push_back(std::move(socket).value());
  }
  std::vector<UdpSocket*> reads{&sockets.front(), &sockets.back()};
  std::thread announcer(
      run_announcer_cycles,
      Beacon{std::string(APP_TAG), "ann-id", "Ann \"\xC3\xA9\"\t", 5001}, 2);
  const std::string expected =
      "{\"app\":\"warrenet\",\"id\":\"ann-id\",\"name\":\"Ann "
      "\\\"\xC3\xA9\\\"\\t\",\"port\":5001}";
  std::vector<Clock::time_point> limited_at;
  std::uint16_t source_port = 0;
  // Each cycle sends once to each; a third read finds nothing more.
  for (int cycle = 0; cycle < 3; ++cycle) {
    for (std::size_t i = 0; i < reads.size(); ++i) {
      UdpSocket* socket = reads[i];
      EXPECT_OK(socket->set_read_timeout(cycle < 2 ? 3000ms : 300ms));
      std::uint8_t buffer[2048];
      auto datagram = socket->receive_from(buffer);
      if (cycle == 2) {
        EXPECT_FALSE(datagram.ok());
        continue;
      }
      if (!datagram.ok()) {
        ADD_FAILURE() << datagram.error().message;
        continue;
      }
      if (i == 0) limited_at.push_back(Clock::now());
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), datagram->size),
                expected);
      // One socket on a system-chosen port, sending through the test bridge.
      EXPECT_EQ(datagram->from.ipv4(), (Ipv4{10, 77, 0, 1}));
      if (source_port == 0) source_port = datagram->from.port;
      EXPECT_EQ(datagram->from.port, source_port);
      EXPECT_NE(datagram->from.port, DISCOVERY_PORT);
    }
  }
  announcer.join();
  ASSERT_EQ(limited_at.size(), 2u);
  EXPECT_GT(limited_at[1] - limited_at[0], 1900ms);
  // Generous: a busy machine may be late, never early.
  EXPECT_LT(limited_at[1] - limited_at[0], 6s);
}

}  // namespace
}  // namespace burrowlink
