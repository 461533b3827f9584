#pragma once

// The `receive` command: the listener, and the console's side of each
// connection served: the question, and a line for what arrived.

#include "cli/options.h"

namespace burrowlink::commands {

// `receive [--dir D] [--yes] [--once] [--name N] [--port P]`.
CommandResult receive(Args args);

}  // namespace burrowlink::commands
