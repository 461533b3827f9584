#pragma once

// The console: writing standard output and error, the terminal's width,
// and reading a person's answer from standard input.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace burrowlink::platform {

class TcpStream;

enum class Stream { out, err };

// Writes all of `text` unbuffered. Returns false when the write failed.
bool write_console(Stream stream, std::string_view text);

// What an interruption that ends the process (Ctrl+C, SIGTERM, a closed
// console) writes to standard error first, such as the end of a line drawn
// without one; nullptr for nothing. `text` must stay valid while it is set.
// The interrupt handlers write it with `write_interrupt_notice`, which is
// safe in a signal handler, and call into nothing else of the console.
void set_interrupt_notice(const char* text);
// What such an interruption writes after the notice, such as what it leaves
// for later; empty for nothing. Copied (1 KiB at most), so that it may be set
// at any moment from the main thread.
void set_interrupt_message(std::string_view text);
void write_interrupt_notice();

// True when `stream` is a terminal rather than a pipe or a file.
bool is_terminal(Stream stream);

// The width of the terminal behind `stream` in columns; 80 when unknown.
std::size_t terminal_width(Stream stream);

// One line of standard input, line end included; nullopt at the end of the
// input or on a read failure.
std::optional<std::string> read_input_line();

// True when standard input is a terminal (a console on Windows).
bool input_is_terminal();
// True when standard input can give no answer now: closed, the null
// device, or a terminal whose foreground job is another one (reading it
// would stop this program).
bool input_is_closed();
// Drops whatever was typed at the terminal and not yet read, so that a key
// pressed earlier cannot answer a question asked now. Nothing elsewhere.
void discard_typed_input();

// One line of standard input as `read_input_line` reads it, unless the peer
// of `watched` closes the connection first (then `peer_left` and no line).
// Waits for both without spinning.
struct InputLine {
  std::optional<std::string> line;
  bool peer_left = false;
};
InputLine read_input_line_while_open(const TcpStream& watched);

}  // namespace burrowlink::platform
