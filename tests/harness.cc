#include "harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "base/coding.h"
#include "protocol/offer.h"
#include "test_util.h"

namespace burrowlink::testing {

using namespace std::chrono;

std::string tool_path() {
  // Absolute, since a test may run the tool in another folder.
  const char* bin = std::getenv("BURROWLINK_BIN");
  return std::filesystem::absolute(bin ? bin : "build/burrowlink").string();
}

std::string peer_path() {
  const char* bin = std::getenv("BURROWLINK_PEER");
  if (bin == nullptr || *bin == '\0') return "";
  return std::filesystem::absolute(bin).string();
}

std::string ToolFlavour::path(const std::string& linux_path) const {
  if (!windows) return linux_path;
  std::string converted = "Z:" + linux_path;
  std::replace(converted.begin(), converted.end(), '/', '\\');
  return converted;
}

std::string ToolFlavour::join(const std::string& folder,
                              const std::string& name) const {
  if (folder.empty()) return name;
  char last = folder.back();
  if (last == '/' || (windows && last == '\\')) return folder + name;
  return folder + (windows ? "\\" : "/") + name;
}

std::string ToolFlavour::identity_file(const std::string& home) const {
  return home_file(home, ".burrowlink-cli-id");
}

std::string ToolFlavour::home_file(const std::string& home,
                                   const std::string& name) const {
  // Wine sets USERPROFILE itself, to the user's folder in the prefix.
  if (windows) {
    return home + "/.wineprefix/drive_c/users/" +
           (std::getenv("USER") ? std::getenv("USER") : "root") + "/" + name;
  }
  return home + "/" + name;
}

bool ToolFlavour::is_os_error(const std::string& text,
                              const std::string& before, int posix,
                              unsigned windows_code) const {
  if (!windows) {
    return text == before + std::string(strerror(posix)) + " (os error " +
                       std::to_string(posix) + ")";
  }
  std::string suffix = " (os error " + std::to_string(windows_code) + ")";
  return text.starts_with(before) && text.ends_with(suffix) &&
         text.size() > before.size() + suffix.size();
}

const ToolFlavour& tool() {
  static const ToolFlavour flavour{tool_path().ends_with(".exe")};
  return flavour;
}

const ToolFlavour& peer() {
  static const ToolFlavour flavour{peer_path().ends_with(".exe")};
  return flavour;
}

namespace {

// The Wine prefix of a home folder: a hard-linked clone of the prepared one
// (WINE_TEMPLATE), so that each home has its own USERPROFILE.
std::string wine_prefix(const std::string& home) {
  std::string prefix = home + "/.wineprefix";
  if (!std::filesystem::exists(prefix + "/system.reg")) {
    const char* templ = std::getenv("WINE_TEMPLATE");
    if (templ == nullptr) std::abort();
    std::string command =
        "cp -al '" + std::string(templ) + "' '" + prefix + "'";
    if (std::system(command.c_str()) != 0) std::abort();
  }
  return prefix;
}

}  // namespace

ToolProcess::ToolProcess(const ToolOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    std::abort();
  }
  int terminal = -1, terminal_side = -1;
  if (options.terminal) {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&terminal, &terminal_side, nullptr, &raw, nullptr) != 0) {
      std::abort();
    }
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    fcntl(terminal_side, F_SETFD, FD_CLOEXEC);
  }
  std::string path = !options.program.empty() ? options.program
                     : options.peer           ? peer_path()
                                              : tool_path();
  std::vector<std::string> args = options.args;
  auto env = options.env;
  if (path.ends_with(".exe")) {
    args.insert(args.begin(), path);
    path = "/usr/bin/wine";
    std::string home = "/tmp";
    for (const auto& [name, value] : env) {
      if (name == "HOME" && value) home = *value;
    }
    env.emplace_back("WINEPREFIX", wine_prefix(home));
  }
  if (options.terminal && options.terminal_input) {
    // Lines as a person types them: ended by Enter, taken whole.
    termios mode{};
    tcgetattr(terminal_side, &mode);
    mode.c_lflag |= ICANON;
    tcsetattr(terminal_side, TCSANOW, &mode);
  }
  m_pid = fork();
  if (m_pid == 0) {
    if (options.null_input) {
      int null_device = ::open("/dev/null", O_RDONLY);
      dup2(null_device, 0);
    } else if (options.terminal_input) {
      // The terminal is the tool's own, as a shell's is for the job in
      // its foreground.
      setsid();
      dup2(terminal_side, 0);
      ioctl(0, TIOCSCTTY, 0);
    } else {
      dup2(in[0], 0);
    }
    dup2(terminal_side >= 0 ? terminal_side : out[1], 1);
    dup2(terminal_side >= 0 ? terminal_side : err[1], 2);
    for (int ignored : options.ignored_signals) signal(ignored, SIG_IGN);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const auto& [name, value] : env) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    std::vector<char*> argv;
    argv.push_back(path.data());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  m_in = in[1];
  m_out = out[0];
  if (terminal >= 0) {
    ::close(terminal_side);
    ::close(m_out);
    m_out = terminal;
    if (options.terminal_input) {
      ::close(m_in);
      m_in = ::dup(terminal);
    }
  }
  m_err = err[0];
  if (options.input) {
    if (!options.input->empty()) {
      send_input(*options.input);
      close_input();
    }
  } else {
    close_input();
  }
}

