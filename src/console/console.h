#pragma once

// Console output. Texts that came from another device go through `peer` so
// that a terminal never receives their control characters raw.

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace burrowlink::console {

using platform::Stream;

// True when `stream` is a terminal; asked once per process.
bool on_terminal(Stream stream);

// Writes `text` unbuffered; a failure is ignored.
void print(Stream stream, std::string_view text);

// `text` as it may be shown on `stream`: unchanged for a pipe or a file,
// control characters escaped for a terminal.
std::string peer(Stream stream, std::string_view text);

}  // namespace burrowlink::console
