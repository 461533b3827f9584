#include "console/console.h"

#include "text/unicode.h"

namespace burrowlink::console {

void print(Stream stream, std::string_view text) {
  platform::write_console(stream, text);
}

std::string peer(Stream stream, std::string_view text) {
  // Pipes and files get the bytes as sent; only a terminal would act on them.
  static const bool out_is_terminal = platform::is_terminal(Stream::out);
  static const bool err_is_terminal = platform::is_terminal(Stream::err);
  bool terminal = stream == Stream::out ? out_is_terminal : err_is_terminal;
  return terminal ? text::escape_controls(text) : std::string(text);
}

}  // namespace burrowlink::console
