// Receiving on Windows: the file in progress, created so that a link is
// never followed, deleted through its handle, and the console control
// handler that deletes it, or keeps it flushed, when the console closes.

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/terminal.h"
#include "platform/win32.h"
#include "rules/windows_rules.h"

namespace burrowlink::platform {

using win32::handle_of;
using win32::last_error;
using win32::last_nt_status;
using win32::native_path;
using win32::open_existing_file;
using win32::os_error;

namespace {

// The file being received, for the console control handler, which runs on
// a thread of its own: it takes the lock and never gives it back.
SRWLOCK g_in_progress_lock = SRWLOCK_INIT;
HANDLE g_in_progress = nullptr;
// The file in progress is to stay, its bytes made durable, rather than go.
bool g_keep_in_progress = false;
// The private folder it is in, held, and its path: an interruption that
// empties it removes it too.
HANDLE g_in_progress_folder = nullptr;
std::string g_in_progress_folder_path;

// Forgets the file in progress, which is decided now.
void settled() {
  AcquireSRWLockExclusive(&g_in_progress_lock);
  g_in_progress = nullptr;
  g_keep_in_progress = false;
  g_in_progress_folder = nullptr;
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
  if (g_in_progress != nullptr) {
    // Only bytes on the disk may count as received after a restart.
    if (g_keep_in_progress) {
      FlushFileBuffers(g_in_progress);
    } else if (delete_through_handle(g_in_progress) &&
               g_in_progress_folder != nullptr) {
      // Windows removes no folder held without sharing deletion, nor one
      // whose file waits for its last handle to go: both go first. The
      // process ends right after, so nothing uses them again.
      CloseHandle(g_in_progress);
      CloseHandle(g_in_progress_folder);
      RemoveDirectoryW(native_path(g_in_progress_folder_path).c_str());
    }
  }
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

// The byte that marks a file in progress: far past any data, so that the
// lock, which Windows enforces, never stands in the way of reading it.
OVERLAPPED lock_range() {
  OVERLAPPED at{};
  at.OffsetHigh = 0x40000000;
  return at;
}

}  // namespace

void discard_incoming_on_interrupt() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

Result<IncomingFile> Directory::create_file(std::string_view name) const {
  // A device name opens the device in any folder; it is taken, as far as a
  // received file is concerned.
  if (rules::windows::is_device_name(name)) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  if (holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::already_exists};
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
  return incoming(reinterpret_cast<std::intptr_t>(h), name, true);
}

// Called with the lock held. Makes `handle`, `name` in this folder, the
// file in progress.
Result<IncomingFile> Directory::incoming(std::intptr_t handle,
                                         std::string_view name,
                                         bool made) const {
  File file(handle);
  HANDLE h = handle_of(file.m_handle);
  if (GetFileType(h) != FILE_TYPE_DISK) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  Result<FileId> id = file_id(h);
  if (!id.ok()) {
    // Without its number the file could not be told from a replacement.
    if (made) delete_through_handle(h);
    return std::move(id).error();
  }
  // Held until the file is closed: another receiver's pruning skips it. A
  // share without locks only loses that.
  OVERLAPPED at = lock_range();
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                  0, &at) &&
      GetLastError() == ERROR_LOCK_VIOLATION) {
    if (made) delete_through_handle(h);
    return Error{"another receiver is writing it"};
  }
  g_in_progress = h;
  g_keep_in_progress = false;
  g_in_progress_folder = m_name.empty() ? nullptr : handle_of(m_handle);
  if (g_in_progress_folder != nullptr) g_in_progress_folder_path = m_path;
  return IncomingFile(std::move(file), *this, name, id->volume,
                      std::uint64_t{id->high} << 32 | id->low);
}

bool Directory::in_use(std::string_view name) const {
  HANDLE h = open_existing_file(join_path(m_path, name), GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return false;
  Handle owned(reinterpret_cast<std::intptr_t>(h));
  OVERLAPPED at = lock_range();
  if (!LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    return GetLastError() == ERROR_LOCK_VIOLATION;
  }
  at = lock_range();
  // The handle closes next, which lets go of the lock all the same.
  (void)UnlockFileEx(h, 0, 1, 0, &at);
  return false;
}

Result<IncomingFile> Directory::reopen_file(std::string_view name) const {
  AcquireSRWLockExclusive(&g_in_progress_lock);
  struct Unlock {
    ~Unlock() { ReleaseSRWLockExclusive(&g_in_progress_lock); }
  } unlock;
  HANDLE h =
      open_existing_file(join_path(m_path, name), GENERIC_WRITE | DELETE);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  LARGE_INTEGER end{};
  if (!SetFilePointerEx(h, end, nullptr, FILE_END)) {
    Error error = last_error();
    CloseHandle(h);
    return error;
  }
  return incoming(reinterpret_cast<std::intptr_t>(h), name, false);
}

Status IncomingFile::place(const Directory& folder, std::string_view name) {
  HANDLE h = handle_of(m_file.m_handle);
  if (m_file.m_handle.get() == -1) {
    return Error{"the file was placed already"};
  }
  settled();
  if (rules::windows::is_device_name(name)) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  if (folder.holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::already_exists};
  }
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(h, FileStandardInfo, &standard,
                                    sizeof standard) ||
      standard.DeletePending) {
    (void)m_file.close();  // the file is gone: nothing of it to keep
    return Error{"the file was deleted while it was received"};
  }
  // Renamed through the handle, never over anything.
  const std::wstring target = native_path(join_path(folder.path(), name));
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) +
                                   target.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), rename->FileName);
  if (!SetFileInformationByHandle(h, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    Error error = last_error();
    if (error.kind != ErrorKind::already_exists) {
      delete_through_handle(h);
      (void)m_file.close();  // deleted already: nothing of it to keep
    }
    return error;
  }
  return m_file.close();
}

Status IncomingFile::truncate(std::uint64_t size) {
  HANDLE h = handle_of(m_file.m_handle);
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
    return last_error();
  }
  return {};
}

Status IncomingFile::set_modified(std::int64_t nanoseconds) {
  // FILETIME counts 100 ns from 1601.
  constexpr std::int64_t FROM_1601 = 116444736000000000;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(nanoseconds / 100 + FROM_1601);
  FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  if (!SetFileTime(handle_of(m_file.m_handle), nullptr, nullptr, &time)) {
    return last_error();
  }
  return {};
}

void IncomingFile::keep_when_interrupted() {
  AcquireSRWLockExclusive(&g_in_progress_lock);
  if (g_in_progress == handle_of(m_file.m_handle)) g_keep_in_progress = true;
  ReleaseSRWLockExclusive(&g_in_progress_lock);
}

Status IncomingFile::suspend() {
  HANDLE h = handle_of(m_file.m_handle);
  settled();
  Status synced;
  if (!FlushFileBuffers(h)) synced = last_error();
  Status closed = m_file.close();
  return synced.ok() ? closed : synced;
}

Status IncomingFile::sync() {
  if (!FlushFileBuffers(handle_of(m_file.m_handle))) return last_error();
  return {};
}

bool IncomingFile::discard() {
  if (m_file.m_handle.get() == -1) return false;
  HANDLE h = handle_of(m_file.m_handle);
  // Deleted before it is forgotten, so that an interruption in between
  // cannot leave it.
  bool deleted = delete_through_handle(h);
  settled();
  (void)m_file.close();  // what it held is gone or not ours to keep
  return deleted;
}

}  // namespace burrowlink::platform
