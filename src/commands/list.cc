#include "commands/list.h"

#include <cstdint>
#include <string>

#include "console/console.h"
#include "discovery/scanner.h"
#include "net/address.h"
#include "platform/terminal.h"
#include "text/hex.h"
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
  const bool terminal = console::on_terminal(console::Stream::out);
  const KnownDevices known = KnownDevices::load(device_folder());
  for (const Device& device : *devices) {
    console::print(console::Stream::out,
                   device_line(device, terminal, trust_of(device, known)));
  }
  return {};
}

std::string_view trust_of(const Device& device, const KnownDevices& known) {
  const KnownDevice* pinned = known.find(device.id);
  secure::Key key{};
  const bool announces = text::from_hex(device.key, key);
  if (!pinned) return announces ? "new" : "";
  if (announces && key != pinned->key) return "key changed";
  return pinned->verified ? "verified" : "known";
}

std::string device_line(const Device& device, bool terminal,
                        std::string_view trust) {
  // Padding counts what is shown, so escapes cannot shift the address column.
  std::string line =
      terminal ? text::escape_controls(device.name) : device.name;
  const std::size_t width = text::scalar_count(line);
  if (width < NAME_COLUMN_WIDTH) line.append(NAME_COLUMN_WIDTH - width, ' ');
  line += ' ';
  line += format_address(device.address);
  if (!trust.empty()) {
    line += "  ";
    line += trust;
  }
  line += '\n';
  return line;
}

}  // namespace burrowlink::commands
