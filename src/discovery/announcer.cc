#include "discovery/announcer.h"

#include <optional>
#include <thread>

#include "discovery/beacon.h"
#include "platform/network.h"
#include "protocol/wire.h"

namespace burrowlink {

namespace {

// Runs `cycles` cycles, or without end when it is absent.
void announce(const Beacon& beacon, std::optional<std::uint64_t> cycles) {
  auto socket = platform::UdpSocket::bind_v4({0, 0, 0, 0}, 0);
  if (!socket.ok()) return;
  // Without it the broadcast sends fail, which is ignored like any send.
  (void)socket->enable_broadcast();
  const std::string payload = write_beacon(beacon);
  const platform::ConstBytes bytes(
      reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());

  for (std::uint64_t done = 0; !cycles || done < *cycles; ++done) {
    if (done > 0) std::this_thread::sleep_for(ANNOUNCE_INTERVAL);
    for (const Ipv4& destination : announcement_destinations()) {
      (void)socket->send_to(bytes,
                            SocketAddress::v4(destination, DISCOVERY_PORT));
    }
  }
}

}  // namespace

std::vector<Ipv4> announcement_destinations() {
  std::vector<Ipv4> destinations{{255, 255, 255, 255}};
  auto directed = platform::ipv4_broadcast_addresses();
  if (directed.ok()) {
    destinations.insert(destinations.end(), directed->begin(), directed->end());
  }
  return destinations;
}

void run_announcer(Beacon beacon) { announce(beacon, std::nullopt); }

void run_announcer_cycles(Beacon beacon, std::uint64_t cycles) {
  announce(beacon, cycles);
}

}  // namespace burrowlink
