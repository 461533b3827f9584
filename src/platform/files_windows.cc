// Files on Windows: folders held so that nobody renames them meanwhile,
// long paths, and entries opened without following links.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/win32.h"
#include "rules/windows_rules.h"

namespace burrowlink::platform {

using win32::handle_of;
using win32::last_error;
using win32::narrow;
using win32::native_path;
using win32::open_entry;
using win32::open_existing_file;
using win32::os_error;
using win32::write_handle_all;

namespace {

// Rights for the current user alone: a protected DACL with one entry, so
// that nothing is inherited from the folder. None (the folder's rights)
// when the user's SID cannot be had.
class UserOnly {
 public:
  UserOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> user(size);
    LPWSTR sid = nullptr;
    if (size > 0 &&
        GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
        ConvertSidToStringSidW(
            reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
      const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
      LocalFree(sid);
      if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
              sddl.c_str(), SDDL_REVISION_1, &m_descriptor, nullptr)) {
        m_attributes = {sizeof m_attributes, m_descriptor, FALSE};
      }
    }
    CloseHandle(token);
  }
  ~UserOnly() { LocalFree(m_descriptor); }
  UserOnly(const UserOnly&) = delete;
  UserOnly& operator=(const UserOnly&) = delete;

  SECURITY_ATTRIBUTES* get() {
    return m_descriptor != nullptr ? &m_attributes : nullptr;
  }

 private:
  PSECURITY_DESCRIPTOR m_descriptor = nullptr;
  SECURITY_ATTRIBUTES m_attributes{};
};

// FILETIME counts 100 ns from 1601.
std::int64_t nanoseconds_of(const FILETIME& time) {
  constexpr std::int64_t FROM_1601 = 116444736000000000;
  const auto ticks = static_cast<std::int64_t>(
      std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime);
  return (ticks - FROM_1601) * 100;
}

FileStatus status_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStatus status;
  status.type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ? FileType::directory
                    : FileType::regular;
  status.size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  status.modified = nanoseconds_of(info.ftLastWriteTime);
  status.device = info.dwVolumeSerialNumber;
  status.number = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return status;
}

Error not_a_folder() {
  Error error = os_error(ERROR_DIRECTORY);
  error.kind = ErrorKind::not_a_folder;
  return error;
}

// Opens the folder at `path` and holds it: without FILE_SHARE_DELETE nobody
// can rename or replace it while received files are made under its path.
Result<Handle> hold_folder(const std::string& path, bool follow_links) {
  // Share modes bind only handles with some data access: traversal is
  // enough for others' renames and deletions to wait for us.
  HANDLE h =
      CreateFileW(native_path(path.empty() ? "." : path).c_str(), FILE_TRAVERSE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS |
                      (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                  nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Handle held(reinterpret_cast<std::intptr_t>(h));
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileType(h) != FILE_TYPE_DISK ||
      !GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag,
                                    sizeof tag) ||
      !(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      rules::windows::is_link(tag.FileAttributes, tag.ReparseTag)) {
    return not_a_folder();
  }
  return held;
}

}  // namespace

Result<Directory> Directory::open(const std::string& path) {
  Result<Handle> held = hold_folder(path, true);
  if (!held.ok()) return std::move(held).error();
  Directory folder;
  folder.m_handle = std::move(held).value();
  folder.m_path = path;
  folder.m_name_limit = platform::name_limit(path);
  return folder;
}

Result<Directory> Directory::open_child(std::string_view name) const {
  std::string path = join_path(m_path, name);
  if (rules::windows::is_device_name(name)) return not_a_folder();
  Result<Handle> held = hold_folder(path, false);
  if (!held.ok()) return std::move(held).error();
  Directory folder;
  folder.m_handle = std::move(held).value();
  folder.m_path = std::move(path);
  folder.m_name_limit = m_name_limit;
  return folder;
}

Status Directory::make_folder(std::string_view name) const {
  if (rules::windows::is_device_name(name)) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  if (holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::already_exists};
  }
  return make_directory(join_path(m_path, name));
}

