#pragma once

// The question both users answer when their devices compare codes.

#include <string_view>

namespace burrowlink::commands {

// Shows `code` and asks whether the device `name` shows the same: true
// for "y" or "yes" in any case. Input that is closed answers no.
bool confirm_code_at_console(std::string_view name, std::string_view code);

}  // namespace burrowlink::commands
