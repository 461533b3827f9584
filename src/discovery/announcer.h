#pragma once

// The background announcer of `receive`: broadcasts this device's beacon
// every 2 seconds for as long as the process lives.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/beacon.h"
#include "identity/identity.h"
#include "net/address.h"

namespace burrowlink {

inline constexpr std::chrono::seconds ANNOUNCE_INTERVAL{2};

// The body of the announcer thread. Sends `beacon` at once and then every 2
// seconds; never returns unless its socket cannot be set up. Prints
// nothing.
void run_announcer(Beacon beacon);

// As `run_announcer`, but returns after `cycles` cycles, without the pause
// after the last one. For tests.
void run_announcer_cycles(Beacon beacon, std::uint64_t cycles);

// Where one cycle sends: 255.255.255.255, then the directed broadcast
// address of every local IPv4 network, duplicates kept.
std::vector<Ipv4> announcement_destinations();

}  // namespace burrowlink