Result<Directory> Directory::open_private_folder(std::string_view name) const {
  const std::string path = join_path(m_path, name);
  const std::wstring native = native_path(path);
  if (!CreateDirectoryW(native.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return last_error();
  }
  // Hidden, as a dot name is elsewhere; a failure costs only that.
  const DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      !(attributes & FILE_ATTRIBUTE_HIDDEN)) {
    SetFileAttributesW(native.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
  }
  Result<Directory> folder = open_child(name);
  if (folder.ok()) folder->m_name = name;
  return folder;
}

namespace {

Result<FileIdentity> identity_of(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return last_error();
  return FileIdentity{
      info.dwVolumeSerialNumber,
      std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

}  // namespace

Result<FileIdentity> Directory::identity() const {
  return identity_of(handle_of(m_handle));
}

Result<std::uint64_t> Directory::volume() const {
  Result<FileIdentity> self = identity();
  if (!self.ok()) return std::move(self).error();
  return self->device;
}

Result<FileIdentity> Directory::identity(std::string_view name) const {
  HANDLE h = open_entry(join_path(m_path, name), 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Handle owned(reinterpret_cast<std::intptr_t>(h));
  return identity_of(h);
}

Result<File> Directory::open_file(std::string_view name) const {
  HANDLE h = open_existing_file(join_path(m_path, name), GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  return File(reinterpret_cast<std::intptr_t>(h));
}

Result<FileStatus> Directory::status(std::string_view name) const {
  HANDLE h = open_entry(join_path(m_path, name), 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Handle owned(reinterpret_cast<std::intptr_t>(h));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return last_error();
  FileStatus status = status_of(info);
  // The change time is not among the handle's usual information.
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
    status.changed = basic.ChangeTime.QuadPart;
  }
  return status;
}

Status Directory::remove(std::string_view name) const {
  if (!DeleteFileW(native_path(join_path(m_path, name)).c_str())) {
    return last_error();
  }
  return {};
}

Status Directory::remove_folder(std::string_view name) const {
  if (!RemoveDirectoryW(native_path(join_path(m_path, name)).c_str())) {
    return last_error();
  }
  return {};
}

Status Directory::write_new(std::string_view name,
                            std::string_view data) const {
  const std::string path = join_path(m_path, name);
  UserOnly user_only;
  HANDLE h = CreateFileW(
      native_path(path).c_str(), GENERIC_WRITE, 0, user_only.get(), CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Status written = write_handle_all(h, data.data(), data.size());
  if (!CloseHandle(h) && written.ok()) written = last_error();
  if (!written.ok()) DeleteFileW(native_path(path).c_str());
  return written;
}

Status Directory::sync_file(std::string_view name) const {
  // Only a handle that may write can be flushed.
  HANDLE h = open_existing_file(join_path(m_path, name), GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Status synced;
  if (!FlushFileBuffers(h)) synced = last_error();
  CloseHandle(h);
  return synced;
}

Status Directory::append(std::string_view name, std::string_view data) const {
  UserOnly user_only;  // when it is made
  HANDLE h = CreateFileW(
      native_path(join_path(m_path, name)).c_str(), FILE_APPEND_DATA,
      FILE_SHARE_READ, user_only.get(), OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Status written = write_handle_all(h, data.data(), data.size());
  if (!CloseHandle(h) && written.ok()) written = last_error();
  return written;
}

Status File::close() {
  HANDLE h = handle_of(m_handle);
  if (m_handle.get() == -1) return {};
  m_handle.release();
  if (!CloseHandle(h)) return last_error();
  return {};
}

Result<File> File::open_read(const std::string& path) {
  HANDLE h =
      CreateFileW(native_path(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  File file;
  file.m_handle = Handle(reinterpret_cast<std::intptr_t>(h));
  return file;
}

Status File::seek(std::uint64_t offset) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(handle_of(m_handle), at, nullptr, FILE_BEGIN)) {
    return last_error();
  }
  return {};
}

Result<std::size_t> File::read(Bytes buffer) {
  DWORD got = 0;
  DWORD want =
      static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
  if (!ReadFile(handle_of(m_handle), buffer.data(), want, &got, nullptr)) {
    return last_error();
  }
  return static_cast<std::size_t>(got);
}

Status File::write_all(ConstBytes data) {
  return write_handle_all(handle_of(m_handle),
                          reinterpret_cast<const char*>(data.data()),
                          data.size());
}

Result<FileStatus> File::status() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle_of(m_handle), &info)) {
    return last_error();
  }
  return status_of(info);
}

Result<FileStatus> file_status(const std::string& path) {
  // Opening without access follows links and works for folders too.
  HANDLE h =
      CreateFileW(native_path(path).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Handle owned(reinterpret_cast<std::intptr_t>(h));
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) == FILE_TYPE_DISK &&
      GetFileInformationByHandle(h, &info)) {
    return status_of(info);
  }
  return FileStatus{};
}

Result<std::vector<FolderEntry>> read_folder(const std::string& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(
      native_path(join_path(path, "*")).c_str(), FindExInfoBasic, &found,
      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  std::vector<FolderEntry> entries;
  if (search == INVALID_HANDLE_VALUE) {
    // A drive's empty root lists nothing at all, not even "." and "..".
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return entries;
    return last_error();
  }
  do {
    std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry entry;
    entry.name = narrow(name);
    entry.link =
        rules::windows::is_link(found.dwFileAttributes, found.dwReserved0);
    if (entry.link) {
      entry.status = file_status(join_path(path, entry.name));
    } else {
      FileStatus status;
      status.type = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                        ? FileType::directory
                        : FileType::regular;
      status.size =
          std::uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow;
      status.modified = nanoseconds_of(found.ftLastWriteTime);
      entry.status = status;
    }
    entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) return os_error(code);
  return entries;
}

Status check_readable(const std::string& path) {
  Result<File> opened = File::open_read(path);
  if (!opened.ok()) return std::move(opened).error();
  return {};
}

Result<std::string> full_path(const std::string& path) {
  const std::wstring wide = win32::widen(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetFullPathNameW(
        wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (got == 0) return last_error();
    if (got < full.size()) {
      full.resize(got);
      return narrow(full);
    }
    full.resize(got);  // what it takes, terminator included
  }
}

bool path_exists(const std::string& path) {
  // Opened, not asked for attributes, so that links are followed.
  return file_status(path).ok();
}

Status make_directory(const std::string& path) {
  if (!CreateDirectoryW(native_path(path).c_str(), nullptr)) {
    Error error = last_error();
    error.kind = rules::windows::create_folder_error_kind(
        static_cast<std::uint32_t>(error.os_code),
        error.os_code == ERROR_ACCESS_DENIED && is_directory(path));
    return error;
  }
  return {};
}

bool is_directory(const std::string& path) {
  Result<FileStatus> status = file_status(path);
  return status.ok() && status->type == FileType::directory;
}

Status remove_file(const std::string& path) {
  if (!DeleteFileW(native_path(path).c_str())) return last_error();
  return {};
}

Result<std::string> read_file(const std::string& path) {
  Result<File> file = File::open_read(path);
  if (!file.ok()) return std::move(file).error();
  std::string content;
  std::uint8_t buffer[4096];
  for (;;) {
    Result<std::size_t> got = file->read(buffer);
    if (!got.ok()) return std::move(got).error();
    if (*got == 0) return content;
    content.append(reinterpret_cast<const char*>(buffer), *got);
  }
}

Status write_file(const std::string& path, std::string_view data) {
  // Opened and cut to length rather than CREATE_ALWAYS, which refuses a
  // file that has the hidden or system attribute.
  HANDLE h = CreateFileW(native_path(path).c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Handle owned(reinterpret_cast<std::intptr_t>(h));
  if (Status written = write_handle_all(h, data.data(), data.size());
      !written.ok()) {
    return written;
  }
  if (!SetEndOfFile(h)) return last_error();
  return {};
}

std::string join_path(std::string_view folder, std::string_view name) {
  return rules::windows::join_path(folder, name);
}

std::string parent_path(std::string_view path) {
  return rules::windows::parent_path(path);
}

bool drops_trailing_dots_and_spaces() { return true; }

bool two_slashes_start_a_share() { return true; }

std::size_t name_limit(const std::string&) {
  // Every file system Windows writes to (NTFS, ReFS, FAT32, exFAT) takes
  // names of 255 UTF-16 units. Asking the volume would tell no more, and
  // under Wine it complains on standard error about volumes it cannot read.
  return 255;
}

Result<std::uint64_t> free_space(const std::string& folder) {
  ULARGE_INTEGER available{};
  // A share's folder must end in a backslash.
  std::wstring path = native_path(folder.empty() ? "." : folder);
  if (path.back() != L'\\') path += L'\\';
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) {
    return last_error();
  }
  return std::uint64_t{available.QuadPart};
}

std::size_t name_units(std::string_view name) {
  return rules::windows::name_units(name);
}

}  // namespace burrowlink::platform
