#pragma once

// Command dispatch.

#include "cli/options.h"

namespace burrowlink {

// Runs the command named by `args[0]` with the rest; answers the help and
// version words.
// Refuses an argument that is not valid UTF-8 before running anything.
CommandResult run(Args args);

}  // namespace burrowlink
