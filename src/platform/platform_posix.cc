#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/interrupts_posix.h"
#include "platform/native_address.h"
#include "platform/platform.h"

namespace burrowlink::platform {

namespace {

// The one place that words an OS error.
Error os_error(int code) {
  ErrorKind kind = ErrorKind::os;
  switch (code) {
    case EAGAIN:
    case ETIMEDOUT:
      kind = ErrorKind::timed_out;
      break;
    case EEXIST:
      kind = ErrorKind::already_exists;
      break;
    case ENOENT:
      kind = ErrorKind::not_found;
      break;
    default:
      break;
  }
  return Error{
      std::string(strerror(code)) + " (os error " + std::to_string(code) + ")",
      kind, code};
}

Error last_os_error() { return os_error(errno); }

FileStatus status_of(const struct stat& st) {
  FileStatus status;
  if (S_ISREG(st.st_mode)) {
    status.type = FileType::regular;
  } else if (S_ISDIR(st.st_mode)) {
    status.type = FileType::directory;
  }
  status.size = static_cast<std::uint64_t>(st.st_size);
  return status;
}

int fd_of(const Handle& handle) { return static_cast<int>(handle.get()); }

Status set_timeout(int fd, int option, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
    return last_os_error();
  }
  return {};
}

sockaddr_storage to_native(const SocketAddress& a, socklen_t& len) {
  return native::from_address(a, len);
}

SocketAddress from_native(const sockaddr_storage& storage) {
  return native::to_address(storage);
}

Status write_fd_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return Error{"failed to write whole buffer"};
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

void Handle::reset() {
  if (m_value >= 0) {
    ::close(static_cast<int>(m_value));
    m_value = -1;
  }
}

// --- Process -------------------------------------------------------------

void prepare_process() { signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::vector<std::string> expand_file_argument(std::size_t,
                                              std::string argument) {
  // The shell has expanded what was meant as a pattern; a file may really be
  // called "*.txt".
  std::vector<std::string> named;
  named.push_back(std::move(argument));
  return named;
}

// --- Environment and random source ---------------------------------------

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

Status random_bytes(Bytes out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// --- Console -------------------------------------------------------------

bool write_console(Stream stream, std::string_view text) {
  int fd = stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO;
  return write_fd_all(fd, text.data(), text.size()).ok();
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
                   {fd_of(watched.m_handle), POLLRDHUP, 0}};
  for (;;) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return {read_input_line(), false};
    if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) return {{}, true};
    if (fds[0].revents != 0) return {read_input_line(), false};
  }
}

std::optional<std::string> host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return std::nullopt;
  }
  return std::string(name);
}

// --- Files ---------------------------------------------------------------

namespace {

// The file being received, for the interrupt handler. Only the main thread
// writes it and only the main thread runs the handler, so the flag and a
// signal fence are all the ordering it needs.
struct InProgress {
  int folder = -1;
  dev_t device = 0;
  ino_t number = 0;
  char name[PATH_MAX] = {};
};
InProgress g_in_progress;
volatile std::sig_atomic_t g_has_in_progress = 0;
pthread_t g_main_thread;

// True when `name` in `folder` is still the file `device`/`number`.
bool still_there(int folder, const char* name, dev_t device, ino_t number) {
  struct stat st {};
  return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         st.st_dev == device && st.st_ino == number;
}

// Set while an InterruptsWait lives.
volatile std::sig_atomic_t g_creating = 0;
volatile std::sig_atomic_t g_deferred = 0;

[[noreturn]] void end_interrupted(int signal_number) {
  if (g_has_in_progress) {
    const InProgress& file = g_in_progress;
    if (still_there(file.folder, file.name, file.device, file.number)) {
      ::unlinkat(file.folder, file.name, 0);
    }
  }
  // Ends the process as the signal would have, for the shell to see.
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
  // Within the handler the signal stays blocked until it returns.
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
  std::_Exit(128 + signal_number);
}

void on_interrupt(int signal_number) {
  // Process signals may land on any thread; the main one owns the file.
  if (!pthread_equal(pthread_self(), g_main_thread)) {
    pthread_kill(g_main_thread, signal_number);
    return;
  }
  if (g_creating) {
    g_deferred = signal_number;
    return;
  }
  end_interrupted(signal_number);
}

}  // namespace

