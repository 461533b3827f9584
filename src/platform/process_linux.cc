// The process on Linux: getrandom(2) for random bytes.
#include <errno.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/posix.h"
#include "platform/process.h"

namespace burrowlink::platform {

using posix::last_os_error;

void prepare_process() { signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::vector<std::string> expand_file_argument(std::size_t,
                                              std::string argument) {
  // The shell has expanded what was meant as a pattern; a file may really be
  // called "*.txt".
  std::vector<std::string> named;
  named.push_back(std::move(argument));
  return named;
}

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

Status random_bytes(Bytes out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::optional<std::string> host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return std::nullopt;
  }
  return std::string(name);
}

}  // namespace burrowlink::platform
