#include "console/console.h"

#include "text/unicode.h"

namespace burrowlink::console {

void print(Stream stream, std::string_view text) {
  platform::write_console(stream, text);
}

bool on_terminal(Stream stream) {
  static const bool out_is_terminal = platform::is_terminal(Stream::out);
  static const bool err_is_terminal = platform::is_terminal(Stream::err);
  return stream == Stream::out ? out_is_terminal : err_is_terminal;
}

std::string peer(Stream stream, std::string_view text) {
  // Pipes and files get the bytes as sent; only a terminal would act on them.
  return on_terminal(stream) ? text::escape_controls(text) : std::string(text);
}

}  // namespace burrowlink::console
