#include "commands/run.h"

#include <string>

#include "cli/version.h"
#include "commands/list.h"
#include "commands/receive.h"
#include "commands/send.h"
#include "console/console.h"
#include "text/unicode.h"

namespace burrowlink {

namespace {

struct Command {
  std::string_view name;
  CommandResult (*run)(Args args);
};

constexpr Command COMMANDS[] = {
    {"list", commands::list},
    {"send", commands::send},
    {"receive", commands::receive},
};

bool is_help_word(std::string_view word) {
  return word == "help" || word == "--help" || word == "-h";
}

bool is_version_word(std::string_view word) {
  return word == "--version" || word == "-V";
}

}  // namespace

CommandResult run(Args args) {
  if (args.empty()) return CliError{std::string(USAGE_TEXT)};
  // Help and the version ignore what follows them, whatever it is.
  const std::string& word = args.front();
  if (is_help_word(word)) {
    console::print(console::Stream::out, std::string(USAGE_TEXT) + "\n");
    return {};
  }
  if (is_version_word(word)) {
    console::print(console::Stream::out,
                   "burrowlink " + std::string(VERSION) + "\n");
    return {};
  }
  if (auto bad = first_invalid_argument(args)) {
    return CliError{
        invalid_argument_text(*bad, text::to_valid_utf8(args[*bad - 1]))};
  }
  for (const Command& command : COMMANDS) {
    if (word == command.name) {
      args.erase(args.begin());
      return command.run(std::move(args));
    }
  }
  return CliError{unknown_command_text(word)};
}

}  // namespace burrowlink
