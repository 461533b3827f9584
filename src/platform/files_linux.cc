// Files on Linux: folders held open with O_PATH, entries made and checked
// relative to them (openat, mkdirat, fstatat), and signal handlers that
// delete the file in progress.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/interrupts_posix.h"
#include "platform/posix.h"
#include "platform/terminal.h"
#include "rules/posix_rules.h"

namespace burrowlink::platform {

using posix::fd_of;
using posix::last_os_error;
using posix::os_error;
using posix::write_fd_all;

namespace {

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

}  // namespace

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
  write_interrupt_notice();
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
  return rules::posix::join_path(folder, name);
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
  return rules::posix::parent_path(path);
}

}  // namespace burrowlink::platform
