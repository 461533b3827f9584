#pragma once

// What files and sockets share: an OS handle that closes itself, and the
// byte spans they read into and write from.

#include <cstdint>
#include <span>
#include <utility>

namespace burrowlink::platform {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

// An OS handle (file descriptor or socket), closed when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(std::intptr_t value) : m_value(value) {}
  Handle(Handle&& other) noexcept : m_value(std::exchange(other.m_value, -1)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      m_value = std::exchange(other.m_value, -1);
    }
    return *this;
  }
  ~Handle() { reset(); }

  std::intptr_t get() const { return m_value; }
  // Closes the handle now, if it is open.
  void reset();
  // Gives up ownership without closing.
  void release() { m_value = -1; }

 private:
  std::intptr_t m_value = -1;
};

}  // namespace burrowlink::platform