ToolProcess::~ToolProcess() {
  if (!m_exited && m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  for (int fd : {m_in, m_out, m_err}) {
    if (fd >= 0) ::close(fd);
  }
}

void ToolProcess::send_input(const std::string& text) {
  if (m_in < 0) return;
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(m_in, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void ToolProcess::close_input() {
  if (m_in >= 0) ::close(m_in);
  m_in = -1;
}

void ToolProcess::kill(int sig) {
  if (!m_exited) ::kill(m_pid, sig);
}

// Reads what is available within `wait`; false once both pipes are closed.
bool ToolProcess::pump(milliseconds wait) {
  pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
  int open = (m_out >= 0) + (m_err >= 0);
  if (open == 0) return false;
  int ready = poll(fds, 2, static_cast<int>(wait.count()));
  if (ready <= 0) return true;
  int* fd_of[2] = {&m_out, &m_err};
  std::string* sink[2] = {&m_result.out, &m_result.err};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[65536];
    ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sink[i]->append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(*fd_of[i]);
      *fd_of[i] = -1;
    }
  }
  return true;
}

void ToolProcess::drain() {
  for (std::size_t before = SIZE_MAX;
       before != m_result.out.size() + m_result.err.size();) {
    before = m_result.out.size() + m_result.err.size();
    if (!pump(milliseconds(0))) return;
  }
}

bool ToolProcess::wait_for(const std::string& stream, const std::string& text,
                           milliseconds limit) {
  auto deadline = steady_clock::now() + limit;
  while (stream.find(text) == std::string::npos) {
    if (steady_clock::now() >= deadline) return false;
    if (!pump(milliseconds(50))) return false;
  }
  return true;
}

bool ToolProcess::wait_for_err(const std::string& text, milliseconds limit) {
  return wait_for(m_result.err, text, limit);
}

bool ToolProcess::wait_for_out(const std::string& text, milliseconds limit) {
  return wait_for(m_result.out, text, limit);
}

ToolResult ToolProcess::finish(milliseconds limit) {
  auto deadline = steady_clock::now() + limit;
  while (pump(milliseconds(50))) {
    if (steady_clock::now() >= deadline) {
      ::kill(m_pid, SIGKILL);
      m_result.timed_out = true;
      deadline = steady_clock::now() + seconds(5);
    }
  }
  int status = 0;
  waitpid(m_pid, &status, 0);
  m_exited = true;
  m_result.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Wine's own complaint when a thread still talks to its server while the
  // process exits; not the tool's output.
  for (std::string* text : {&m_result.err, &m_result.out}) {
    for (std::size_t at;
         (at = text->find("wine client error:")) != std::string::npos;) {
      const std::size_t end = text->find('\n', at);
      text->erase(at,
                  end == std::string::npos ? std::string::npos : end + 1 - at);
    }
  }
  return m_result;
}

ToolResult run_tool(const ToolOptions& options) {
  ToolProcess process(options);
  return process.finish(options.timeout);
}

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

// Relays connection `from` with `fault`; true when it carried an offer's
// frame and nothing more: a sender asking for the secure channel, which a
// receiver without it closes.
bool relay_one(int from, int target_port, RelayFault fault) {
  int to = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in there = loopback(target_port);
  if (connect(to, reinterpret_cast<sockaddr*>(&there), sizeof there) != 0) {
    ADD_FAILURE() << "the faulty relay could not reach port " << target_port;
  }
  std::uint64_t forwarded = 0, flip_at = UINT64_MAX;
  bool stalled = false;
  std::array<std::uint8_t, 4> prefix{};
  bool open[2] = {true, true};
  while (open[0] || open[1]) {
    pollfd fds[2] = {{open[0] ? from : -1, POLLIN, 0},
                     {open[1] ? to : -1, POLLIN, 0}};
    // Longer than any time limit of the tool, which a stall is to show.
    if (poll(fds, 2, 120000) <= 0) break;
    for (int side = 0; side < 2; ++side) {
      if (fds[side].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[side].fd, buffer, sizeof buffer);
      const bool stalled_before = stalled;
      int out = side == 0 ? to : from;
      if (n <= 0) {
        // A stalled link passes on no end either.
        if (!stalled) shutdown(out, SHUT_WR);
        open[side] = false;
        continue;
      }
      if (side == 0) {
        for (ssize_t i = 0; i < n; ++i, ++forwarded) {
          if (forwarded < 4)
            prefix[static_cast<std::size_t>(forwarded)] =
                static_cast<std::uint8_t>(buffer[i]);
          if (forwarded == 3) {
            flip_at = 4 + std::uint64_t{decode_fixed32(prefix)} + fault.at;
          }
          if (forwarded == flip_at) {
            if (fault.stall) {
              stalled = true;
              n = i;  // what came before still goes
              break;
            }
            buffer[i] = static_cast<char>(buffer[i] ^ 0x55);
          }
        }
      }
      if (stalled_before) continue;
      for (ssize_t done = 0; done < n;) {
        ssize_t w =
            write(out, buffer + done, static_cast<std::size_t>(n - done));
        if (w <= 0) break;
        done += w;
      }
    }
  }
  close(from);
  close(to);
  return flip_at != UINT64_MAX && forwarded + fault.at == flip_at;
}

void relay_with_fault(int listener, int target_port, RelayFault fault) {
  // The first connection within 30 s, then any that follows one that only
  // asked for the channel.
  for (int wait = 30000;; wait = 10000) {
    pollfd wait_for{listener, POLLIN, 0};
    if (poll(&wait_for, 1, wait) != 1) {
      ADD_FAILURE() << "the faulty relay had no connection in time";
      break;
    }
    int from = accept(listener, nullptr, nullptr);
    if (from < 0) {
      ADD_FAILURE() << "the faulty relay could not accept: " << strerror(errno);
      break;
    }
    if (!relay_one(from, target_port, fault)) break;
  }
  close(listener);
}

}  // namespace

