#pragma once

// Runs the real burrowlink binary for end-to-end tests.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/result.h"
#include "platform/network.h"
#include "test_util.h"

namespace burrowlink::testing {

// Path of the binary under test (BURROWLINK_BIN, else build/burrowlink). A
// .exe runs under Wine, each home folder with a Wine prefix of its own.
std::string tool_path();
// The Linux build that the Windows build is tested against
// (BURROWLINK_PEER), or "" when there is none.
std::string peer_path();

// How the tool under test (the Windows build when `windows`) spells things.
struct ToolFlavour {
  bool windows = false;
  // A path of this machine as the tool takes it: "Z:\tmp\x" under Wine.
  std::string path(const std::string& linux_path) const;
  // `folder` and `name` joined as the tool joins them.
  std::string join(const std::string& folder, const std::string& name) const;
  // Where the tool run with HOME `home` keeps its identity file.
  std::string identity_file(const std::string& home) const;
  // And its file `name` beside it (its key, the devices it knows).
  std::string home_file(const std::string& home, const std::string& name) const;
  // True when `text` is `before`, a system message and " (os error N)" with
  // N the system's code: `posix` on Linux, `windows` on Windows, whose
  // wording is checked only on Linux.
  bool is_os_error(const std::string& text, const std::string& before,
                   int posix, unsigned windows) const;
};
// The flavour of the binary under test, and of its peer.
const ToolFlavour& tool();
const ToolFlavour& peer();

struct ToolOptions {
  // Runs the peer binary rather than the one under test.
  bool peer = false;
  // Runs this program instead, as it is (never under Wine).
  std::string program;
  std::vector<std::string> args;
  std::string cwd;  // empty: the test's own
  // Variables to set (value) or unset (nullopt) on top of our environment.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  std::optional<std::string> input;  // closed standard input when absent
  std::chrono::milliseconds timeout{30000};
  // Standard output and error both go to one terminal, read back as `out`.
  bool terminal = false;
  // With `terminal`: standard input is that terminal too, in line mode, as
  // a person's console is; `send_input` types on it.
  bool terminal_input = false;
  // Standard input is the null device.
  bool null_input = false;
  // Signals the tool starts with ignored, as nohup leaves SIGHUP.
  std::vector<int> ignored_signals;
};

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  bool timed_out = false;
};

// A running copy of the tool with its output captured.
class ToolProcess {
 public:
  explicit ToolProcess(const ToolOptions& options);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Reads output until standard error contains `text`; false on time-out or
  // exit.
  bool wait_for_err(const std::string& text, std::chrono::milliseconds limit);
  bool wait_for_out(const std::string& text, std::chrono::milliseconds limit);
  // Reads whatever output is ready, so that a chatty tool never blocks on
  // a full pipe.
  void drain();
  // Writes to its standard input (kept open when `input` was "" ).
  void send_input(const std::string& text);
  void close_input();
  void kill(int signal);
  // Waits for the exit (killing it after `limit`) and returns all output.
  ToolResult finish(std::chrono::milliseconds limit);
  const std::string& err() const { return m_result.err; }
  const std::string& out() const { return m_result.out; }
  int pid() const { return m_pid; }

 private:
  bool pump(std::chrono::milliseconds wait);
  bool wait_for(const std::string& stream, const std::string& text,
                std::chrono::milliseconds limit);
  int m_pid = -1;
  int m_in = -1;
  int m_out = -1;
  int m_err = -1;
  bool m_exited = false;
  ToolResult m_result;
};

// Runs the tool to its end.
ToolResult run_tool(const ToolOptions& options);

// A free TCP port on 127.0.0.1 at this moment.
int free_tcp_port();

// The relay of the benchmark (BURROWLINK_RELAY, else
// build/burrowlink_relay), between a sender and 127.0.0.1:`target_port`,
// with its `options` (--rate-mbit, --drop-after, ...).
class Relay {
 public:
  Relay(int target_port, const std::vector<std::string>& options);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  // Where senders connect; 0 when the relay did not start.
  int port() const { return m_port; }
  // Stops the relay and returns the bytes it carried from senders.
  std::uint64_t carried();

 private:
  std::filesystem::path m_counts;
  std::unique_ptr<ToolProcess> m_process;
  int m_port = 0;
};

// What `faulty_relay` does to a connection, counting the sender's bytes
// from the first one after the offer's frame.
struct RelayFault {
  std::uint64_t at = 0;
  // Flips that byte; or, with `stall`, forwards nothing from it on in
  // either direction (the sender's bytes are taken and dropped) until both
  // ends have closed.
  bool stall = false;
};
// Listens on 127.0.0.1:`listen_port`, then relays one connection from there
// to `target_port` with `fault` on the thread it returns, which ends when
// both ends have closed, or when no connection came within 30 s. One that
// only asked for the secure channel (its offer and nothing more) is
// followed by the next.
std::thread faulty_relay(int listen_port, int target_port, RelayFault fault);

// The next offer on `listener`, taken as a receiver of the shared
// protocol takes it: a connection whose offer lists nothing (a sender of
// ours asking for the secure channel) is closed unanswered.
struct Offered {
  platform::TcpStream stream;
  std::string body;
};
Result<Offered> accept_offer(platform::TcpListener& listener,
                             std::chrono::milliseconds limit);

// A receiver run with `home` takes clear connections only: its key file
// holds no key.
void make_clear_only(const ToolFlavour& flavour, const std::string& home);

}  // namespace burrowlink::testing
