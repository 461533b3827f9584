#pragma once

// What the POSIX backend's files share: system errors worded in one place,
// and whole writes to a descriptor.

#include <cstddef>

#include "base/result.h"
#include "platform/handle.h"

namespace burrowlink::platform::posix {

// "{strerror} (os error N)", with the kind callers tell apart.
Error os_error(int code);
// The same for errno.
Error last_os_error();

inline int fd_of(const Handle& handle) {
  return static_cast<int>(handle.get());
}

// Writes all `size` bytes, going on after interruptions.
Status write_fd_all(int fd, const char* data, std::size_t size);

}  // namespace burrowlink::platform::posix
