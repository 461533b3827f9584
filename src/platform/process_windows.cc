// The process on Windows: the wide command line with the runtimes' own
// wildcard expansion, the environment in UTF-16, and ProcessPrng.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>

#include "platform/process.h"
#include "platform/win32.h"
#include "rules/windows_rules.h"

namespace burrowlink::platform {

using win32::last_error;
using win32::narrow;
using win32::native_path;
using win32::os_error;
using win32::widen;

void prepare_process() { win32::start_winsock(); }

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
  std::vector<rules::windows::CommandLineArgument> split =
      rules::windows::split_command_line(line);
  const bool agree = split.size() + 1 == static_cast<std::size_t>(count);
  for (int i = 1; i < count; ++i) {
    args.push_back(narrow(wide[i]));
    const rules::windows::CommandLineArgument* ours =
        agree ? &split[i - 1] : nullptr;
    g_unquoted.push_back(ours != nullptr && !ours->quoted &&
                         ours->text == wide[i]);
  }
  LocalFree(wide);
  return args;
}

std::vector<std::string> win32::expand_pattern(const std::string& argument) {
  const std::size_t name_start = rules::windows::pattern_start(argument);
  if (name_start == std::string::npos) return {argument};
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
  return win32::expand_pattern(argument);
}

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

std::optional<std::string> host_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size) || size == 0) return std::nullopt;
  return narrow(std::wstring_view(name, size));
}

}  // namespace burrowlink::platform
