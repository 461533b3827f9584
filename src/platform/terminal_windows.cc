// The console on Windows: UTF-16 console calls where a console is attached,
// bytes elsewhere, and a reader thread so that a sender that leaves can end
// an open question.

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <atomic>

#include "platform/network.h"
#include "platform/terminal.h"
#include "platform/win32.h"
#include "rules/windows_rules.h"

namespace burrowlink::platform {

using win32::is_console;
using win32::narrow;
using win32::widen;
using win32::write_handle_all;

namespace {

HANDLE std_handle(Stream stream) {
  return GetStdHandle(stream == Stream::out ? STD_OUTPUT_HANDLE
                                            : STD_ERROR_HANDLE);
}

}  // namespace

bool write_console(Stream stream, std::string_view text) {
  HANDLE h = std_handle(stream);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  if (!is_console(h)) return write_handle_all(h, text.data(), text.size()).ok();
  std::wstring wide = widen(text);
  std::size_t done = 0;
  while (done < wide.size()) {
    std::size_t chunk_units = std::min<std::size_t>(wide.size() - done, 8192);
    // Never split a surrogate pair between two writes.
    if (chunk_units > 1 && done + chunk_units < wide.size() &&
        wide[done + chunk_units - 1] >= 0xD800 &&
        wide[done + chunk_units - 1] <= 0xDBFF) {
      --chunk_units;
    }
    DWORD chunk = static_cast<DWORD>(chunk_units);
    DWORD written = 0;
    if (!WriteConsoleW(h, wide.data() + done, chunk, &written, nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

namespace {

std::atomic<const char*> g_interrupt_notice{nullptr};
// The console control handler takes the lock and never gives it back: the
// process ends right after.
SRWLOCK g_message_lock = SRWLOCK_INIT;
std::string g_interrupt_message;

}  // namespace

void set_interrupt_notice(const char* text) { g_interrupt_notice = text; }

void set_interrupt_message(std::string_view text) {
  AcquireSRWLockExclusive(&g_message_lock);
  g_interrupt_message.assign(text);
  ReleaseSRWLockExclusive(&g_message_lock);
}

void write_interrupt_notice() {
  // The console control handler runs on a thread of its own, where the
  // usual console write is safe.
  if (const char* text = g_interrupt_notice) write_console(Stream::err, text);
  AcquireSRWLockExclusive(&g_message_lock);
  write_console(Stream::err, g_interrupt_message);
}

bool is_terminal(Stream stream) { return is_console(std_handle(stream)); }

std::size_t terminal_width(Stream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(std_handle(stream), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return static_cast<std::size_t>(columns);
  }
  return 80;
}

namespace {

// One line typed at console `h`, read as the console edits it.
std::optional<std::string> read_console_line(HANDLE h) {
  // Line input for this answer, whatever mode an earlier program left;
  // the console gets its own mode back afterwards.
  DWORD mode = 0;
  const bool have_mode = GetConsoleMode(h, &mode);
  const DWORD wanted = rules::windows::line_input_mode(mode);
  struct Restore {
    HANDLE h;
    DWORD mode;
    bool changed;
    ~Restore() {
      if (changed) SetConsoleMode(h, mode);
    }
  } restore{h, mode, have_mode && wanted != mode && SetConsoleMode(h, wanted)};
  std::wstring line;
  for (;;) {
    wchar_t c;
    DWORD got = 0;
    CONSOLE_READCONSOLE_CONTROL control{sizeof control, 0,
                                        rules::windows::ANSWER_WAKEUP_MASK, 0};
    if (!ReadConsoleW(h, &c, 1, &got, &control)) return std::nullopt;
    if (got == 0) break;
    // Ctrl+Z at the start of a line is the console's end of input; the
    // rest of its line goes too, or it would answer the next question.
    if (c == 0x1A && line.empty()) {
      while (ReadConsoleW(h, &c, 1, &got, nullptr) && got == 1 && c != L'\n') {
      }
      return std::nullopt;
    }
    line.push_back(c);
    if (c == L'\n') break;
  }
  if (line.empty()) return std::nullopt;
  // The console echoes no line end for a line feed that woke it up: the
  // answer's line ends here, as after Enter.
  if (rules::windows::answer_end(line) == rules::windows::AnswerEnd::wake_up) {
    write_console(
        is_console(std_handle(Stream::err)) ? Stream::err : Stream::out, "\n");
  }
  return narrow(line);
}

}  // namespace

std::optional<std::string> read_input_line() {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return std::nullopt;
  if (is_console(h)) return read_console_line(h);
  // Byte by byte, so that nothing past this line is taken from a shared pipe.
  std::string line;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(h, &c, 1, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) break;
      return std::nullopt;
    }
    if (got == 0) break;
    line.push_back(c);
    if (c == '\n') break;
  }
  if (line.empty()) return std::nullopt;
  return line;
}

bool input_is_terminal() { return is_console(GetStdHandle(STD_INPUT_HANDLE)); }

bool input_is_closed() {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return true;
  // NUL is a character device that is no console.
  return GetFileType(h) == FILE_TYPE_CHAR && !is_console(h);
}

void discard_typed_input() {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (is_console(h)) FlushConsoleInputBuffer(h);
}

namespace {

// True once the peer of `s` has closed the connection (or it failed).
bool peer_closed(SOCKET s) {
  WSAPOLLFD watch{s, POLLRDNORM, 0};
  if (WSAPoll(&watch, 1, 0) <= 0) return false;
  if (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  char byte;
  // Readable: the end of the stream reads as 0 bytes, data stays queued.
  return recv(s, &byte, 1, MSG_PEEK) <= 0;
}

}  // namespace

InputLine read_input_line_while_open(const TcpStream& watched) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!is_console(input)) return {read_input_line(), false};
  // The console echoes and edits only while a read is pending, so the line
  // is read on a thread of its own while this one watches the connection;
  // a sender that leaves ends the read with an Enter of our own, or by
  // cancelling it.
  struct Read {
    std::optional<std::string> line;
  } read;
  HANDLE reader = CreateThread(
      nullptr, 0,
      [](void* state) -> DWORD {
        static_cast<Read*>(state)->line = read_input_line();
        return 0;
      },
      &read, 0, nullptr);
  if (reader == nullptr) return {read_input_line(), false};
  bool left = false;
  while (WaitForSingleObject(reader, 250) == WAIT_TIMEOUT) {
    if (!peer_closed(win32::untag_socket(watched.native()))) continue;
    left = true;
    INPUT_RECORD enter[2] = {};
    for (int i = 0; i < 2; ++i) {
      enter[i].EventType = KEY_EVENT;
      enter[i].Event.KeyEvent.bKeyDown = i == 0;
      enter[i].Event.KeyEvent.wRepeatCount = 1;
      enter[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
      enter[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
    }
    DWORD written = 0;
    if (!WriteConsoleInputW(input, enter, 2, &written) || written != 2) {
      CancelSynchronousIo(reader);
    }
    // An Enter of ours left over is dropped before the next question.
    WaitForSingleObject(reader, INFINITE);
  }
  CloseHandle(reader);
  if (left) return {std::nullopt, true};
  return {std::move(read.line), false};
}

}  // namespace burrowlink::platform
