#pragma once

// A receive folder, a sender's source folder and a free port for tests that
// run `receive` against `send` or against a peer scripted byte by byte.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/sha256.h"
#include "test_util.h"

namespace burrowlink::testing {

using namespace std::chrono_literals;
using platform::TcpStream;

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inbox = work.file("in");
    std::filesystem::create_directories(work.file("src"));
    std::filesystem::create_directories(work.file("home-r"));
    std::filesystem::create_directories(work.file("home-s"));
    port = free_tcp_port();
  }

  std::string src(const std::string& name) const {
    return work.file("src/" + name);
  }
  // A source file's path as the tool takes it.
  std::string tool_src(const std::string& name) const {
    return tool().path(src(name));
  }
  // A received file's path as the receiver shows it.
  std::string shown(const std::string& name) const {
    return tool().join(tool().path(inbox), name);
  }

  // How `receive` with `extra` options is started.
  ToolOptions receiver_options(const std::vector<std::string>& extra) const {
    ToolOptions options;
    // Options given first win over the defaults that follow.
    options.args = {"receive"};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.args.insert(options.args.end(),
                        {"--dir", tool().path(inbox), "--name", "Recv",
                         "--port", std::to_string(port)});
    options.env = {{"HOME", work.file("home-r")},
                   {"USERPROFILE", std::nullopt}};
    options.env.insert(options.env.end(), env.begin(), env.end());
    return options;
  }

  // Starts `receive` and waits for its ready line.
  std::unique_ptr<ToolProcess> receiver(std::vector<std::string> extra,
                                        std::optional<std::string> input = {},
                                        bool terminal = false) {
    ToolOptions options = receiver_options(extra);
    options.input = input;
    options.terminal = terminal;
    auto process = std::make_unique<ToolProcess>(options);
    bool ready = terminal ? process->wait_for_out("Ready to receive", 5s)
                          : process->wait_for_err("Ready to receive", 5s);
    EXPECT_TRUE(ready) << process->err();
    return process;
  }

  // How `send` with `args` is started.
  ToolOptions sender_options(std::vector<std::string> args,
                             bool terminal = false) const {
    ToolOptions options;
    options.args = {"send"};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.env = {{"HOME", work.file("home-s")},
                   {"USERPROFILE", std::nullopt}};
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.terminal = terminal;
    return options;
  }
  // `send` with `args`; file paths go through `tool().path` first.
  ToolResult sender(std::vector<std::string> args) {
    return run_tool(sender_options(std::move(args)));
  }

  std::string to() const { return "127.0.0.1:" + std::to_string(port); }

  // The data files in the receive folder's store: prefixes that wait, or
  // the file in progress.
  std::vector<std::string> store_data() const {
    std::vector<std::string> found;
    const auto store = fs_path(inbox + "/.burrowlink-store");
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(store, error)) {
      if (entry.path().extension() == ".part") {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }
  // Waits until a file in progress has some bytes in the store.
  bool wait_for_store_data() const {
    for (int i = 0; i < 500; ++i) {
      for (const std::string& data : store_data()) {
        std::error_code error;
        if (std::filesystem::file_size(data, error) > 0) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // A scripted sender speaking the protocol byte by byte.
  TcpStream peer() {
    auto s = TcpStream::connect(
        SocketAddress::v4({127, 0, 0, 1}, static_cast<std::uint16_t>(port)),
        2s);
    EXPECT_TRUE(s.ok());
    (void)s->set_read_timeout(20s);
    return std::move(s).value();
  }
  static void put(TcpStream& s, const std::string& bytes) {
    EXPECT_TRUE(
        s.write_all({reinterpret_cast<const std::uint8_t*>(bytes.data()),
                     bytes.size()})
            .ok());
  }
  // The next byte from the receiver, or -1 when it closed.
  static int next_byte(TcpStream& s) {
    std::uint8_t b = 0;
    return s.read_exact({&b, 1}).ok() ? b : -1;
  }

  ScopedTempDir work;
  std::string inbox;
  int port = 0;
  // Set for every copy of the tool the test starts, on top of its own.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
};

}  // namespace burrowlink::testing
