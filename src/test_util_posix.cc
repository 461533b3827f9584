// Test helpers that need POSIX calls.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>

#include <cstdlib>
#include <set>

#include "test_util.h"

namespace burrowlink::testing {

const bool ON_WINDOWS = false;

ScopedEnv::~ScopedEnv() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
    if (it->second) {
      setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      unsetenv(it->first.c_str());
    }
  }
}

void ScopedEnv::remember(const std::string& name) {
  const char* old = getenv(name.c_str());
  m_saved.emplace_back(name,
                       old ? std::optional<std::string>(old) : std::nullopt);
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  unsetenv(name.c_str());
}

bool network_is_isolated(std::string* why) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    *why = "cannot list the network interfaces";
    return false;
  }
  // Every link shows up, also one without an address.
  bool isolated = true;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    std::uint32_t address = 0x0A000000;  // a link entry: judged by its name
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
      address = ntohl(
          reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    }
    if (!is_test_interface(entry->ifa_name, address)) {
      *why = std::string("interface ") + entry->ifa_name +
             " is not a test interface; run inside a private network "
             "namespace (tests/netns.sh)";
      isolated = false;
      break;
    }
  }
  freeifaddrs(list);
  return isolated;
}

bool add_test_interface(const std::string& name, const std::string& cidr,
                        bool default_route) {
  std::string why;
  if (!network_is_isolated(&why) || cidr.rfind("10.", 0) != 0) return false;
  // Several tests in one namespace may ask for the same interface.
  std::string exists = "ip link show " + name + " >/dev/null 2>&1";
  if (std::system(exists.c_str()) == 0) return true;
  std::string commands = "ip link add " + name +
                         " type bridge && ip addr add " + cidr + " brd + dev " +
                         name + " && ip link set " + name + " up";
  if (default_route) commands += " && ip route add default dev " + name;
  return std::system(commands.c_str()) == 0;
}

std::string os_error_text(int posix, unsigned) {
  return std::string(strerror(posix)) + " (os error " + std::to_string(posix) +
         ")";
}

Result<platform::TcpStream> accept_within(platform::TcpListener& listener,
                                          std::chrono::milliseconds limit) {
  pollfd ready{static_cast<int>(listener.native()), POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(limit.count())) != 1) {
    return Error{
        "no connection within " + std::to_string(limit.count()) + " ms",
        ErrorKind::timed_out};
  }
  return listener.accept();
}

}  // namespace burrowlink::testing