InterruptsWait::InterruptsWait() {
  g_creating = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

InterruptsWait::~InterruptsWait() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_creating = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (g_deferred != 0) end_interrupted(g_deferred);
}

void discard_incoming_on_interrupt() {
  g_main_thread = pthread_self();
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&action.sa_mask, signal_number);
  }
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored from the start (nohup, a script's background job)
    // stays ignored.
    struct sigaction before {};
    if (::sigaction(signal_number, nullptr, &before) == 0 &&
        before.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(signal_number, &action, nullptr);
  }
}

Result<Directory> Directory::open(const std::string& path) {
  int fd = ::open(path.empty() ? "." : path.c_str(),
                  O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  Directory folder;
  folder.m_handle = Handle(fd);
  folder.m_path = path;
  long limit = ::fpathconf(fd, _PC_NAME_MAX);
  folder.m_name_limit = limit > 0 ? static_cast<std::size_t>(limit) : 255;
  return folder;
}

Result<Directory> Directory::open_folder(std::string_view name) const {
  const std::string child(name);
  // O_NOFOLLOW with O_DIRECTORY refuses a link, to a folder or not.
  int fd = ::openat(fd_of(m_handle), child.c_str(),
                    O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    Error error = last_os_error();
    if (errno == ENOTDIR || errno == ELOOP)
      error.kind = ErrorKind::not_a_folder;
    return error;
  }
  Directory folder;
  folder.m_handle = Handle(fd);
  folder.m_path = join_path(m_path, name);
  folder.m_name_limit = m_name_limit;
  return folder;
}

Status Directory::make_folder(std::string_view name) const {
  if (::mkdirat(fd_of(m_handle), std::string(name).c_str(), 0777) != 0) {
    return last_os_error();
  }
  return {};
}

Result<IncomingFile> Directory::create_file(std::string_view name) const {
  const std::string child(name);
  // An interruption between the creation and the file's registration would
  // leave it: the signals wait until it is registered.
  InterruptsWait wait;
  // O_EXCL also refuses a link, dangling or not, at `name`.
  int fd = ::openat(fd_of(m_handle), child.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return last_os_error();
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    // Without its number the file could not be told from a replacement.
    Error error = last_os_error();
    ::unlinkat(fd_of(m_handle), child.c_str(), 0);
    return error;
  }
  if (child.size() < sizeof g_in_progress.name) {
    g_has_in_progress = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_in_progress.folder = fd_of(m_handle);
    g_in_progress.device = st.st_dev;
    g_in_progress.number = st.st_ino;
    std::memcpy(g_in_progress.name, child.c_str(), child.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_has_in_progress = 1;
  }
  return IncomingFile(std::move(file), *this, name, st.st_dev, st.st_ino);
}

namespace {

// Forgets the file in progress, which is decided now.
void settled() {
  g_has_in_progress = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace

Status IncomingFile::keep() {
  settled();
  const int folder = fd_of(m_folder->m_handle);
  struct stat st {};
  if (::fstatat(folder, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    (void)m_file.close();
    if (errno == ENOENT) {
      return Error{"the file was deleted while it was received"};
    }
    return last_os_error();
  }
  if (st.st_dev != m_device || st.st_ino != m_number) {
    (void)m_file.close();
    return Error{"the file was replaced while it was received"};
  }
  if (Status closed = m_file.close(); !closed.ok()) {
    if (still_there(folder, m_name.c_str(), m_device, m_number)) {
      ::unlinkat(folder, m_name.c_str(), 0);
    }
    return closed;
  }
  return {};
}

bool IncomingFile::discard() {
  if (m_file.m_handle.get() < 0) return false;
  const int folder = fd_of(m_folder->m_handle);
  // Deleted before it is forgotten, so that an interruption in between
  // cannot leave it.
  bool deleted = still_there(folder, m_name.c_str(), m_device, m_number) &&
                 ::unlinkat(folder, m_name.c_str(), 0) == 0;
  settled();
  (void)m_file.close();
  return deleted;
}

Status File::close() {
  int fd = fd_of(m_handle);
  if (fd < 0) return {};
  m_handle.release();
  // The descriptor is gone even when close fails; only the error remains.
  if (::close(fd) != 0 && errno != EINTR) return last_os_error();
  return {};
}

Result<File> File::open_read(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  return File(fd);
}

Result<std::size_t> File::read(Bytes buffer) {
  for (;;) {
    ssize_t n = ::read(fd_of(m_handle), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

Status File::write_all(ConstBytes data) {
  return write_fd_all(fd_of(m_handle),
                      reinterpret_cast<const char*>(data.data()), data.size());
}

Result<FileStatus> file_status(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  return status_of(st);
}

Result<std::vector<FolderEntry>> read_folder(const std::string& path) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return last_os_error();
  std::vector<FolderEntry> entries;
  const int fd = ::dirfd(folder);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(folder);
    if (entry == nullptr) break;
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry listed;
    listed.name = std::string(name);
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
      listed.link = true;
      if (::fstatat(fd, entry->d_name, &st, 0) != 0) st.st_mode = 0;
    }
    if (st.st_mode == 0) {
      listed.status = last_os_error();
    } else {
      listed.status = status_of(st);
    }
    entries.push_back(std::move(listed));
  }
  const int error = errno;
  ::closedir(folder);
  if (error != 0) return os_error(error);
  return entries;
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

Status make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) return last_os_error();
  return {};
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return last_os_error();
  return {};
}

Result<std::string> read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Error error = last_os_error();
      ::close(fd);
      return error;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

Status write_file(const std::string& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return last_os_error();
  Status status = write_fd_all(fd, data.data(), data.size());
  ::close(fd);
  return status;
}

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

bool drops_trailing_dots_and_spaces() { return false; }

bool two_slashes_start_a_share() { return false; }

std::size_t name_limit(const std::string& folder) {
  long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::size_t name_units(std::string_view name) { return name.size(); }

Result<std::uint64_t> free_space(const std::string& folder) {
  struct statvfs st {};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &st) != 0) {
    return last_os_error();
  }
  return std::uint64_t{st.f_bavail} * st.f_frsize;
}

std::string parent_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? "/" : std::string(parent);
}

// --- Addresses -----------------------------------------------------------

// --- TcpStream -----------------------------------------------------------

void TcpStream::close() { m_handle.reset(); }

Result<TcpStream> TcpStream::connect(const SocketAddress& to,
                                     std::chrono::milliseconds limit) {
  int fd = ::socket(to.is_v6 ? AF_INET6 : AF_INET,
                    SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error();
  TcpStream stream(fd);
  socklen_t len = 0;
  sockaddr_storage native = to_native(to, len);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    if (errno != EINPROGRESS) return last_os_error();
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return Error{"connection timed out", ErrorKind::timed_out};
      }
      pollfd p{fd, POLLOUT, 0};
      int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return last_os_error();
      if (ready == 0) {
        return Error{"connection timed out", ErrorKind::timed_out};
      }
      break;
    }
    int error = 0;
    socklen_t error_len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) != 0) {
      return last_os_error();
    }
    if (error != 0) return os_error(error);
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return last_os_error();
  }
  return stream;
}

