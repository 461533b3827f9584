#include "net/address.h"

#include <algorithm>
#include <cstdio>

#include "base/coding.h"

namespace burrowlink {

SocketAddress SocketAddress::v4(Ipv4 ip, std::uint16_t port) {
  SocketAddress a;
  std::copy(ip.begin(), ip.end(), a.ip.begin());
  a.port = port;
  return a;
}

SocketAddress SocketAddress::v6(const Ipv6& ip, std::uint16_t port,
                                std::uint32_t scope_id) {
  SocketAddress a;
  a.is_v6 = true;
  a.ip = ip;
  a.port = port;
  a.scope_id = scope_id;
  return a;
}

namespace {

std::string dotted(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                   std::uint8_t d) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) +
         "." + std::to_string(d);
}

// RFC 5952: lowercase, no leading zeros, the longest run (first on a tie)
// of two or more zero groups as "::", dotted form only for IPv4-mapped.
std::string format_ipv6(const Ipv6& ip) {
  if (std::all_of(ip.begin(), ip.begin() + 10, [](auto b) { return b == 0; }) &&
      ip[10] == 0xFF && ip[11] == 0xFF) {
    return "::ffff:" + dotted(ip[12], ip[13], ip[14], ip[15]);
  }
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) {
    groups[i] = static_cast<unsigned>(ip[2 * i] << 8 | ip[2 * i + 1]);
  }
  std::size_t best = 8, best_length = 1;
  for (std::size_t i = 0; i < 8;) {
    std::size_t end = i;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - i > best_length) {
      best = i;
      best_length = end - i;
    }
    i = end > i ? end : i + 1;
  }
  std::string text;
  char hex[8];
  for (std::size_t i = 0; i < 8;) {
    if (i == best) {
      text += "::";
      i += best_length;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    std::snprintf(hex, sizeof hex, "%x", groups[i]);
    text += hex;
    ++i;
  }
  return text;
}

}  // namespace

std::string format_ip(const SocketAddress& address) {
  const Ipv6& ip = address.ip;
  if (!address.is_v6) return dotted(ip[0], ip[1], ip[2], ip[3]);
  std::string text = format_ipv6(ip);
  if (address.scope_id != 0) {
    text += '%';
    text += std::to_string(address.scope_id);
  }
  return text;
}

std::string format_address(const SocketAddress& address) {
  const std::string port = std::to_string(address.port);
  if (!address.is_v6) return format_ip(address) + ":" + port;
  return "[" + format_ip(address) + "]:" + port;
}

namespace {

std::optional<std::uint16_t> parse_hex_group(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::uint16_t value = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return std::nullopt;
    value = static_cast<std::uint16_t>(value << 4 | digit);
  }
  return value;
}

}  // namespace

std::optional<Ipv4> parse_ipv4(std::string_view text) {
  Ipv4 ip{};
  for (std::size_t i = 0; i < 4; ++i) {
    std::size_t dot = text.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return std::nullopt;
    std::string_view part = text.substr(0, dot);
    if (part.empty() || part.size() > 3 ||
        (part.size() > 1 && part[0] == '0')) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return std::nullopt;
    ip[i] = static_cast<std::uint8_t>(value);
    if (i < 3) text.remove_prefix(dot + 1);
  }
  return ip;
}

std::optional<Ipv6> parse_ipv6(std::string_view text) {
  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0;
  std::optional<std::size_t> gap;  // where "::" stands, in groups
  std::size_t i = 0;
  if (text.starts_with("::")) {
    gap = 0;
    i = 2;
  } else if (text.starts_with(':')) {
    return std::nullopt;
  }
  while (i < text.size()) {
    std::string_view rest = text.substr(i);
    std::size_t colon = rest.find(':');
    std::string_view part = rest.substr(0, colon);
    if (part.find('.') != std::string_view::npos) {
      // A dotted IPv4 tail fills the last two groups.
      std::optional<Ipv4> v4 = parse_ipv4(part);
      if (colon != std::string_view::npos || !v4 || count > 6) {
        return std::nullopt;
      }
      groups[count++] = static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]);
      groups[count++] = static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]);
      break;
    }
    std::optional<std::uint16_t> group = parse_hex_group(part);
    if (!group || count == 8) return std::nullopt;
    groups[count++] = *group;
    i += part.size();
    if (i == text.size()) break;
    ++i;                                        // the colon
    if (i == text.size()) return std::nullopt;  // a single trailing colon
    if (text[i] == ':') {
      if (gap) return std::nullopt;
      gap = count;
      ++i;
    }
  }
  if (gap) {
    if (count == 8) return std::nullopt;  // "::" stands for no group
    std::size_t moved = count - *gap;
    std::copy_backward(groups.begin() + static_cast<std::ptrdiff_t>(*gap),
                       groups.begin() + static_cast<std::ptrdiff_t>(count),
                       groups.end());
    std::fill_n(groups.begin() + static_cast<std::ptrdiff_t>(*gap),
                8 - moved - *gap, 0);
  } else if (count != 8) {
    return std::nullopt;
  }
  Ipv6 ip{};
  for (std::size_t g = 0; g < 8; ++g) {
    ip[2 * g] = static_cast<std::uint8_t>(groups[g] >> 8);
    ip[2 * g + 1] = static_cast<std::uint8_t>(groups[g]);
  }
  return ip;
}

Ipv4 ipv4_of(std::uint32_t address) { return encode_fixed32(address); }

std::uint32_t bits_of(Ipv4 address) { return decode_fixed32(address); }

bool is_announced_from(Ipv4 address) {
  const bool loopback = address[0] == 127;
  const bool link_local = address[0] == 169 && address[1] == 254;
  return !loopback && !link_local;
}

Ipv4 directed_broadcast(Ipv4 address, unsigned prefix_bits) {
  const std::uint32_t host_bits =
      prefix_bits >= 32 ? 0u : ~std::uint32_t{0} >> prefix_bits;
  return ipv4_of(bits_of(address) | host_bits);
}

unsigned prefix_of_mask(Ipv4 mask) {
  unsigned bits = 0;
  for (std::uint32_t m = bits_of(mask); m & 0x80000000u; m <<= 1) ++bits;
  return bits;
}

}  // namespace burrowlink
