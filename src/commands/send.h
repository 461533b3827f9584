#pragma once

// The `send` command: files or a note offered to one device.

#include <string>
#include <string_view>

#include "cli/options.h"

namespace burrowlink::commands {

// `send <file>... --to X [--name N]` or `send --text T --to X`.
CommandResult send(Args args);

// The name `path` is offered under: its last component, with "/" and "\\"
// both separating and a drive or network-share prefix not counting. Empty
// when that component is ".." or nothing follows the prefix.
std::string offered_name(std::string_view path);

}  // namespace burrowlink::commands
