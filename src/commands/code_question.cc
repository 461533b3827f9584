#include "commands/code_question.h"

#include <optional>
#include <string>

#include "console/console.h"
#include "platform/terminal.h"
#include "text/unicode.h"

namespace burrowlink::commands {

bool is_yes(const std::optional<std::string>& line) {
  if (!line || !text::is_valid_utf8(*line)) return false;
  const std::string reply = text::to_lower(text::trim_white_space(*line));
  return reply == "y" || reply == "yes";
}

bool confirm_code_at_console(std::string_view name, std::string_view code,
                             bool asked_here) {
  using console::Stream;
  const bool closed = platform::input_is_closed() ||
                      (!asked_here && !platform::input_is_terminal());
  // A key pressed before the code showed must not answer for it.
  if (!closed && platform::input_is_terminal()) platform::discard_typed_input();
  console::print(Stream::err, "Verification code: " + std::string(code) +
                                  "\nDoes " + console::peer(Stream::err, name) +
                                  " show the same code (answer n if it "
                                  "shows none)? [y/N] ");
  console::flush();
  if (closed) {
    console::print(Stream::err, "\n");
    return false;
  }
  const std::optional<std::string> line = platform::read_input_line();
  if (!line) console::print(Stream::err, "\n");
  return is_yes(line);
}

}  // namespace burrowlink::commands
