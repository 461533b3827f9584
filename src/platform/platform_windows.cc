// The Windows backend: Windows Sockets, the wide-character file and console
// calls, and UTF-16 converted to UTF-8 at the boundary.

// Windows Sockets 2 and windows.h come before the system headers built
// on them.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <iphlpapi.h>
#include <shellapi.h>
#include <ws2tcpip.h>
// clang-format on

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/native_address.h"
#include "platform/platform.h"
#include "platform/windows_rules.h"

namespace burrowlink::platform {

namespace {

// --- Text at the boundary ------------------------------------------------

// UTF-8 to UTF-16; an ill-formed sequence becomes U+FFFD.
std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                              static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      wide.data(), n);
  return wide;
}

// `path` for the file calls. Past MAX_PATH the full path is given in its
// extended form ("\\?\C:\..." or "\\?\UNC\server\share\..."), which
// takes up to 32,767 characters; shorter paths stay as they are.
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

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 to UTF-8. A lone surrogate is encoded as its own three bytes, which
// no UTF-8 check accepts, so that text the system holds but that is not
// valid is refused above instead of being changed silently.
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
    append_utf8(out, c);
  }
  return out;
}

// --- Errors --------------------------------------------------------------

// The one place that words a system error: the system's own message without
// its line end, then the code.
Error os_error(DWORD code) {
  ErrorKind kind = ErrorKind::os;
  switch (code) {
    case WSAETIMEDOUT:
    case ERROR_TIMEOUT:
      kind = ErrorKind::timed_out;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      kind = ErrorKind::already_exists;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      kind = ErrorKind::not_found;
      break;
    default:
      break;
  }
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

// The NT status behind the last failed call, which tells apart cases that
// share one Win32 error code.
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
Error last_socket_error() {
  return os_error(static_cast<DWORD>(WSAGetLastError()));
}

HANDLE handle_of(const Handle& handle) {
  return reinterpret_cast<HANDLE>(handle.get());
}
// Sockets and files share Handle; sockets carry this tag bit so that reset()
// knows which call closes them. Both kinds of value stay far below it.
constexpr std::intptr_t SOCKET_TAG = std::intptr_t{1} << 62;

std::intptr_t tag_socket(SOCKET s) {
  return static_cast<std::intptr_t>(s) | SOCKET_TAG;
}
SOCKET untag_socket(std::intptr_t value) {
  return static_cast<SOCKET>(value & ~SOCKET_TAG);
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

HANDLE std_handle(Stream stream) {
  return GetStdHandle(stream == Stream::out ? STD_OUTPUT_HANDLE
                                            : STD_ERROR_HANDLE);
}

Status set_timeout(SOCKET s, int option, std::chrono::milliseconds timeout) {
  DWORD ms = static_cast<DWORD>(timeout.count());
  if (setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms),
                 sizeof ms) != 0) {
    return last_socket_error();
  }
  return {};
}

sockaddr_storage to_native(const SocketAddress& a, int& len) {
  return native::from_address(a, len);
}

SocketAddress from_native(const sockaddr_storage& storage) {
  return native::to_address(storage);
}

Result<SOCKET> new_socket(int family, int type, int protocol) {
  start_winsock();
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return last_socket_error();
  return s;
}

Status set_blocking(SOCKET s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return last_socket_error();
  return {};
}

