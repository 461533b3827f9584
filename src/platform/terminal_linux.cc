// The console on Linux: terminals through termios, and poll(2) with
// POLLRDHUP to notice a sender that leaves while a question is open.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/network.h"
#include "platform/posix.h"
#include "platform/terminal.h"

namespace burrowlink::platform {

using posix::write_fd_all;

namespace {

// Set by an interruption, whose line end would otherwise be followed by a
// line still on its way from the console's own thread.
std::atomic<bool> g_interrupted{false};
// Console writes under way: an interruption lets them finish first.
std::atomic<int> g_writing{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "read in a signal handler");

}  // namespace

bool write_console(Stream stream, std::string_view text) {
  int fd = stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO;
  g_writing.fetch_add(1);
  const bool written =
      !g_interrupted.load() && write_fd_all(fd, text.data(), text.size()).ok();
  g_writing.fetch_sub(1);
  return written;
}

namespace {

std::atomic<const char*> g_interrupt_notice{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "read in a signal handler");
// The message is written into the buffer the handler does not read, then
// published: the handler runs on the main thread, which alone sets it.
char g_messages[2][1024];
std::atomic<const char*> g_interrupt_message{nullptr};

// `text`, cut on a character's boundary to fit `size` bytes with its
// terminating zero and, when cut, a line end.
void copy_message(std::string_view text, char* to, std::size_t size) {
  std::size_t n = std::min(text.size(), size - 2);
  while (n < text.size() && n > 0 &&
         (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
    --n;
  }
  std::memcpy(to, text.data(), n);
  if (n < text.size()) to[n++] = '\n';
  to[n] = '\0';
}

// Plain write(2): nothing here may allocate or take a lock.
void write_to_error(const char* text) {
  if (text == nullptr) return;
  for (std::size_t size = std::strlen(text); size > 0;) {
    ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void set_interrupt_notice(const char* text) { g_interrupt_notice = text; }

void set_interrupt_message(std::string_view text) {
  if (text.empty()) {
    g_interrupt_message = nullptr;
    return;
  }
  char* buffer = g_interrupt_message.load() == g_messages[0] ? g_messages[1]
                                                             : g_messages[0];
  copy_message(text, buffer, sizeof g_messages[0]);
  g_interrupt_message = buffer;
}

void write_interrupt_notice() {
  g_interrupted = true;
  // A write under way ends before the notice does; at most 200 ms, as the
  // handler may be running on the very thread that writes.
  for (int i = 0; i < 200 && g_writing.load() > 0; ++i) {
    timespec pause{0, 1'000'000};
    ::nanosleep(&pause, nullptr);
  }
  write_to_error(g_interrupt_notice);
  write_to_error(g_interrupt_message);
}

bool is_terminal(Stream stream) {
  return isatty(stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

std::size_t terminal_width(Stream stream) {
  winsize size{};
  int fd = stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO;
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::optional<std::string> read_input_line() {
  // Byte by byte, so that nothing past this line is taken from a shared pipe.
  std::string line;
  char c;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    line.push_back(c);
    if (c == '\n') break;
  }
  if (line.empty()) return std::nullopt;
  return line;
}

bool input_is_terminal() { return isatty(STDIN_FILENO) == 1; }

bool input_is_closed() {
  struct stat st {
  }, null_device{};
  if (::fstat(STDIN_FILENO, &st) != 0) return true;
  if (S_ISCHR(st.st_mode) && ::stat("/dev/null", &null_device) == 0 &&
      st.st_rdev == null_device.st_rdev) {
    return true;
  }
  // Our terminal, whose foreground job is another: reading would stop us.
  if (isatty(STDIN_FILENO) != 1) return false;
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground > 0 && foreground != getpgrp();
}

void discard_typed_input() {
  if (isatty(STDIN_FILENO) == 1) tcflush(STDIN_FILENO, TCIFLUSH);
}

InputLine read_input_line_while_open(const TcpStream& watched) {
  // Only the peer's end of the stream counts: a sender that says more
  // before the answer is not waited on in a loop.
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0},
                   {static_cast<int>(watched.native()), POLLRDHUP, 0}};
  for (;;) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return {read_input_line(), false};
    if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) return {{}, true};
    if (fds[0].revents != 0) return {read_input_line(), false};
  }
}

}  // namespace burrowlink::platform
