#pragma once

// The option grammar that every command shares.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_error.h"
#include "platform/result.h"

namespace burrowlink {

using Args = std::vector<std::string>;
using CommandResult = Result<void, CliError>;

// Removes the first `name` and the argument after it, returning that value.
// Absent, or `name` is the last argument: nullopt and `args` unchanged.
std::optional<std::string> take_option(Args& args, std::string_view name);

// Removes the first `name`; true when there was one.
bool take_flag(Args& args, std::string_view name);

// An optional "+" and decimal digits, at most `largest`; nullopt otherwise.
std::optional<std::uint64_t> parse_number_option(std::string_view text,
                                                 std::uint64_t largest);

// The first argument that is not valid UTF-8, counted from 1.
std::optional<std::size_t> first_invalid_argument(const Args& args);

}  // namespace burrowlink
