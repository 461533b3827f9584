#pragma once

// Helpers shared by the unit and end-to-end tests.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#define ASSERT_OK(expr)                                            \
  do {                                                             \
    auto&& assert_ok_result_ = (expr);                             \
    ASSERT_TRUE(assert_ok_result_.ok())                            \
        << #expr << ": " << assert_ok_result_.error().message;     \
  } while (0)

#define EXPECT_OK(expr)                                            \
  do {                                                             \
    auto&& expect_ok_result_ = (expr);                             \
    EXPECT_TRUE(expect_ok_result_.ok())                            \
        << #expr << ": " << expect_ok_result_.error().message;     \
  } while (0)

namespace burrowlink::testing {

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

// Whole-file helpers for test data.
std::string read_whole(const std::string& path);
void write_whole(const std::string& path, const std::string& data);

// True only inside a network namespace of our own whose IPv4 addresses are
// all loopback or 10.x test addresses; `why` tells what is wrong otherwise.
bool network_is_isolated(std::string* why);

// Adds a port-less bridge `name` with `cidr` (a 10.x address), brings it up
// and, when `default_route`, routes 255.255.255.255 through it. Only inside
// an isolated namespace. True also when `name` already exists.
bool add_test_interface(const std::string& name, const std::string& cidr,
                        bool default_route);

// Waits up to `limit` until `path` is a non-empty file; false if it never is.
bool wait_for_file(const std::string& path, std::chrono::milliseconds limit);

}  // namespace burrowlink::testing
