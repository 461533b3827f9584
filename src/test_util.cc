#include "test_util.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace burrowlink::testing {

ScopedTempDir::ScopedTempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "burrowlink-test-XXXXXX")
          .string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) std::abort();
  m_path = made;
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(m_path, ignored);
}

std::string ScopedTempDir::file(const std::string& name) const {
  return m_path + "/" + name;
}

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
  m_saved.emplace_back(name, old ? std::optional<std::string>(old)
                                 : std::nullopt);
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  unsetenv(name.c_str());
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_whole(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool network_is_isolated(std::string* why) {
  std::error_code e1, e2;
  auto own = std::filesystem::read_symlink("/proc/self/ns/net", e1);
  auto init = std::filesystem::read_symlink("/proc/1/ns/net", e2);
  if (e2) {
    // Some sandboxes hide pid 1's namespace; then we must differ from the
    // process that started us, as under tests/netns.sh.
    init = std::filesystem::read_symlink(
        "/proc/" + std::to_string(getppid()) + "/ns/net", e2);
  }
  if (e1 || e2 || own == init) {
    *why = "not inside a private network namespace (run through tests/netns.sh)";
    return false;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    *why = "cannot list the network interfaces";
    return false;
  }
  bool isolated = true;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    uint32_t address = ntohl(
        reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    if ((address >> 24) != 127 && (address >> 24) != 10) {
      *why = std::string("interface ") + entry->ifa_name +
             " has an address that is neither loopback nor a 10.x test "
             "address";
      isolated = false;
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
  std::string commands = "ip link add " + name + " type bridge && ip addr add " +
                         cidr + " brd + dev " + name + " && ip link set " +
                         name + " up";
  if (default_route) commands += " && ip route add default dev " + name;
  return std::system(commands.c_str()) == 0;
}

bool wait_for_file(const std::string& path, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) > 0 && !error) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace burrowlink::testing
