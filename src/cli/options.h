#pragma once

// The option grammar that every command shares.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "cli/cli_error.h"

namespace burrowlink {

using Args = std::vector<std::string>;
using CommandResult = Result<void, CliError>;

// Where each argument stood on the command line; runs beside an Args.
using Positions = std::vector<std::size_t>;

// Removes the first `name` and the argument after it, returning that value.
// Absent, or `name` is the last argument: nullopt and `args` unchanged.
// `positions`, when given, loses the same entries.
std::optional<std::string> take_option(Args& args, std::string_view name,
                                       Positions* positions = nullptr);

// Removes the first `name`; true when there was one.
bool take_flag(Args& args, std::string_view name,
               Positions* positions = nullptr);

// An optional "+" and decimal digits, at most `largest`; nullopt otherwise.
std::optional<std::uint64_t> parse_number_option(std::string_view text,
                                                 std::uint64_t largest);

// An option as a command takes it: a flag, or the name of a value.
struct OptionRule {
  std::string_view name;
  bool takes_value;
};

// True when "--help" or "-h" stands among `args` on its own rather than as
// an option's value. `options` are the command's, in the order it takes
// them, since that decides which argument is whose value.
bool asks_for_help(Args args, std::span<const OptionRule> options);

// The first argument that is not valid UTF-8, counted from 1.
std::optional<std::size_t> first_invalid_argument(const Args& args);

}  // namespace burrowlink
