#include "discovery/scanner.h"

#include <array>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "discovery/beacon.h"
#include "platform/network.h"
#include "protocol/wire.h"
#include "text/unicode.h"

namespace burrowlink {

namespace {

constexpr std::chrono::milliseconds RECEIVE_TIMEOUT{400};
constexpr std::size_t RECEIVE_BUFFER_BYTES = 2048;

// A hostile sender could invent ids without end; past this many devices,
// new ones are ignored so that memory and work per datagram stay bounded.
constexpr std::size_t MAX_DEVICES = 4096;

}  // namespace

std::chrono::steady_clock::time_point scan_deadline(
    std::chrono::steady_clock::time_point now, std::uint64_t seconds) {
  using Clock = std::chrono::steady_clock;
  auto room = std::chrono::duration_cast<std::chrono::seconds>(
                  Clock::time_point::max() - now)
                  .count();
  if (room < 0 || seconds >= static_cast<std::uint64_t>(room)) {
    return Clock::time_point::max();
  }
  return now + std::chrono::seconds(static_cast<std::int64_t>(seconds));
}

Result<std::vector<Device>> scan_devices(std::uint64_t seconds) {
  auto socket = platform::UdpSocket::bind_v4({0, 0, 0, 0}, DISCOVERY_PORT);
  if (!socket.ok()) return Error{std::string(DISCOVERY_BUSY_TEXT)};
  // Without it a quiet network would hold the scan past its end.
  if (Status set = socket->set_read_timeout(RECEIVE_TIMEOUT); !set.ok()) {
    return std::move(set).error();
  }
  const DeviceId own_id = load_device_id();

  std::vector<Device> devices;
  std::unordered_set<std::string> seen;
  auto deadline = scan_deadline(std::chrono::steady_clock::now(), seconds);
  std::array<std::uint8_t, RECEIVE_BUFFER_BYTES> buffer;
  while (std::chrono::steady_clock::now() < deadline) {
    auto datagram = socket->receive_from(buffer);
    // Time-outs and errors are dropped; an oversized datagram never counts,
    // even when its first bytes would be a beacon.
    if (!datagram.ok() || datagram->truncated || datagram->from.is_v6) {
      continue;
    }
    std::optional<Beacon> beacon = read_beacon(std::string_view(
        reinterpret_cast<const char*>(buffer.data()), datagram->size));
    if (!beacon || beacon->app != APP_TAG || beacon->port == 0 ||
        beacon->id == own_id || devices.size() >= MAX_DEVICES ||
        !seen.insert(beacon->id).second) {
      continue;
    }
    devices.push_back(
        Device{std::string(text::first_scalars(beacon->name, DEVICE_NAME_MAX)),
               std::move(beacon->id),
               SocketAddress::v4(datagram->from.ipv4(), beacon->port),
               std::move(beacon->key)});
  }
  return devices;
}

}  // namespace burrowlink