Result<std::pair<TcpStream, TcpStream>> TcpStream::pair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return last_os_error();
  }
  return std::pair<TcpStream, TcpStream>(TcpStream(fds[0]), TcpStream(fds[1]));
}

Status TcpStream::set_no_delay() {
  int on = 1;
  if (setsockopt(fd_of(m_handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) !=
      0) {
    return last_os_error();
  }
  return {};
}

Status TcpStream::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(fd_of(m_handle), SO_RCVTIMEO, timeout);
}

Status TcpStream::set_write_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(fd_of(m_handle), SO_SNDTIMEO, timeout);
}

Result<std::size_t> TcpStream::read_some(Bytes buffer, Expect expect) {
  if (expect == Expect::reply && m_spin.count() > 0) {
    auto until = std::chrono::steady_clock::now() + m_spin;
    do {
      ssize_t n =
          ::recv(fd_of(m_handle), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n >= 0) {
        m_spin_misses = 0;
        return static_cast<std::size_t>(n);
      }
      if (errno != EAGAIN && errno != EINTR) return last_os_error();
    } while (std::chrono::steady_clock::now() < until);
    if (++m_spin_misses >= SPIN_MISSES) m_spin = {};
  }
  const int flags = expect == Expect::all ? MSG_WAITALL : 0;
  for (;;) {
    ssize_t n = ::recv(fd_of(m_handle), buffer.data(), buffer.size(), flags);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

Status TcpStream::write_all(ConstBytes data, bool more, std::size_t* written) {
  int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  std::size_t ignored = 0;
  std::size_t& done = written ? *written : ignored;
  done = 0;
  while (done < data.size()) {
    ssize_t n =
        ::send(fd_of(m_handle), data.data() + done, data.size() - done, flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return Error{"failed to write whole buffer"};
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// --- TcpListener ---------------------------------------------------------

void TcpListener::close() { m_handle.reset(); }

Result<TcpListener> TcpListener::listen_v4(std::uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error();
  TcpListener listener(fd);
  // Lets a restarted receiver take its port while old connections linger in
  // TIME_WAIT; a port that another socket listens on still fails.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t len = 0;
  sockaddr_storage native =
      to_native(SocketAddress::v4({0, 0, 0, 0}, port), len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_os_error();
  }
  if (::listen(fd, backlog) != 0) return last_os_error();
  return listener;
}

Result<std::uint16_t> TcpListener::local_port() const {
  sockaddr_storage native{};
  socklen_t len = sizeof native;
  if (getsockname(fd_of(m_handle), reinterpret_cast<sockaddr*>(&native),
                  &len) != 0) {
    return last_os_error();
  }
  return from_native(native).port;
}

Result<TcpStream> TcpListener::accept() {
  for (;;) {
    int fd = ::accept4(fd_of(m_handle), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return TcpStream(fd);
    if (errno != EINTR) return last_os_error();
  }
}

// --- UdpSocket -----------------------------------------------------------

Result<UdpSocket> UdpSocket::bind_v4(Ipv4 ip, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error();
  UdpSocket socket(fd);
  socklen_t len = 0;
  sockaddr_storage native = to_native(SocketAddress::v4(ip, port), len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_os_error();
  }
  return socket;
}

Status UdpSocket::enable_broadcast() {
  int on = 1;
  if (setsockopt(fd_of(m_handle), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) !=
      0) {
    return last_os_error();
  }
  return {};
}

Status UdpSocket::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(fd_of(m_handle), SO_RCVTIMEO, timeout);
}

Status UdpSocket::send_to(ConstBytes payload, const SocketAddress& to) {
  socklen_t len = 0;
  sockaddr_storage native = to_native(to, len);
  ssize_t n = ::sendto(fd_of(m_handle), payload.data(), payload.size(),
                       MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&native), len);
  if (n < 0) return last_os_error();
  return {};
}

Result<UdpSocket::Datagram> UdpSocket::receive_from(Bytes buffer) {
  for (;;) {
    sockaddr_storage native{};
    socklen_t len = sizeof native;
    // MSG_TRUNC makes the kernel report the datagram's real length.
    ssize_t n =
        ::recvfrom(fd_of(m_handle), buffer.data(), buffer.size(), MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&native), &len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    Datagram datagram;
    datagram.size = static_cast<std::size_t>(n);
    datagram.truncated = datagram.size > buffer.size();
    if (datagram.truncated) datagram.size = buffer.size();
    datagram.from = from_native(native);
    return datagram;
  }
}

Result<std::vector<Ipv4Interface>> ipv4_interfaces() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return last_os_error();
  std::vector<Ipv4Interface> result;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr) continue;
    if (entry->ifa_addr->sa_family != AF_INET) continue;
    // Up and with a carrier: a cable pulled out or Wi-Fi not joined is down.
    if ((entry->ifa_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) {
      continue;
    }
    uint32_t address =
        ntohl(reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    uint32_t mask = ntohl(
        reinterpret_cast<sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    if ((address >> 24) == 127) continue;
    if ((address >> 16) == 0xA9FE) continue;  // 169.254/16
    result.push_back(
        {native::ipv4_of(address), native::ipv4_of(address | ~mask)});
  }
  freeifaddrs(list);
  return result;
}

}  // namespace burrowlink::platform
