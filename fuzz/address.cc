// What the command line turns into numbers and addresses: option numbers,
// IPv4 and IPv6 text, and `--to` targets. The system's own parsers are the
// reference for the address grammars.
#include "net/address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "cli/options.h"
#include "commands/target.h"
#include "fuzz.h"

namespace {

using namespace burrowlink;

void check_number(std::string_view text, std::uint64_t largest) {
  const std::optional<std::uint64_t> parsed =
      parse_number_option(text, largest);
  std::string_view digits = text;
  if (digits.starts_with('+')) digits.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value);
  const bool all_digits =
      !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
        return c >= '0' && c <= '9';
      });
  const bool expected = all_digits && error == std::errc() &&
                        end == digits.data() + digits.size() &&
                        value <= largest;
  FUZZ_CHECK(parsed.has_value() == expected);
  FUZZ_CHECK(!parsed || *parsed == value);
}

void check_ipv4(std::string_view text) {
  const std::optional<Ipv4> ip = parse_ipv4(text);
  const std::string c_text(text);
  if (c_text.find('\0') == std::string::npos) {
    std::uint8_t system[4];
    const bool accepted = inet_pton(AF_INET, c_text.c_str(), system) == 1;
    FUZZ_CHECK(ip.has_value() == accepted);
    FUZZ_CHECK(!ip || std::memcmp(ip->data(), system, 4) == 0);
  }
  // No leading zeros: the text is the address's only spelling.
  if (ip) {
    FUZZ_CHECK(format_address(SocketAddress::v4(*ip, 0)) == c_text + ":0");
  }
}

void check_ipv6(std::string_view text) {
  const std::optional<Ipv6> ip = parse_ipv6(text);
  const std::string c_text(text);
  if (c_text.find('\0') == std::string::npos) {
    std::uint8_t system[16];
    const bool accepted = inet_pton(AF_INET6, c_text.c_str(), system) == 1;
    FUZZ_CHECK(ip.has_value() == accepted);
    FUZZ_CHECK(!ip || std::memcmp(ip->data(), system, 16) == 0);
  }
}

void check_target(std::string_view text) {
  const std::optional<SocketAddress> address =
      commands::parse_target_address(text);
  if (!address) return;
  const std::optional<SocketAddress> again =
      commands::parse_target_address(format_address(*address));
  FUZZ_CHECK(again && *again == *address);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The bounds in use, and small ones below a single digit's value.
  for (std::uint64_t largest :
       {std::uint64_t{UINT64_MAX}, std::uint64_t{UINT32_MAX},
        std::uint64_t{UINT16_MAX}, std::uint64_t{10}, std::uint64_t{5},
        std::uint64_t{0}}) {
    check_number(text, largest);
  }
  check_ipv4(text);
  check_ipv6(text);
  check_target(text);
  return 0;
}
