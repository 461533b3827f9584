#include "commands/target.h"

#include <cstdint>
#include <vector>

#include "console/console.h"
#include "discovery/scanner.h"
#include "protocol/wire.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One or more decimal digits, leading zeros allowed, at most `largest`: the
// option rule without its "+".
std::optional<std::uint64_t> parse_digits(std::string_view text,
                                          std::uint64_t largest) {
  if (text.empty() || !is_digit(text.front())) return std::nullopt;
  return parse_number_option(text, largest);
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  auto value = parse_digits(text, UINT16_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

// "[ipv6]:port" or "[ipv6%scope]:port".
std::optional<SocketAddress> parse_bracketed(std::string_view text) {
  if (!text.starts_with('[')) return std::nullopt;
  std::size_t close = text.find(']');
  if (close == std::string_view::npos || close + 1 >= text.size() ||
      text[close + 1] != ':') {
    return std::nullopt;
  }
  auto port = parse_port(text.substr(close + 2));
  if (!port) return std::nullopt;
  std::string_view inside = text.substr(1, close - 1);
  std::uint32_t scope = 0;
  if (std::size_t percent = inside.find('%');
      percent != std::string_view::npos) {
    auto value = parse_digits(inside.substr(percent + 1), UINT32_MAX);
    if (!value) return std::nullopt;
    scope = static_cast<std::uint32_t>(*value);
    inside = inside.substr(0, percent);
  }
  auto ip = parse_ipv6(inside);
  if (!ip) return std::nullopt;
  return SocketAddress::v6(*ip, *port, scope);
}

Result<SocketAddress, CliError> look_up_name(const std::string& to,
                                             Device* announced) {
  console::print(console::Stream::err, "Looking for \"" + to + "\"...\n");
  const std::string key = text::to_lower(to);
  auto devices = scan_devices(NAME_LOOKUP_SECONDS);
  if (!devices.ok()) return CliError{std::move(devices).error().message};

  std::vector<const Device*> matches;
  for (const Device& device : *devices) {
    if (text::to_lower(device.name).find(key) != std::string::npos) {
      matches.push_back(&device);
    }
  }
  if (matches.empty()) return CliError{no_device_text(to)};
  if (matches.size() == 1) {
    if (announced) *announced = *matches.front();
    return matches.front()->address;
  }
  std::vector<std::string_view> names;
  for (const Device* device : matches) names.push_back(device->name);
  // Announced names reach the error line on standard error.
  return CliError{several_devices_text(
      to, console::peer(console::Stream::err, join_names(names)))};
}

}  // namespace

std::optional<SocketAddress> parse_target_address(std::string_view text) {
  if (auto address = parse_bracketed(text)) return address;
  if (std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    auto ip = parse_ipv4(text.substr(0, colon));
    auto port = parse_port(text.substr(colon + 1));
    if (ip && port) return SocketAddress::v4(*ip, *port);
  }
  if (auto ip = parse_ipv4(text)) {
    return SocketAddress::v4(*ip, TRANSFER_PORT);
  }
  if (auto ip = parse_ipv6(text)) {
    return SocketAddress::v6(*ip, TRANSFER_PORT);
  }
  return std::nullopt;
}

std::string join_names(const std::vector<std::string_view>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += names[i];
  }
  return joined;
}

Result<SocketAddress, CliError> resolve_target(const std::string& to,
                                               Device* announced) {
  if (auto address = parse_target_address(to)) return *address;
  return look_up_name(to, announced);
}

}  // namespace burrowlink::commands