// Names that Windows maps to a device in every folder, with or without an
// extension: the stem before the first dot, trailing spaces ignored.
bool is_device_name(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" ||
      stem == "CONIN$" || stem == "CONOUT$") {
    return true;
  }
  if (stem.size() == 4 &&
      (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '0' &&
      stem[3] <= '9') {
    return true;
  }
  // COM and LPT with a superscript digit: ¹ ² ³ in UTF-8.
  return stem.size() == 5 &&
         (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         static_cast<unsigned char>(stem[3]) == 0xC2 &&
         (static_cast<unsigned char>(stem[4]) == 0xB9 ||
          static_cast<unsigned char>(stem[4]) == 0xB2 ||
          static_cast<unsigned char>(stem[4]) == 0xB3);
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Length of the root that a path starts with: "C:\", "C:", "\",
// "\\server\share\", or 0 for a relative path.
std::size_t root_length(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') ||
       (path[0] >= 'a' && path[0] <= 'z'))) {
    return path.size() >= 3 && is_separator(path[2]) ? 3 : 2;
  }
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // \\server\share\ (or \\?\C:\ and the like): two components.
    std::size_t end = 2;
    for (int part = 0; part < 2 && end < path.size(); ++part) {
      while (end < path.size() && !is_separator(path[end])) ++end;
      if (end < path.size()) ++end;
    }
    return end;
  }
  return !path.empty() && is_separator(path[0]) ? 1 : 0;
}

}  // namespace

void Handle::reset() {
  if (m_value == -1) return;
  if (m_value & SOCKET_TAG) {
    closesocket(untag_socket(m_value));
  } else {
    CloseHandle(reinterpret_cast<HANDLE>(m_value));
  }
  m_value = -1;
}

// --- Process -------------------------------------------------------------

void prepare_process() { start_winsock(); }

namespace windows {

std::uint32_t line_input_mode(std::uint32_t mode) {
  return mode | ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
}

std::vector<CommandLineArgument> split_command_line(std::wstring_view line) {
  std::size_t i = 0;
  // The program's name ends at the next quote if it starts with one, else
  // at white space; backslashes are no escapes in it.
  if (i < line.size() && line[i] == L'"') {
    i = line.find(L'"', 1);
    i = i == std::wstring_view::npos ? line.size() : i + 1;
  } else {
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  }
  std::vector<CommandLineArgument> args;
  for (;;) {
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= line.size()) return args;
    CommandLineArgument arg;
    // Quotes seen in the current run: odd while inside a quoted part.
    int quotes = 0;
    while (i < line.size()) {
      const wchar_t c = line[i];
      if ((c == L' ' || c == L'\t') && quotes == 0) break;
      if (c == L'\\') {
        std::size_t run = 0;
        while (i < line.size() && line[i] == L'\\') ++run, ++i;
        if (i < line.size() && line[i] == L'"') {
          arg.text.append(run / 2, L'\\');
          if (run % 2 == 1) {
            arg.text += L'"';
            ++i;
          }
        } else {
          arg.text.append(run, L'\\');
        }
        continue;
      }
      if (c != L'"') {
        arg.text += c;
        ++i;
        continue;
      }
      // A run of quotes: each third one is a literal quote.
      arg.quoted = true;
      ++quotes;
      ++i;
      while (i < line.size() && line[i] == L'"') {
        if (++quotes == 3) {
          arg.text += L'"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
    }
    args.push_back(std::move(arg));
  }
}

}  // namespace windows

namespace {

// Per argument of program_arguments: written without quotes, so that a
// wildcard in it is a pattern.
std::vector<bool> g_unquoted;

}  // namespace

std::vector<std::string> program_arguments(int, char**) {
  // The narrow argv has been through the system code page; the wide command
  // line has not.
  const wchar_t* line = GetCommandLineW();
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(line, &count);
  std::vector<std::string> args;
  if (wide == nullptr) return args;
  // Our split only tells which were quoted; where it parts from the
  // system's, nothing counts as a pattern.
  std::vector<windows::CommandLineArgument> split =
      windows::split_command_line(line);
  const bool agree = split.size() + 1 == static_cast<std::size_t>(count);
  for (int i = 1; i < count; ++i) {
    args.push_back(narrow(wide[i]));
    const windows::CommandLineArgument* ours = agree ? &split[i - 1] : nullptr;
    g_unquoted.push_back(ours != nullptr && !ours->quoted &&
                         ours->text == wide[i]);
  }
  LocalFree(wide);
  return args;
}

std::vector<std::string> windows::expand_pattern(const std::string& argument) {
  // Only the last part is a pattern, as the C runtimes have it.
  const std::size_t cut = argument.find_last_of("\\/:");
  const std::size_t name_start = cut == std::string::npos ? 0 : cut + 1;
  if (argument.find_first_of("*?", name_start) == std::string::npos) {
    return {argument};
  }
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(
      native_path(argument).c_str(), FindExInfoBasic, &found,
      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return {argument};
  std::vector<std::wstring> names;
  do {
    std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  if (names.empty()) return {argument};
  // In the order NTFS keeps names: case ignored, then exact.
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
    int order =
        CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                             static_cast<int>(b.size()), TRUE);
    return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a < b;
  });
  std::vector<std::string> paths;
  for (const std::wstring& name : names) {
    paths.push_back(argument.substr(0, name_start) + narrow(name));
  }
  return paths;
}

