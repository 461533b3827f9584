#pragma once

// Socket addresses and their text forms, and which local IPv4 addresses a
// device announces itself from. No system calls: both builds compile this.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace burrowlink {

using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

// An IPv4 or IPv6 address with a port.
struct SocketAddress {
  bool is_v6 = false;
  Ipv6 ip{};  // IPv4 uses the first four bytes
  std::uint16_t port = 0;
  std::uint32_t flow_info = 0;
  std::uint32_t scope_id = 0;

  static SocketAddress v4(Ipv4 ip, std::uint16_t port);
  static SocketAddress v6(const Ipv6& ip, std::uint16_t port,
                          std::uint32_t scope_id = 0);
  Ipv4 ipv4() const { return {ip[0], ip[1], ip[2], ip[3]}; }
  bool operator==(const SocketAddress&) const = default;
};

// "192.168.1.20:45455", or "[fe80::1%3]:5000" (RFC 5952 text, scope when not
// zero).
std::string format_address(const SocketAddress& address);
// The address alone: "192.168.1.20", or "fe80::1%3".
std::string format_ip(const SocketAddress& address);
// Four dotted decimal parts of 1-3 digits, each 0-255 without a leading
// zero.
std::optional<Ipv4> parse_ipv4(std::string_view text);
// Parses RFC 4291 IPv6 text (no brackets, no scope).
std::optional<Ipv6> parse_ipv6(std::string_view text);

// An IPv4 address from its 32 bits in host order, and back.
Ipv4 ipv4_of(std::uint32_t address);
std::uint32_t bits_of(Ipv4 address);

// True for an interface address that beacons go out from: neither loopback
// (127/8) nor link-local (169.254/16), whose broadcasts reach no other
// device of the network.
bool is_announced_from(Ipv4 address);
// The directed broadcast address of `address` in a network whose on-link
// prefix is `prefix_bits` long (every host bit set).
Ipv4 directed_broadcast(Ipv4 address, unsigned prefix_bits);
// The length of the prefix that `mask` stands for: its leading one bits.
unsigned prefix_of_mask(Ipv4 mask);

}  // namespace burrowlink
