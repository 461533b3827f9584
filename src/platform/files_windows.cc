// Files on Windows: folders held so that nobody renames them meanwhile,
// received files deleted through their handle, long paths, and the console
// control handler that deletes the file in progress.

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>

#include "platform/files.h"
#include "platform/terminal.h"
#include "platform/win32.h"
#include "rules/windows_rules.h"

namespace burrowlink::platform {

using win32::handle_of;
using win32::last_error;
using win32::last_nt_status;
using win32::narrow;
using win32::native_path;
using win32::os_error;
using win32::write_handle_all;

namespace {

// The file being received, for the console control handler, which runs on
// a thread of its own: it takes the lock and never gives it back.
SRWLOCK g_in_progress_lock = SRWLOCK_INIT;
HANDLE g_in_progress = nullptr;

void set_in_progress(HANDLE h) {
  AcquireSRWLockExclusive(&g_in_progress_lock);
  g_in_progress = h;
  ReleaseSRWLockExclusive(&g_in_progress_lock);
}

// Deletes the open file `h` through its handle: its name goes at once, also
// while a scanner or an indexer holds it open (POSIX semantics, Windows 10
// 1607 and later), else when the last handle closes.
bool delete_through_handle(HANDLE h) {
  // FileDispositionInfoEx and its flags, which the toolchain's headers
  // declare only for later target versions.
  constexpr auto DISPOSITION_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  constexpr DWORD DELETE_NOW = 0x1, POSIX_SEMANTICS = 0x2;
  DWORD now = DELETE_NOW | POSIX_SEMANTICS;
  if (SetFileInformationByHandle(h, DISPOSITION_EX, &now, sizeof now)) {
    return true;
  }
  FILE_DISPOSITION_INFO on_close{TRUE};
  return SetFileInformationByHandle(h, FileDispositionInfo, &on_close,
                                    sizeof on_close);
}

BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&g_in_progress_lock);
  if (g_in_progress != nullptr) delete_through_handle(g_in_progress);
  write_interrupt_notice();
  // What the system's own handler ends a process with on Ctrl+C.
  ExitProcess(0xC000013A);
}

struct FileId {
  DWORD volume = 0, high = 0, low = 0;
};

Result<FileId> file_id(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return last_error();
  return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh,
                info.nFileIndexLow};
}

// Opens what is at `path` without following a link, for its attributes.
HANDLE open_entry(const std::string& path, DWORD access, DWORD share) {
  return CreateFileW(
      native_path(path).c_str(), access, share, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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

void discard_incoming_on_interrupt() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

Result<Directory> Directory::open(const std::string& path) {
  Result<Handle> held = hold_folder(path, true);
  if (!held.ok()) return std::move(held).error();
  Directory folder;
  folder.m_handle = std::move(held).value();
  folder.m_path = path;
  folder.m_name_limit = platform::name_limit(path);
  return folder;
}

Result<Directory> Directory::open_folder(std::string_view name) const {
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
  return make_directory(join_path(m_path, name));
}

Result<IncomingFile> Directory::create_file(std::string_view name) const {
  // A device name opens the device in any folder; it is taken, as far as a
  // received file is concerned.
  if (rules::windows::is_device_name(name)) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  const std::string path = join_path(m_path, name);
  const std::wstring native = native_path(path);
  // An interruption between the creation and the file's registration would
  // leave it: the control handler waits for the lock until it is registered.
  AcquireSRWLockExclusive(&g_in_progress_lock);
  struct Unlock {
    ~Unlock() { ReleaseSRWLockExclusive(&g_in_progress_lock); }
  } unlock;
  // CREATE_NEW refuses anything at the path; with OPEN_REPARSE_POINT a link
  // there is never followed. DELETE lets a damaged file go through its
  // handle, and no other program can open it meanwhile without sharing
  // deletion.
  HANDLE h = CreateFileW(native.c_str(), GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    std::uint32_t status = last_nt_status();
    Error error = os_error(code);
    error.kind = rules::windows::create_file_error_kind(
        code, GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES,
        status);
    return error;
  }
  File file(reinterpret_cast<std::intptr_t>(h));
  if (GetFileType(h) != FILE_TYPE_DISK) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  Result<FileId> id = file_id(h);
  if (!id.ok()) {
    // Without its number the file could not be told from a replacement.
    delete_through_handle(h);
    return std::move(id).error();
  }
  g_in_progress = h;
  return IncomingFile(std::move(file), *this, name, id->volume,
                      std::uint64_t{id->high} << 32 | id->low);
}

Status IncomingFile::keep() {
  HANDLE h = handle_of(m_file.m_handle);
  set_in_progress(nullptr);
  const std::string path = join_path(m_folder->path(), m_name);
  auto fail = [&](Error error) {
    delete_through_handle(h);
    (void)m_file.close();
    return error;
  };
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(h, FileStandardInfo, &standard,
                                    sizeof standard)) {
    return fail(last_error());
  }
  if (standard.DeletePending) {
    return fail(Error{"the file was deleted while it was received"});
  }
  HANDLE other = open_entry(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (other == INVALID_HANDLE_VALUE) return fail(last_error());
  Result<FileId> at_path = file_id(other);
  CloseHandle(other);
  if (!at_path.ok()) return fail(std::move(at_path).error());
  if (at_path->volume != m_device ||
      (std::uint64_t{at_path->high} << 32 | at_path->low) != m_number) {
    return fail(Error{"the file was replaced while it was received"});
  }
  if (Status closed = m_file.close(); !closed.ok()) {
    (void)remove_file(path);
    return closed;
  }
  // A deletion that another program asked for waits for the last handle:
  // it happens now.
  if (!path_exists(path)) {
    return Error{"the file was deleted while it was received"};
  }
  return {};
}

bool IncomingFile::discard() {
  if (m_file.m_handle.get() == -1) return false;
  HANDLE h = handle_of(m_file.m_handle);
  // Deleted before it is forgotten, so that an interruption in between
  // cannot leave it.
  bool deleted = delete_through_handle(h);
  set_in_progress(nullptr);
  (void)m_file.close();
  return deleted;
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

Result<FileStatus> file_status(const std::string& path) {
  // Opening without access follows links and works for folders too.
  HANDLE h =
      CreateFileW(native_path(path).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Handle owned(reinterpret_cast<std::intptr_t>(h));
  FileStatus status;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) == FILE_TYPE_DISK &&
      GetFileInformationByHandle(h, &info)) {
    status.type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                      ? FileType::directory
                      : FileType::regular;
    status.size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  }
  return status;
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
      entry.status = status;
    }
    entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) return os_error(code);
  return entries;
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
