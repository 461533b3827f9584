#pragma once

// Listens for the beacons of devices that are ready to receive.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "identity/identity.h"
#include "net/address.h"

namespace burrowlink {

// The one failure of a scan: the discovery port cannot be bound.
inline constexpr std::string_view DISCOVERY_BUSY_TEXT =
    "cannot listen for devices: another BurrowLink is running on this "
    "computer (use the device's IP address with --to instead)";

// One device heard by the scanner.
struct Device {
  std::string name;  // the beacon's name, cut to 40 scalar values
  DeviceId id;
  // The datagram's source IPv4 address with the port the beacon announced.
  SocketAddress address;
  std::string key = {};  // the beacon's, when it carried one
};

// The devices heard on UDP 45454 within `seconds`, in the order first heard,
// one per id, leaving out this device's own. Fails at once with
// DISCOVERY_BUSY_TEXT when the port cannot be bound.
Result<std::vector<Device>> scan_devices(std::uint64_t seconds);

// `now` plus `seconds`, or the clock's last instant when that is beyond it.
std::chrono::steady_clock::time_point scan_deadline(
    std::chrono::steady_clock::time_point now, std::uint64_t seconds);

}  // namespace burrowlink
