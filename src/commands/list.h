#pragma once

// The `list` command: the devices heard on the network within some seconds.

#include <string>

#include "cli/options.h"
#include "discovery/scanner.h"

namespace burrowlink::commands {

// `list [--seconds N]`: shows the devices heard within N seconds (default 5).
CommandResult list(Args args);

// The line that shows `device`: its name as shown (control characters escaped
// on a terminal) padded to 28 scalar values, a space, its address.
std::string device_line(const Device& device, bool terminal);

}  // namespace burrowlink::commands