std::vector<std::string> expand_file_argument(std::size_t position,
                                              std::string argument) {
  if (position >= g_unquoted.size() || !g_unquoted[position]) {
    std::vector<std::string> named;
    named.push_back(std::move(argument));
    return named;
  }
  return windows::expand_pattern(argument);
}

// --- Environment and random source ---------------------------------------

std::optional<std::string> get_env(const std::string& name) {
  std::wstring wide_name = widen(name);
  SetLastError(ERROR_SUCCESS);
  DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  // The value may grow between the calls; then the size needed comes back.
  for (;;) {
    std::wstring value(size, L'\0');
    DWORD got = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
    if (got < size) {
      value.resize(got);
      return narrow(value);
    }
    size = got;
  }
}

Status random_bytes(Bytes out) {
  // ProcessPrng is the system's own generator; older systems (and Wine)
  // lack it and get the preferred CNG generator instead.
  using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);
  static ProcessPrngFn process_prng = [] {
    HMODULE module = LoadLibraryExW(L"bcryptprimitives.dll", nullptr,
                                    LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return ProcessPrngFn{};
    return reinterpret_cast<ProcessPrngFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "ProcessPrng")));
  }();
  if (process_prng != nullptr) {
    if (process_prng(out.data(), out.size())) return {};
    return last_error();
  }
  NTSTATUS status =
      BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) return os_error(static_cast<DWORD>(status));
  return {};
}

// --- Console -------------------------------------------------------------

