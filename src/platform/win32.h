#pragma once

// What the Windows backend's files share: UTF-16 at the boundary, long
// paths, system errors worded in one place, sockets kept in a Handle.
// Included after the system's headers.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/handle.h"

namespace burrowlink::platform::win32 {

// UTF-8 to UTF-16; an ill-formed sequence becomes U+FFFD.
std::wstring widen(std::string_view text);
// UTF-16 to UTF-8. A lone surrogate is encoded as its own three bytes, which
// no UTF-8 check accepts, so that text the system holds but that is not
// valid is refused above instead of being changed silently.
std::string narrow(std::wstring_view wide);
// `path` for the file calls. Past MAX_PATH the full path is given in its
// extended form ("\\?\C:\..." or "\\?\UNC\server\share\..."), which
// takes up to 32,767 characters; shorter paths stay as they are.
std::wstring native_path(std::string_view path);

// The system's own message without its line end, then " (os error N)".
Error os_error(DWORD code);
Error last_error();
Error last_socket_error();
// The NT status behind the last failed call, which tells apart cases that
// share one Win32 error code.
std::uint32_t last_nt_status();

inline HANDLE handle_of(const Handle& handle) {
  return reinterpret_cast<HANDLE>(handle.get());
}
// Sockets and files share Handle; sockets carry this tag bit so that reset()
// knows which call closes them. Both kinds of value stay far below it.
inline constexpr std::intptr_t SOCKET_TAG = std::intptr_t{1} << 62;
inline std::intptr_t tag_socket(SOCKET s) {
  return static_cast<std::intptr_t>(s) | SOCKET_TAG;
}
inline SOCKET untag_socket(std::intptr_t value) {
  return static_cast<SOCKET>(value & ~SOCKET_TAG);
}

// WSAStartup, once per process.
void start_winsock();

Status write_handle_all(HANDLE h, const char* data, std::size_t size);

bool is_console(HANDLE h);

// Opens what is at `path` without following a link, for its attributes.
HANDLE open_entry(const std::string& path, DWORD access, DWORD share);
// Opens the file at `path`, which must exist, with `access`, shared with
// every other opener, never through a link.
HANDLE open_existing_file(const std::string& path, DWORD access);

// The files that `argument` names as a pattern: * and ? in its last part,
// expanded as the C runtimes expand one, sorted with case ignored, as NTFS
// keeps names. Itself when it holds no pattern or nothing matches.
std::vector<std::string> expand_pattern(const std::string& argument);

}  // namespace burrowlink::platform::win32
