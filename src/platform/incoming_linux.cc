// Receiving on Linux: the file in progress, made and checked relative to
// its folder, and the signal handlers that delete it, or keep it made
// durable, on an interruption.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
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

namespace burrowlink::platform {

using posix::fd_of;
using posix::last_os_error;

namespace {

// The file being received, for the interrupt handler. Only the main thread
// writes it and only the main thread runs the handler, so the flag and a
// signal fence are all the ordering it needs.
struct InProgress {
  int folder = -1;
  int folder_parent = -1;  // a private folder's, to remove it when empty
  char folder_name[NAME_MAX + 1] = {};
  int fd = -1;
  dev_t device = 0;
  ino_t number = 0;
  char name[PATH_MAX] = {};
};
// The file in progress is to stay, its bytes made durable, rather than go.
volatile std::sig_atomic_t g_keep_in_progress = 0;
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
    if (g_keep_in_progress) {
      // Only bytes on the disk may count as received after a restart.
      ::fdatasync(file.fd);
    } else if (still_there(file.folder, file.name, file.device, file.number)) {
      ::unlinkat(file.folder, file.name, 0);
      if (file.folder_parent >= 0) {
        ::unlinkat(file.folder_parent, file.folder_name, AT_REMOVEDIR);
      }
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

// Makes `handle`, `name` in this folder, the file in progress. On failure
// the file is closed, and deleted when `made`.
Result<IncomingFile> Directory::incoming(std::intptr_t handle,
                                         std::string_view name,
                                         bool made) const {
  const int fd = static_cast<int>(handle);
  const int folder = fd_of(m_handle);
  const std::string child(name);
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    // Without its number the file could not be told from a replacement.
    Error error = last_os_error();
    if (made) ::unlinkat(folder, child.c_str(), 0);
    return error;
  }
  // Held until the file is closed: another receiver's pruning skips it. A
  // file system without locks only loses that.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    if (made) ::unlinkat(folder, child.c_str(), 0);
    return Error{"another receiver is writing it"};
  }
  if (child.size() < sizeof g_in_progress.name) {
    g_has_in_progress = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_keep_in_progress = 0;
    g_in_progress.folder = folder;
    g_in_progress.folder_parent = -1;
    if (m_parent.get() >= 0 &&
        m_name.size() < sizeof g_in_progress.folder_name) {
      g_in_progress.folder_parent = fd_of(m_parent);
      std::memcpy(g_in_progress.folder_name, m_name.c_str(), m_name.size() + 1);
    }
    g_in_progress.fd = fd;
    g_in_progress.device = st.st_dev;
    g_in_progress.number = st.st_ino;
    std::memcpy(g_in_progress.name, child.c_str(), child.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_has_in_progress = 1;
  }
  return IncomingFile(std::move(file), *this, name, st.st_dev, st.st_ino);
}

Result<IncomingFile> Directory::create_file(std::string_view name) const {
  if (holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::already_exists};
  }
  // An interruption between the creation and the file's registration would
  // leave it: the signals wait until it is registered.
  InterruptsWait wait;
  // O_EXCL also refuses a link, dangling or not, at `name`.
  int fd = ::openat(fd_of(m_handle), std::string(name).c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return last_os_error();
  return incoming(fd, name, true);
}

Result<IncomingFile> Directory::reopen_file(std::string_view name) const {
  InterruptsWait wait;
  int fd = ::openat(fd_of(m_handle), std::string(name).c_str(),
                    O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  return incoming(fd, name, false);
}

bool Directory::in_use(std::string_view name) const {
  // Non-blocking, in case something else waits under the name.
  const int fd = ::openat(fd_of(m_handle), std::string(name).c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked =
      ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked;
}

namespace {

// Forgets the file in progress, which is decided now.
void settled() {
  g_has_in_progress = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace

Status IncomingFile::place(const Directory& folder, std::string_view name) {
  if (folder.holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::already_exists};
  }
  // In a folder of this user's alone nobody else can take its place; one
  // that is gone fails the rename. Anywhere else only our own file goes.
  const int from = fd_of(m_folder->m_handle), to = fd_of(folder.m_handle);
  if (m_folder->m_parent.get() < 0 &&
      !still_there(from, m_name.c_str(), m_device, m_number)) {
    settled();
    (void)m_file.close();  // the file is not ours to keep either way
    return Error{"the file was replaced while it was received"};
  }
  settled();
  if (Status closed = m_file.close(); !closed.ok()) {
    ::unlinkat(fd_of(m_folder->m_handle), m_name.c_str(), 0);
    return closed;
  }
  const std::string target(name);
  // Never over anything: a name taken meanwhile is the caller's to number.
  if (::renameat2(from, m_name.c_str(), to, target.c_str(), RENAME_NOREPLACE) ==
      0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS) {
    Error error = last_os_error();
    if (error.kind != ErrorKind::already_exists) {
      ::unlinkat(from, m_name.c_str(), 0);
    }
    return error;
  }
  // A file system without the flag: a hard link refuses a taken name just
  // the same.
  if (::linkat(from, m_name.c_str(), to, target.c_str(), 0) != 0) {
    Error error = last_os_error();
    if (error.kind != ErrorKind::already_exists) {
      ::unlinkat(from, m_name.c_str(), 0);
    }
    return error;
  }
  ::unlinkat(from, m_name.c_str(), 0);
  return {};
}

Status IncomingFile::truncate(std::uint64_t size) {
  if (::ftruncate(fd_of(m_file.m_handle), static_cast<off_t>(size)) != 0) {
    return last_os_error();
  }
  return {};
}

Status IncomingFile::set_modified(std::int64_t nanoseconds) {
  const timespec times[2] = {{0, UTIME_OMIT},
                             {static_cast<time_t>(nanoseconds / 1'000'000'000),
                              static_cast<long>(nanoseconds % 1'000'000'000)}};
  if (::futimens(fd_of(m_file.m_handle), times) != 0) return last_os_error();
  return {};
}

void IncomingFile::keep_when_interrupted() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_keep_in_progress = 1;
}

Status IncomingFile::suspend() {
  settled();
  Status synced;
  if (::fdatasync(fd_of(m_file.m_handle)) != 0) synced = last_os_error();
  Status closed = m_file.close();
  return synced.ok() ? closed : synced;
}

Status IncomingFile::sync() {
  if (::fdatasync(fd_of(m_file.m_handle)) != 0) return last_os_error();
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
  (void)m_file.close();  // what it held is gone or not ours to keep
  return deleted;
}

}  // namespace burrowlink::platform
