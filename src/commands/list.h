#pragma once

// The `list` command: the devices heard on the network within some seconds.

#include <string>
#include <string_view>

#include "cli/options.h"
#include "discovery/scanner.h"
#include "identity/device_key.h"

namespace burrowlink::commands {

// `list [--seconds N]`: shows the devices heard within N seconds (default 5).
CommandResult list(Args args);

// What the secure channel makes of `device`: "verified" (pinned, and its
// code compared), "known" (pinned), "new" (it announces a key not met
// yet), "key changed" (it announces another key than the one pinned for
// it), or "" for one that takes clear connections only.
std::string_view trust_of(const Device& device, const KnownDevices& known);

// The line that shows `device`: its name as shown (control characters escaped
// on a terminal) padded to 28 scalar values, a space, its address, then,
// when there is one, two spaces and its `trust`.
std::string device_line(const Device& device, bool terminal,
                        std::string_view trust = {});

}  // namespace burrowlink::commands