std::thread faulty_relay(int listen_port, int target_port, RelayFault fault) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in here = loopback(listen_port);
  // Listening before it returns, so that a sender may connect at once.
  if (bind(listener, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0 ||
      listen(listener, 1) != 0) {
    ADD_FAILURE() << "the faulty relay cannot listen on " << listen_port;
  }
  return std::thread(relay_with_fault, listener, target_port, fault);
}

Result<Offered> accept_offer(platform::TcpListener& listener,
                             std::chrono::milliseconds limit) {
  for (;;) {
    Result<platform::TcpStream> accepted = accept_within(listener, limit);
    if (!accepted.ok()) return accepted.error();
    platform::TcpStream& s = *accepted;
    RETURN_IF_ERROR(s.set_read_timeout(std::chrono::seconds(20)));
    std::array<std::uint8_t, 4> prefix{};
    RETURN_IF_ERROR(s.read_exact(prefix));
    std::string body(decode_fixed32(prefix), '\0');
    RETURN_IF_ERROR(s.read_exact(
        {reinterpret_cast<std::uint8_t*>(body.data()), body.size()}));
    Result<Offer> offer = offer_from_json(body);
    if (offer.ok() && offer->files.empty() && !offer->text) continue;
    return Offered{std::move(s), std::move(body)};
  }
}

void make_clear_only(const ToolFlavour& flavour, const std::string& home) {
  // The file goes in the prefix's user folder, which is made with it.
  if (flavour.windows) wine_prefix(home);
  write_whole(flavour.home_file(home, ".burrowlink-cli-key"), "no key\n");
}

std::string relay_path() {
  const char* relay = std::getenv("BURROWLINK_RELAY");
  return relay != nullptr ? relay : "build/burrowlink_relay";
}

Relay::Relay(int target_port, const std::vector<std::string>& options)
    : m_counts(std::filesystem::temp_directory_path() /
               ("burrowlink-relay-" + std::to_string(::getpid()) + "-" +
                std::to_string(target_port))) {
  ToolOptions run;
  run.program = relay_path();
  run.args = {"--listen", "0",
              "--to",     "127.0.0.1:" + std::to_string(target_port),
              "--count",  m_counts.string()};
  run.args.insert(run.args.end(), options.begin(), options.end());
  run.input = "";
  m_process = std::make_unique<ToolProcess>(run);
  if (m_process->wait_for_out("listening on ", std::chrono::seconds(5))) {
    for (int i = 0; i < 100 && m_process->out().find('\n') == std::string::npos;
         ++i) {
      m_process->drain();
    }
    m_port = std::atoi(m_process->out().c_str() + 13);
  }
}

Relay::~Relay() {
  m_process->kill(SIGTERM);
  m_process->finish(std::chrono::seconds(5));
  std::error_code ignored;
  std::filesystem::remove(m_counts, ignored);
}

std::uint64_t Relay::carried() {
  m_process->kill(SIGTERM);
  m_process->finish(std::chrono::seconds(5));
  std::uint64_t up = 0;
  std::istringstream lines(read_whole(m_counts.string()));
  for (std::string id, sent, back; lines >> id >> sent >> back;) {
    up += std::stoull(sent);
  }
  return up;
}

int free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t len = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace burrowlink::testing
