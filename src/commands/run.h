#pragma once

// Command dispatch.

#include "cli/options.h"

namespace burrowlink::commands {

// True when `args` start with a command word and "--help" or "-h" follows
// it on its own, not as an option's value.
bool asks_for_command_help(const Args& args);

// Runs the command named by `args[0]` with the rest; answers the help and
// version words, and help asked for after a command word.
// Refuses an argument that is not valid UTF-8 before running anything.
CommandResult run(Args args);

}  // namespace burrowlink::commands