bool write_console(Stream stream, std::string_view text) {
  HANDLE h = std_handle(stream);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  if (!is_console(h)) return write_handle_all(h, text.data(), text.size()).ok();
  std::wstring wide = widen(text);
  std::size_t done = 0;
  while (done < wide.size()) {
    std::size_t chunk_units = std::min<std::size_t>(wide.size() - done, 8192);
    // Never split a surrogate pair between two writes.
    if (chunk_units > 1 && done + chunk_units < wide.size() &&
        wide[done + chunk_units - 1] >= 0xD800 &&
        wide[done + chunk_units - 1] <= 0xDBFF) {
      --chunk_units;
    }
    DWORD chunk = static_cast<DWORD>(chunk_units);
    DWORD written = 0;
    if (!WriteConsoleW(h, wide.data() + done, chunk, &written, nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

bool is_terminal(Stream stream) { return is_console(std_handle(stream)); }

std::size_t terminal_width(Stream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(std_handle(stream), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return static_cast<std::size_t>(columns);
  }
  return 80;
}

std::optional<std::string> read_input_line() {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return std::nullopt;
  if (is_console(h)) {
    // Line input for this answer, whatever mode an earlier program left;
    // the console gets its own mode back afterwards.
    DWORD mode = 0;
    const bool have_mode = GetConsoleMode(h, &mode);
    const DWORD wanted = windows::line_input_mode(mode);
    struct Restore {
      HANDLE h;
      DWORD mode;
      bool changed;
      ~Restore() {
        if (changed) SetConsoleMode(h, mode);
      }
    } restore{h, mode,
              have_mode && wanted != mode && SetConsoleMode(h, wanted)};
    std::wstring line;
    for (;;) {
      wchar_t c;
      DWORD got = 0;
      if (!ReadConsoleW(h, &c, 1, &got, nullptr)) return std::nullopt;
      if (got == 0) break;
      // Ctrl+Z at the start of a line is the console's end of input; the
      // rest of its line goes too, or it would answer the next question.
      if (c == 0x1A && line.empty()) {
        while (ReadConsoleW(h, &c, 1, &got, nullptr) && got == 1 &&
               c != L'\n') {
        }
        return std::nullopt;
      }
      line.push_back(c);
      if (c == L'\n') break;
    }
    if (line.empty()) return std::nullopt;
    return narrow(line);
  }
  // Byte by byte, so that nothing past this line is taken from a shared pipe.
  std::string line;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(h, &c, 1, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) break;
      return std::nullopt;
    }
    if (got == 0) break;
    line.push_back(c);
    if (c == '\n') break;
  }
  if (line.empty()) return std::nullopt;
  return line;
}

bool input_is_terminal() { return is_console(GetStdHandle(STD_INPUT_HANDLE)); }

bool input_is_closed() {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return true;
  // NUL is a character device that is no console.
  return GetFileType(h) == FILE_TYPE_CHAR && !is_console(h);
}

void discard_typed_input() {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (is_console(h)) FlushConsoleInputBuffer(h);
}

namespace {

// True once the peer of `s` has closed the connection (or it failed).
bool peer_closed(SOCKET s) {
  WSAPOLLFD watch{s, POLLRDNORM, 0};
  if (WSAPoll(&watch, 1, 0) <= 0) return false;
  if (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  char byte;
  // Readable: the end of the stream reads as 0 bytes, data stays queued.
  return recv(s, &byte, 1, MSG_PEEK) <= 0;
}

}  // namespace

InputLine read_input_line_while_open(const TcpStream& watched) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!is_console(input)) return {read_input_line(), false};
  // The console echoes and edits only while a read is pending, so the line
  // is read on a thread of its own while this one watches the connection;
  // a sender that leaves ends the read with an Enter of our own, or by
  // cancelling it.
  struct Read {
    std::optional<std::string> line;
  } read;
  HANDLE reader = CreateThread(
      nullptr, 0,
      [](void* state) -> DWORD {
        static_cast<Read*>(state)->line = read_input_line();
        return 0;
      },
      &read, 0, nullptr);
  if (reader == nullptr) return {read_input_line(), false};
  bool left = false;
  while (WaitForSingleObject(reader, 250) == WAIT_TIMEOUT) {
    if (!peer_closed(untag_socket(watched.m_handle.get()))) continue;
    left = true;
    INPUT_RECORD enter[2] = {};
    for (int i = 0; i < 2; ++i) {
      enter[i].EventType = KEY_EVENT;
      enter[i].Event.KeyEvent.bKeyDown = i == 0;
      enter[i].Event.KeyEvent.wRepeatCount = 1;
      enter[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
      enter[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
    }
    DWORD written = 0;
    if (!WriteConsoleInputW(input, enter, 2, &written) || written != 2) {
      CancelSynchronousIo(reader);
    }
    // An Enter of ours left over is dropped before the next question.
    WaitForSingleObject(reader, INFINITE);
  }
  CloseHandle(reader);
  if (left) return {std::nullopt, true};
  return {std::move(read.line), false};
}

std::optional<std::string> host_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size) || size == 0) return std::nullopt;
  return narrow(std::wstring_view(name, size));
}

// --- Files ---------------------------------------------------------------

namespace windows {

ErrorKind create_file_error_kind(std::uint32_t error, bool something_there,
                                 std::uint32_t last_nt_status) {
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
    return ErrorKind::already_exists;
  }
  if (error == ERROR_ACCESS_DENIED_CODE &&
      (something_there || last_nt_status == STATUS_DELETE_PENDING_CODE)) {
    return ErrorKind::already_exists;
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return ErrorKind::not_found;
  }
  return ErrorKind::os;
}

