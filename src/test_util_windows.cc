// Test helpers that need Windows calls.

// Windows Sockets 2 and windows.h come before the system headers built
// on them.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>
// clang-format on

#include <vector>

#include "platform/win32.h"
#include "test_util.h"

namespace burrowlink::testing {

const bool ON_WINDOWS = true;

namespace {

// UTF-8 to UTF-16, where a surrogate written in UTF-8's form stays a lone
// surrogate, so that a test can hand the system text that is not valid.
std::wstring widen(const std::string& text) {
  std::wstring wide;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80   ? 1
                         : byte < 0xE0 ? 2
                         : byte < 0xF0 ? 3
                                       : 4;
    std::uint32_t c = length == 1   ? byte
                      : length == 2 ? byte & 0x1F
                      : length == 3 ? byte & 0x0F
                                    : byte & 0x07;
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      wide += static_cast<wchar_t>(0xD800 + (c >> 10));
      wide += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(c);
    }
  }
  return wide;
}

std::string narrow(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(),
                              static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                      text.data(), n, nullptr, nullptr);
  return text;
}

struct Adapter {
  std::string name;
  std::vector<std::uint32_t> ipv4;
};

std::optional<std::vector<Adapter>> adapters() {
  std::vector<std::uint8_t> storage(64 * 1024);
  ULONG size = static_cast<ULONG>(storage.size());
  auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data());
  if (GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_ALL_INTERFACES, nullptr,
                           list, &size) != NO_ERROR) {
    return std::nullopt;
  }
  std::vector<Adapter> found;
  for (auto* a = list; a != nullptr; a = a->Next) {
    Adapter adapter{narrow(a->FriendlyName), {}};
    for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (sa != nullptr && sa->sa_family == AF_INET) {
        adapter.ipv4.push_back(
            ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr));
      }
    }
    found.push_back(std::move(adapter));
  }
  return found;
}

}  // namespace

ScopedEnv::~ScopedEnv() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
    SetEnvironmentVariableW(widen(it->first).c_str(),
                            it->second ? widen(*it->second).c_str() : nullptr);
  }
}

void ScopedEnv::remember(const std::string& name) {
  std::wstring value(32768, L'\0');
  SetLastError(ERROR_SUCCESS);
  DWORD n = GetEnvironmentVariableW(widen(name).c_str(), value.data(),
                                    static_cast<DWORD>(value.size()));
  if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
    m_saved.emplace_back(name, std::nullopt);
  } else {
    value.resize(n);
    m_saved.emplace_back(name, narrow(value));
  }
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  SetEnvironmentVariableW(widen(name).c_str(), nullptr);
}

bool network_is_isolated(std::string* why) {
  auto list = adapters();
  if (!list) {
    *why = "cannot list the network interfaces";
    return false;
  }
  for (const Adapter& adapter : *list) {
    std::vector<std::uint32_t> ipv4 = adapter.ipv4;
    if (ipv4.empty()) ipv4.push_back(0x0A000000);  // judged by its name
    for (std::uint32_t address : ipv4) {
      if (!is_test_interface(adapter.name, address)) {
        *why = "interface " + adapter.name +
               " is not a test interface; run inside a private network "
               "namespace (tests/wine-netns.sh)";
        return false;
      }
    }
  }
  return true;
}

bool add_test_interface(const std::string& name, const std::string& cidr,
                        bool) {
  std::string why;
  if (!network_is_isolated(&why)) return false;
  std::string address = cidr.substr(0, cidr.find('/'));
  auto list = adapters();
  for (const Adapter& adapter : list.value_or(std::vector<Adapter>{})) {
    if (adapter.name != name) continue;
    for (std::uint32_t a : adapter.ipv4) {
      in_addr ip{};
      ip.s_addr = htonl(a);
      char text[INET_ADDRSTRLEN];
      if (inet_ntop(AF_INET, &ip, text, sizeof text) && address == text) {
        return true;
      }
    }
  }
  return false;
}

std::string os_error_text(int, unsigned windows) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, windows, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message =
      length > 0 ? narrow(std::wstring(buffer, length)) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' ||
          message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "unknown error";
  return message + " (os error " + std::to_string(windows) + ")";
}

Result<platform::TcpStream> accept_within(platform::TcpListener& listener,
                                          std::chrono::milliseconds limit) {
  // POLLRDNORM alone: POLLIN includes POLLRDBAND, which WSAPoll may refuse.
  WSAPOLLFD ready{platform::win32::untag_socket(listener.native()), POLLRDNORM,
                  0};
  if (WSAPoll(&ready, 1, static_cast<int>(limit.count())) != 1) {
    return Error{
        "no connection within " + std::to_string(limit.count()) + " ms",
        ErrorKind::timed_out};
  }
  return listener.accept();
}

}  // namespace burrowlink::testing
