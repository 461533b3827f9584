#pragma once

// Which device `send` goes to: an address as given, or a device found by
// part of its name.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "discovery/scanner.h"
#include "net/address.h"

namespace burrowlink::commands {

// Seconds a name lookup listens for beacons.
inline constexpr std::uint64_t NAME_LOOKUP_SECONDS = 6;

// The socket address that a `--to` value names: an address with or without a
// port, or else the one device whose display name contains it, ignoring case.
// `announced`, when given, gets the device whose beacon was heard (its id
// empty for an address).
Result<SocketAddress, CliError> resolve_target(const std::string& to,
                                               Device* announced = nullptr);

// The address that `text` spells as a whole: "a.b.c.d:port",
// "[ipv6%scope]:port", or a bare IPv4 or IPv6 address with port 45455.
// nullopt for anything else, host names included.
std::optional<SocketAddress> parse_target_address(std::string_view text);

// `names` joined by ", " for the several-devices error: every name, empty
// ones included, so the count of devices stays visible.
std::string join_names(const std::vector<std::string_view>& names);

}  // namespace burrowlink::commands
