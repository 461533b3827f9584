#pragma once

#include "cli/options.h"

namespace burrowlink::commands {

// `send <file>... --to X [--name N]` or `send --text T --to X`.
CommandResult send(Args args);

}  // namespace burrowlink::commands
