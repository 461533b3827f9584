#pragma once

// The `send` command: files or a note offered to one device.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace burrowlink::commands {

// `send <file>... --to X [--name N]` or `send --text T --to X`.
CommandResult send(Args args);

// The line that ends a send at a terminal: "Sent {files} file(s), {size} in
// {time} ({rate}/s)".
std::string sent_summary(std::size_t files, std::uint64_t bytes,
                         std::chrono::nanoseconds elapsed);

// The name `path` is offered under: its last component, with "/" and "\\"
// both separating and a drive or network-share prefix not counting. Empty
// when that component is ".." or nothing follows the prefix.
std::string offered_name(std::string_view path);

}  // namespace burrowlink::commands
