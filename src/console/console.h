#pragma once

// Console output. Texts that came from another device go through `peer` so
// that a terminal never receives their control characters raw.

#include <string>
#include <string_view>

#include "platform/terminal.h"

namespace burrowlink::console {

using platform::Stream;

// True when `stream` is a terminal; asked once per process.
bool on_terminal(Stream stream);

// Writes `text` unbuffered; a failure is ignored. After
// `write_terminals_in_background`, text for a terminal is queued instead.
void print(Stream stream, std::string_view text);
// Like `print`, for a status line that a newer one may replace before it is
// written.
void print_status(Stream stream, std::string_view text);

// From now on, text for a terminal is written on a thread of its own, so
// that a console that stops taking output never holds up a transfer. Pipes
// and files are written at once, as before.
void write_terminals_in_background();
// Returns once all text printed so far has been written.
void flush();

// `text` as it may be shown on `stream`: unchanged for a pipe or a file,
// control characters escaped for a terminal.
std::string peer(Stream stream, std::string_view text);

}  // namespace burrowlink::console
