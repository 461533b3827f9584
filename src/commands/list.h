#pragma once

#include "cli/options.h"

namespace burrowlink::commands {

// `list [--seconds N]`: shows the devices heard within N seconds (default 5).
CommandResult list(Args args);

}  // namespace burrowlink::commands
