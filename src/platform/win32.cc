// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include "platform/win32.h"

#include <algorithm>
#include <mutex>

#include "rules/windows_rules.h"
#include "text/unicode.h"

namespace burrowlink::platform {

void Handle::reset() {
  if (m_value == -1) return;
  if (m_value & win32::SOCKET_TAG) {
    closesocket(win32::untag_socket(m_value));
  } else {
    CloseHandle(reinterpret_cast<HANDLE>(m_value));
  }
  m_value = -1;
}

namespace win32 {

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                              static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      wide.data(), n);
  return wide;
}

std::wstring native_path(std::string_view path) {
  std::wstring wide = widen(path);
  if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
    return wide;
  }
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (got == 0 || got >= size) return wide;
  full.resize(got);
  // A folder may take no more than MAX_PATH - 12 characters.
  if (full.size() < MAX_PATH - 12) return wide;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string narrow(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    std::uint32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() &&
        wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    }
    text::append_utf8(out, c);
  }
  return out;
}

Error os_error(DWORD code) {
  const ErrorKind kind = rules::windows::error_kind(code);
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message;
  if (length > 0 && buffer != nullptr) {
    message = narrow(std::wstring_view(buffer, length));
  }
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' ||
          message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "unknown error";
  return Error{message + " (os error " + std::to_string(code) + ")", kind,
               static_cast<int>(code)};
}

Error last_error() { return os_error(GetLastError()); }

Error last_socket_error() {
  return os_error(static_cast<DWORD>(WSAGetLastError()));
}

std::uint32_t last_nt_status() {
  using RtlGetLastNtStatusFn = LONG(NTAPI*)();
  static RtlGetLastNtStatusFn get = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return RtlGetLastNtStatusFn{};
    return reinterpret_cast<RtlGetLastNtStatusFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetLastNtStatus")));
  }();
  return get != nullptr ? static_cast<std::uint32_t>(get()) : 0;
}
void start_winsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

Status write_handle_all(HANDLE h, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr)) return last_error();
    if (written == 0) return Error{"failed to write whole buffer"};
    data += written;
    size -= written;
  }
  return {};
}

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode);
}

HANDLE open_entry(const std::string& path, DWORD access, DWORD share) {
  return CreateFileW(
      native_path(path).c_str(), access, share, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

HANDLE open_existing_file(const std::string& path, DWORD access) {
  return CreateFileW(native_path(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

}  // namespace win32
}  // namespace burrowlink::platform
