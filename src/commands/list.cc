#include "commands/list.h"

#include <cstdint>
#include <string>

#include "console/console.h"
#include "discovery/scanner.h"
#include "platform/platform.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

constexpr std::uint64_t DEFAULT_SECONDS = 5;
constexpr std::size_t NAME_COLUMN_WIDTH = 28;

}  // namespace

CommandResult list(Args args) {
  std::uint64_t seconds = DEFAULT_SECONDS;
  if (auto value = take_option(args, "--seconds")) {
    seconds = parse_number_option(*value, UINT64_MAX).value_or(seconds);
  }
  console::print(
      console::Stream::err,
      "Looking for devices for " + std::to_string(seconds) + " seconds...\n");

  auto devices = scan_devices(seconds);
  if (!devices.ok()) return CliError{std::move(devices).error().message};
  if (devices->empty()) {
    console::print(
        console::Stream::out,
        "No devices found. Open BurrowLink on another device on this Wi-Fi.\n");
    return {};
  }
  for (const Device& device : *devices) {
    // Padding counts the announced name, whatever a terminal shows of it.
    std::size_t width = text::scalar_count(device.name);
    std::string line = console::peer(console::Stream::out, device.name);
    if (width < NAME_COLUMN_WIDTH) line.append(NAME_COLUMN_WIDTH - width, ' ');
    line += ' ';
    line += platform::format_address(device.address);
    line += '\n';
    console::print(console::Stream::out, line);
  }
  return {};
}

}  // namespace burrowlink::commands
