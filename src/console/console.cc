#include "console/console.h"

#include <memory>
#include <system_error>

#include "console/writer.h"
#include "text/unicode.h"

namespace burrowlink::console {

namespace {

std::unique_ptr<BackgroundWriter> g_writer;

void emit(Stream stream, std::string_view text, bool status) {
  if (g_writer && on_terminal(stream)) {
    g_writer->write(stream, std::string(text), status);
  } else {
    platform::write_console(stream, text);
  }
}

}  // namespace

void print(Stream stream, std::string_view text) { emit(stream, text, false); }

void print_status(Stream stream, std::string_view text) {
  emit(stream, text, true);
}

void write_terminals_in_background() {
  if (g_writer || !(on_terminal(Stream::out) || on_terminal(Stream::err))) {
    return;
  }
  try {
    g_writer = std::make_unique<BackgroundWriter>(
        [](Stream stream, std::string_view text) {
          platform::write_console(stream, text);
        });
  } catch (const std::system_error&) {
    // No thread to spare: text is written as it comes.
  }
}

void flush() {
  if (g_writer) g_writer->flush();
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
