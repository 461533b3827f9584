#include "platform/posix.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace burrowlink::platform {

void Handle::reset() {
  if (m_value >= 0) {
    ::close(static_cast<int>(m_value));
    m_value = -1;
  }
}

namespace posix {

Error os_error(int code) {
  ErrorKind kind = ErrorKind::os;
  switch (code) {
    case EAGAIN:
    case ETIMEDOUT:
      kind = ErrorKind::timed_out;
      break;
    case EEXIST:
      kind = ErrorKind::already_exists;
      break;
    case ENOENT:
      kind = ErrorKind::not_found;
      break;
    default:
      break;
  }
  return Error{
      std::string(strerror(code)) + " (os error " + std::to_string(code) + ")",
      kind, code};
}

Error last_os_error() { return os_error(errno); }

Status write_fd_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return Error{"failed to write whole buffer"};
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace posix
}  // namespace burrowlink::platform
