#pragma once

// The question both users answer when their devices compare codes.

#include <optional>
#include <string>
#include <string_view>

namespace burrowlink::commands {

// A line of input that says yes: "y" or "yes" in any case, around white
// space.
bool is_yes(const std::optional<std::string>& line);

// Shows `code` and asks whether the device `name` shows the same: true
// for "y" or "yes" in any case. Input that is closed answers no; so does
// input that is no terminal when the peer alone asked for codes: a script
// answering offers must not vouch for a device.
bool confirm_code_at_console(std::string_view name, std::string_view code,
                             bool asked_here);

}  // namespace burrowlink::commands
