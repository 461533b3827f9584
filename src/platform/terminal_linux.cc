// The console on Linux: terminals through termios, and poll(2) with
// POLLRDHUP to notice a sender that leaves while a question is open.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/network.h"
#include "platform/posix.h"
#include "platform/terminal.h"

namespace burrowlink::platform {

using posix::write_fd_all;

bool write_console(Stream stream, std::string_view text) {
  int fd = stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO;
  return write_fd_all(fd, text.data(), text.size()).ok();
}

namespace {

std::atomic<const char*> g_interrupt_notice{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "read in a signal handler");

}  // namespace

void set_interrupt_notice(const char* text) { g_interrupt_notice = text; }

void write_interrupt_notice() {
  // Plain write(2): nothing here may allocate or take a lock.
  const char* text = g_interrupt_notice;
  if (text == nullptr) return;
  for (std::size_t size = std::strlen(text); size > 0;) {
    ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
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