ErrorKind create_folder_error_kind(std::uint32_t error, bool folder_there) {
  return create_file_error_kind(error, folder_there, 0);
}

}  // namespace windows

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
      windows::is_link(tag.FileAttributes, tag.ReparseTag)) {
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
  if (is_device_name(name)) return not_a_folder();
  Result<Handle> held = hold_folder(path, false);
  if (!held.ok()) return std::move(held).error();
  Directory folder;
  folder.m_handle = std::move(held).value();
  folder.m_path = std::move(path);
  folder.m_name_limit = m_name_limit;
  return folder;
}

Status Directory::make_folder(std::string_view name) const {
  if (is_device_name(name)) {
    return Error{"a device has this name", ErrorKind::already_exists};
  }
  return make_directory(join_path(m_path, name));
}

Result<IncomingFile> Directory::create_file(std::string_view name) const {
  // A device name opens the device in any folder; it is taken, as far as a
  // received file is concerned.
  if (is_device_name(name)) {
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
    error.kind = windows::create_file_error_kind(
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

bool windows::is_link(std::uint32_t attributes, std::uint32_t reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (reparse_tag == IO_REPARSE_TAG_SYMLINK ||
          reparse_tag == IO_REPARSE_TAG_MOUNT_POINT);
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
    entry.link = windows::is_link(found.dwFileAttributes, found.dwReserved0);
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
    error.kind = windows::create_folder_error_kind(
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
  std::string path(folder);
  bool bare_drive = folder.size() == 2 && root_length(folder) == 2;
  if (!path.empty() && !is_separator(path.back()) && !bare_drive) path += '\\';
  path += name;
  return path;
}

std::string parent_path(std::string_view path) {
  std::size_t root = root_length(path);
  while (path.size() > root && is_separator(path.back())) path.remove_suffix(1);
  if (path.size() <= root) return std::string(path);
  std::size_t cut = path.find_last_of("\\/");
  if (cut == std::string_view::npos || cut < root) {
    return std::string(path.substr(0, root));
  }
  std::string_view parent = path.substr(0, cut);
  while (parent.size() > root && is_separator(parent.back())) {
    parent.remove_suffix(1);
  }
  if (parent.size() < root) parent = path.substr(0, root);
  return std::string(parent);
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
  // UTF-16 units: one per character, two beyond the first plane.
  std::size_t units = 0;
  for (unsigned char byte : name) {
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

// --- TcpStream -----------------------------------------------------------

void TcpStream::close() { m_handle.reset(); }

Result<TcpStream> TcpStream::connect(const SocketAddress& to,
                                     std::chrono::milliseconds limit) {
  Result<SOCKET> made =
      new_socket(to.is_v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!made.ok()) return std::move(made).error();
  SOCKET s = *made;
  TcpStream stream(tag_socket(s));
  if (Status status = set_blocking(s, false); !status.ok())
    return status.error();
  int len = 0;
  sockaddr_storage native = to_native(to, len);
  if (::connect(s, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return last_socket_error();
    // A refused connection shows in the except set, not the write set.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    auto seconds = limit.count() / 1000;
    timeval tv{static_cast<long>(seconds),
               static_cast<long>((limit.count() % 1000) * 1000)};
    int ready = select(0, nullptr, &writable, &failed, &tv);
    if (ready == SOCKET_ERROR) return last_socket_error();
    if (ready == 0) return Error{"connection timed out", ErrorKind::timed_out};
    if (FD_ISSET(s, &failed)) {
      int error = 0;
      int error_len = sizeof error;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &error_len) != 0) {
        return last_socket_error();
      }
      return os_error(static_cast<DWORD>(error != 0 ? error : WSAECONNREFUSED));
    }
  }
  if (Status status = set_blocking(s, true); !status.ok())
    return status.error();
  return stream;
}

Result<std::pair<TcpStream, TcpStream>> TcpStream::pair() {
  Result<TcpListener> listener = TcpListener::listen_v4(0, 1);
  if (!listener.ok()) return std::move(listener).error();
  Result<std::uint16_t> port = listener->local_port();
  if (!port.ok()) return std::move(port).error();
  Result<TcpStream> ours = connect(SocketAddress::v4({127, 0, 0, 1}, *port),
                                   std::chrono::milliseconds(5000));
  if (!ours.ok()) return std::move(ours).error();
  Result<TcpStream> theirs = listener->accept();
  if (!theirs.ok()) return std::move(theirs).error();
  return std::pair<TcpStream, TcpStream>(std::move(ours).value(),
                                         std::move(theirs).value());
}

Status TcpStream::set_no_delay() {
  BOOL on = TRUE;
  if (setsockopt(untag_socket(m_handle.get()), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return last_socket_error();
  }
  return {};
}

Status TcpStream::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(untag_socket(m_handle.get()), SO_RCVTIMEO, timeout);
}

Status TcpStream::set_write_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(untag_socket(m_handle.get()), SO_SNDTIMEO, timeout);
}

Result<std::size_t> TcpStream::read_some(Bytes buffer, Expect expect) {
  SOCKET s = untag_socket(m_handle.get());
  if (expect == Expect::reply && m_spin.count() > 0) {
    // Watch the receive queue until something is there or the time is up.
    auto until = std::chrono::steady_clock::now() + m_spin;
    bool hit = false;
    do {
      u_long queued = 0;
      if (ioctlsocket(s, FIONREAD, &queued) != 0) break;
      hit = queued > 0;
    } while (!hit && std::chrono::steady_clock::now() < until);
    if (hit) {
      m_spin_misses = 0;
    } else if (++m_spin_misses >= SPIN_MISSES) {
      m_spin = {};
    }
  }
  int want = static_cast<int>(std::min<std::size_t>(buffer.size(), 1u << 30));
  // No MSG_WAITALL: where its time-out passes, Winsock fails the call and
  // drops what it had taken, so a slow link would lose data.
  int n = ::recv(s, reinterpret_cast<char*>(buffer.data()), want, 0);
  if (n == SOCKET_ERROR) {
    // A shut-down connection is the end of the stream, as on POSIX.
    if (WSAGetLastError() == WSAESHUTDOWN) return std::size_t{0};
    return last_socket_error();
  }
  return static_cast<std::size_t>(n);
}

Status TcpStream::write_all(ConstBytes data, bool, std::size_t* written) {
  SOCKET s = untag_socket(m_handle.get());
  std::size_t ignored = 0;
  std::size_t& done = written ? *written : ignored;
  done = 0;
  while (done < data.size()) {
    int chunk =
        static_cast<int>(std::min<std::size_t>(data.size() - done, 1u << 30));
    int n =
        ::send(s, reinterpret_cast<const char*>(data.data() + done), chunk, 0);
    if (n == SOCKET_ERROR) return last_socket_error();
    if (n == 0) return Error{"failed to write whole buffer"};
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// --- TcpListener ---------------------------------------------------------

void TcpListener::close() { m_handle.reset(); }

Result<TcpListener> TcpListener::listen_v4(std::uint16_t port, int backlog) {
  Result<SOCKET> made = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!made.ok()) return std::move(made).error();
  SOCKET s = *made;
  TcpListener listener(tag_socket(s));
  // Exclusive use: Windows would otherwise let a wildcard bind succeed over
  // a socket bound to one address, and a same-user program bind one address
  // over this wildcard listener and take its traffic. A restart while old
  // connections linger then falls back to a free port.
  BOOL exclusive = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  int len = 0;
  sockaddr_storage native =
      to_native(SocketAddress::v4({0, 0, 0, 0}, port), len);
  if (::bind(s, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_socket_error();
  }
  if (::listen(s, backlog) != 0) return last_socket_error();
  return listener;
}

Result<std::uint16_t> TcpListener::local_port() const {
  sockaddr_storage native{};
  int len = sizeof native;
  if (getsockname(untag_socket(m_handle.get()),
                  reinterpret_cast<sockaddr*>(&native), &len) != 0) {
    return last_socket_error();
  }
  return from_native(native).port;
}

Result<TcpStream> TcpListener::accept() {
  SOCKET s = ::accept(untag_socket(m_handle.get()), nullptr, nullptr);
  if (s == INVALID_SOCKET) return last_socket_error();
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return TcpStream(tag_socket(s));
}

// --- UdpSocket -----------------------------------------------------------

Result<UdpSocket> UdpSocket::bind_v4(Ipv4 ip, std::uint16_t port) {
  Result<SOCKET> made = new_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (!made.ok()) return std::move(made).error();
  SOCKET s = *made;
  UdpSocket socket(tag_socket(s));
  int len = 0;
  sockaddr_storage native = to_native(SocketAddress::v4(ip, port), len);
  if (::bind(s, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_socket_error();
  }
  return socket;
}

Status UdpSocket::enable_broadcast() {
  BOOL on = TRUE;
  if (setsockopt(untag_socket(m_handle.get()), SOL_SOCKET, SO_BROADCAST,
                 reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return last_socket_error();
  }
  return {};
}

Status UdpSocket::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(untag_socket(m_handle.get()), SO_RCVTIMEO, timeout);
}

Status UdpSocket::send_to(ConstBytes payload, const SocketAddress& to) {
  int len = 0;
  sockaddr_storage native = to_native(to, len);
  int n = ::sendto(untag_socket(m_handle.get()),
                   reinterpret_cast<const char*>(payload.data()),
                   static_cast<int>(payload.size()), 0,
                   reinterpret_cast<sockaddr*>(&native), len);
  if (n == SOCKET_ERROR) return last_socket_error();
  return {};
}

Result<UdpSocket::Datagram> UdpSocket::receive_from(Bytes buffer) {
  sockaddr_storage native{};
  int len = sizeof native;
  int n = ::recvfrom(untag_socket(m_handle.get()),
                     reinterpret_cast<char*>(buffer.data()),
                     static_cast<int>(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&native), &len);
  Datagram datagram;
  if (n == SOCKET_ERROR) {
    // A datagram longer than the buffer fills it and reports this error.
    if (WSAGetLastError() != WSAEMSGSIZE) return last_socket_error();
    datagram.size = buffer.size();
    datagram.truncated = true;
  } else {
    datagram.size = static_cast<std::size_t>(n);
  }
  datagram.from = from_native(native);
  return datagram;
}

Result<std::vector<Ipv4Interface>> ipv4_interfaces() {
  start_winsock();
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                      GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
  std::vector<std::uint8_t> storage(16 * 1024);
  ULONG size = static_cast<ULONG>(storage.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW;
       ++attempt) {
    storage.resize(size);
    result = GetAdaptersAddresses(
        AF_INET, flags, nullptr,
        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
  }
  if (result == ERROR_NO_DATA) return std::vector<Ipv4Interface>{};
  if (result != NO_ERROR) return os_error(result);
  std::vector<Ipv4Interface> found;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data());
       adapter != nullptr; adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      // Tentative, duplicate and deprecated addresses are not ready for use.
      if (unicast->DadState != IpDadStatePreferred) continue;
      const sockaddr* sa = unicast->Address.lpSockaddr;
      if (sa == nullptr || sa->sa_family != AF_INET) continue;
      std::uint32_t address =
          ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
      if ((address >> 24) == 127) continue;
      if ((address >> 16) == 0xA9FE) continue;  // 169.254/16
      unsigned prefix = std::min<unsigned>(unicast->OnLinkPrefixLength, 32);
      std::uint32_t host_bits =
          prefix == 0 ? 0xFFFFFFFFu : (prefix == 32 ? 0u : ~0u >> prefix);
      found.push_back(
          {native::ipv4_of(address), native::ipv4_of(address | host_bits)});
    }
  }
  return found;
}

}  // namespace burrowlink::platform
