// What every backend's process does alike, on top of its own calls.
#include "platform/process.h"

#include <cstdlib>

#include "platform/terminal.h"
#include "text/unicode.h"

namespace burrowlink::platform {

void fatal(std::string_view message) {
  std::string line = "burrowlink: ";
  line += message;
  line += '\n';
  write_console(Stream::err, line);
  std::_Exit(70);
}

std::optional<std::string> home_folder() {
  // USERPROFILE first on every system, as the other apps of the protocol
  // look for it: one variable moves the identity file anywhere.
  for (const char* name : {"USERPROFILE", "HOME"}) {
    std::optional<std::string> value = get_env(name);
    if (value && text::is_valid_utf8(*value)) return value;
  }
  return std::nullopt;
}

}  // namespace burrowlink::platform
