#include "commands/run.h"

#include <span>
#include <string>
#include <vector>

#include "cli/typos.h"
#include "cli/version.h"
#include "commands/list.h"
#include "commands/receive.h"
#include "commands/send.h"
#include "console/console.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

// Each command's options in the order it takes them, which decides what is
// an option's value and what stands on its own.
constexpr OptionRule LIST_OPTIONS[] = {{"--seconds", true}};
constexpr OptionRule SEND_OPTIONS[] = {
    {"--to", true},      {"--name", true},        {"--text", true},
    {"-r", false},       {"--recursive", false},  {"--secure", false},
    {"--verify", false}, {"--allow-clear", false}};
constexpr OptionRule RECEIVE_OPTIONS[] = {
    {"--dir", true},         {"--yes", false}, {"--once", false},
    {"--name", true},        {"--port", true}, {"--verify", false},
    {"--allow-clear", false}};

struct Command {
  std::string_view name;
  CommandResult (*run)(Args args);
  std::span<const OptionRule> options;
};

constexpr Command COMMANDS[] = {
    {"list", commands::list, LIST_OPTIONS},
    {"send", commands::send, SEND_OPTIONS},
    {"receive", commands::receive, RECEIVE_OPTIONS},
};

const Command* find_command(std::string_view word) {
  for (const Command& command : COMMANDS) {
    if (word == command.name) return &command;
  }
  return nullptr;
}

bool is_help_word(std::string_view word) {
  return word == "help" || word == "--help" || word == "-h";
}

bool is_version_word(std::string_view word) {
  return word == "--version" || word == "-V";
}

// A person at a terminal who mistyped a command word is offered the one it
// was nearly; scripts get the message as it always was.
std::string typo_hint(std::string_view word) {
  if (!console::on_terminal(console::Stream::err)) return "";
  std::vector<std::string_view> names;
  for (const Command& command : COMMANDS) names.push_back(command.name);
  std::optional<std::string_view> nearest = nearest_word(word, names, 2);
  return nearest ? "\n" + did_you_mean_text(*nearest) : "";
}

CommandResult print_usage() {
  console::print(console::Stream::out, std::string(USAGE_TEXT) + "\n");
  return {};
}

}  // namespace

bool asks_for_command_help(const Args& args) {
  const Command* command = args.empty() ? nullptr : find_command(args.front());
  return command != nullptr &&
         asks_for_help(Args(args.begin() + 1, args.end()), command->options);
}

CommandResult run(Args args) {
  if (args.empty()) return CliError{std::string(USAGE_TEXT)};
  // Help and the version ignore what follows them, whatever it is.
  const std::string& word = args.front();
  if (is_help_word(word)) return print_usage();
  if (is_version_word(word)) {
    console::print(console::Stream::out,
                   "burrowlink " + std::string(VERSION) + "\n");
    return {};
  }
  // Decided before anything runs: `receive --help` must not announce this
  // device and take offers.
  if (asks_for_command_help(args)) return print_usage();
  const Command* command = find_command(word);
  if (auto bad = first_invalid_argument(args)) {
    return CliError{
        invalid_argument_text(*bad, text::to_valid_utf8(args[*bad - 1]))};
  }
  if (command == nullptr) {
    return CliError{unknown_command_text(word) + typo_hint(word)};
  }
  args.erase(args.begin());
  return command->run(std::move(args));
}

}  // namespace burrowlink::commands
