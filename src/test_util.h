#pragma once

// Helpers shared by the unit and end-to-end tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network.h"
#include "platform/sha256.h"

#define ASSERT_OK(expr)                                        \
  do {                                                         \
    auto&& assert_ok_result_ = (expr);                         \
    ASSERT_TRUE(assert_ok_result_.ok())                        \
        << #expr << ": " << assert_ok_result_.error().message; \
  } while (0)

#define EXPECT_OK(expr)                                        \
  do {                                                         \
    auto&& expect_ok_result_ = (expr);                         \
    EXPECT_TRUE(expect_ok_result_.ok())                        \
        << #expr << ": " << expect_ok_result_.error().message; \
  } while (0)

namespace burrowlink::testing {

// The tests run against the Windows build.
extern const bool ON_WINDOWS;

// A fresh folder under the system's temp folder, removed with its content.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return m_path; }
  // `path()` joined with `name`.
  std::string file(const std::string& name) const;

 private:
  std::string m_path;
};

// Sets or unsets environment variables, restoring them when it ends.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// `utf8` as a path for the standard library, whatever the system's code
// page.
std::filesystem::path fs_path(const std::string& utf8);

// The SHA-256 of `data`; and as the 32 bytes that follow a file on the
// wire.
platform::Digest sha256_of(std::string_view data);
std::string digest(std::string_view data);

// `body` as a frame: its length in 4 bytes, most significant first, then
// the body. Written out here, apart from the code it checks.
std::string frame(std::string_view body);

// Whole-file helpers for test data.
std::string read_whole(const std::string& path);
void write_whole(const std::string& path, const std::string& data);

// True only when every network interface is loopback or one that the tests
// made (named t0-t9 or bl-..., with 10.x addresses), as inside a private
// network namespace; `why` tells what is wrong otherwise.
bool network_is_isolated(std::string* why);

// Adds a port-less bridge `name` with `cidr` (a 10.x address), brings it up
// and, when `default_route`, routes 255.255.255.255 through it. Only inside
// an isolated network. True also when `name` already exists. On Windows,
// where the test runner makes the bridges, true when it is there.
bool add_test_interface(const std::string& name, const std::string& cidr,
                        bool default_route);

// The platform's text for a system error: `posix` is the errno value on
// POSIX, `windows` the error code on Windows.
std::string os_error_text(int posix, unsigned windows);

// True when an interface named `name` with IPv4 address `address` may be
// seen by a test.
bool is_test_interface(const std::string& name, std::uint32_t address);

// Waits up to `limit` until `path` is a non-empty file; false if it never is.
bool wait_for_file(const std::string& path, std::chrono::milliseconds limit);

// The next connection to `listener`, or a time-out after `limit`: a program
// that never connects (a Windows build still starting, or one that failed)
// must not hold a scripted peer, and the test that joins it, for good.
Result<platform::TcpStream> accept_within(platform::TcpListener& listener,
                                          std::chrono::milliseconds limit);

}  // namespace burrowlink::testing
