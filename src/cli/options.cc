#include "cli/options.h"

#include <algorithm>
#include <string>

#include "text/unicode.h"

namespace burrowlink {

namespace {

void erase(Args& args, Positions* positions, std::size_t at,
           std::size_t count) {
  args.erase(args.begin() + static_cast<std::ptrdiff_t>(at),
             args.begin() + static_cast<std::ptrdiff_t>(at + count));
  if (positions != nullptr) {
    positions->erase(
        positions->begin() + static_cast<std::ptrdiff_t>(at),
        positions->begin() + static_cast<std::ptrdiff_t>(at + count));
  }
}

}  // namespace

std::optional<std::string> take_option(Args& args, std::string_view name,
                                       Positions* positions) {
  auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return std::nullopt;
  std::string value = std::move(*(it + 1));
  erase(args, positions, static_cast<std::size_t>(it - args.begin()), 2);
  return value;
}

bool take_flag(Args& args, std::string_view name, Positions* positions) {
  auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end()) return false;
  erase(args, positions, static_cast<std::size_t>(it - args.begin()), 1);
  return true;
}

std::optional<std::uint64_t> parse_number_option(std::string_view text,
                                                 std::uint64_t largest) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    // The first test keeps `largest - digit` from wrapping around.
    if (digit > largest || value > (largest - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool asks_for_help(Args args, std::span<const OptionRule> options) {
  // The options are taken out only so that what is left can be looked at.
  for (const OptionRule& option : options) {
    if (option.takes_value) {
      (void)take_option(args, option.name);
    } else {
      (void)take_flag(args, option.name);
    }
  }
  return std::any_of(args.begin(), args.end(), [](const std::string& arg) {
    return arg == "--help" || arg == "-h";
  });
}

std::optional<std::size_t> first_invalid_argument(const Args& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!text::is_valid_utf8(args[i])) return i + 1;
  }
  return std::nullopt;
}

}  // namespace burrowlink
