#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "platform/platform.h"

namespace burrowlink {

// Seconds a name lookup listens for beacons.
inline constexpr std::uint64_t NAME_LOOKUP_SECONDS = 6;

// The socket address that a `--to` value names: an address with or without a
// port, or else the one device whose display name contains it, ignoring case.
Result<platform::SocketAddress, CliError> resolve_target(const std::string& to);

// The address that `text` spells as a whole: "a.b.c.d:port",
// "[ipv6%scope]:port", or a bare IPv4 or IPv6 address with port 45455.
// nullopt for anything else, host names included.
std::optional<platform::SocketAddress> parse_target_address(
    std::string_view text);

}  // namespace burrowlink
