// Files on Linux: folders held open with O_PATH, and entries made and
// checked relative to them (openat, mkdirat, fstatat, unlinkat).
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
  status.modified =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
      st.st_mtim.tv_nsec;
  status.changed =
      static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 +
      st.st_ctim.tv_nsec;
  status.device = static_cast<std::uint64_t>(st.st_dev);
  status.number = static_cast<std::uint64_t>(st.st_ino);
  return status;
}

}  // namespace

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

Result<Directory> Directory::open_child(std::string_view name) const {
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
  if (holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::already_exists};
  }
  if (::mkdirat(fd_of(m_handle), std::string(name).c_str(), 0777) != 0) {
    return last_os_error();
  }
  return {};
}

Result<Directory> Directory::open_private_folder(std::string_view name) const {
  const std::string child(name);
  if (::mkdirat(fd_of(m_handle), child.c_str(), 0700) != 0 && errno != EEXIST) {
    return last_os_error();
  }
  Result<Directory> folder = open_child(name);
  if (!folder.ok()) return folder;
  struct stat st {};
  if (::fstat(fd_of(folder->m_handle), &st) != 0) return last_os_error();
  if (st.st_uid != ::geteuid()) {
    return Error{"another user's folder", ErrorKind::not_a_folder};
  }
  if ((st.st_mode & 077) != 0 &&
      ::fchmodat(fd_of(m_handle), child.c_str(), 0700, 0) != 0) {
    return last_os_error();
  }
  folder->m_parent = Handle(::fcntl(fd_of(m_handle), F_DUPFD_CLOEXEC, 0));
  folder->m_name = child;
  return folder;
}

Result<FileIdentity> Directory::identity() const {
  struct stat st {};
  if (::fstat(fd_of(m_handle), &st) != 0) return last_os_error();
  return FileIdentity{st.st_dev, st.st_ino};
}

Result<std::uint64_t> Directory::volume() const {
  struct statx st {};
  if (::statx(fd_of(m_handle), "", AT_EMPTY_PATH, STATX_MNT_ID, &st) != 0) {
    return last_os_error();
  }
  // Kernels before 5.8 know no mount id: the device is the next best.
  if (st.stx_mask & STATX_MNT_ID) return std::uint64_t{st.stx_mnt_id};
  return std::uint64_t{st.stx_dev_major} << 32 | st.stx_dev_minor;
}

Result<FileIdentity> Directory::identity(std::string_view name) const {
  struct stat st {};
  if (::fstatat(fd_of(m_handle), std::string(name).c_str(), &st,
                AT_SYMLINK_NOFOLLOW) != 0) {
    return last_os_error();
  }
  return FileIdentity{st.st_dev, st.st_ino};
}

Result<File> Directory::open_file(std::string_view name) const {
  // A FIFO or device put in its place must not block the reader.
  int fd = ::openat(fd_of(m_handle), std::string(name).c_str(),
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return last_os_error();
  return File(fd);
}

Result<FileStatus> Directory::status(std::string_view name) const {
  struct stat st {};
  if (::fstatat(fd_of(m_handle), std::string(name).c_str(), &st,
                AT_SYMLINK_NOFOLLOW) != 0) {
    return last_os_error();
  }
  return status_of(st);
}

Status Directory::remove(std::string_view name) const {
  if (::unlinkat(fd_of(m_handle), std::string(name).c_str(), 0) != 0) {
    return last_os_error();
  }
  return {};
}

Status Directory::remove_folder(std::string_view name) const {
  if (::unlinkat(fd_of(m_handle), std::string(name).c_str(), AT_REMOVEDIR) !=
      0) {
    return last_os_error();
  }
  return {};
}

Status Directory::write_new(std::string_view name,
                            std::string_view data) const {
  const std::string child(name);
  int fd = ::openat(fd_of(m_handle), child.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return last_os_error();
  Status written = write_fd_all(fd, data.data(), data.size());
  if (::close(fd) != 0 && written.ok()) written = last_os_error();
  if (!written.ok()) ::unlinkat(fd_of(m_handle), child.c_str(), 0);
  return written;
}

Status Directory::sync_file(std::string_view name) const {
  int fd = ::openat(fd_of(m_handle), std::string(name).c_str(),
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return last_os_error();
  Status synced;
  if (::fdatasync(fd) != 0) synced = last_os_error();
  ::close(fd);
  return synced;
}

Status Directory::append(std::string_view name, std::string_view data) const {
  int fd =
      ::openat(fd_of(m_handle), std::string(name).c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return last_os_error();
  Status written = write_fd_all(fd, data.data(), data.size());
  if (::close(fd) != 0 && written.ok()) written = last_os_error();
  return written;
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

Status File::seek(std::uint64_t offset) {
  if (::lseek(fd_of(m_handle), static_cast<off_t>(offset), SEEK_SET) < 0) {
    return last_os_error();
  }
  return {};
}

Status File::write_all(ConstBytes data) {
  return write_fd_all(fd_of(m_handle),
                      reinterpret_cast<const char*>(data.data()), data.size());
}

Result<FileStatus> File::status() const {
  struct stat st {};
  if (::fstat(fd_of(m_handle), &st) != 0) return last_os_error();
  return status_of(st);
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

Status check_readable(const std::string& path) {
  // As the effective user, as open(2) would check.
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) {
    return last_os_error();
  }
  return {};
}

Result<std::string> full_path(const std::string& path) {
  char* full = ::realpath(path.c_str(), nullptr);
  if (full == nullptr) return last_os_error();
  std::string owned(full);
  std::free(full);
  return owned;
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
