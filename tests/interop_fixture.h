#pragma once

// Two builds meeting (BURROWLINK_PEER as the second), each test run both
// ways: as the Windows build meets the Linux one.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "test_util.h"

namespace burrowlink::testing {

using namespace std::chrono_literals;

// Which build plays which part.
struct Side {
  bool peer = false;  // the second build rather than the one under test
  const ToolFlavour& flavour() const { return peer ? testing::peer() : tool(); }
};

class InteropTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (peer_path().empty()) GTEST_SKIP() << "no BURROWLINK_PEER to meet";
    ASSERT_TRUE(add_test_interface("t0", "10.77.0.1/24", true));
    receiving.peer = GetParam();
    sending.peer = !GetParam();
    inbox = work.file("in");
    std::filesystem::create_directories(work.file("src"));
    std::filesystem::create_directories(work.file("home-r"));
    std::filesystem::create_directories(work.file("home-s"));
    port = free_tcp_port();
  }

  ToolOptions options(const Side& side, const std::string& home,
                      std::vector<std::string> args) {
    ToolOptions o;
    o.peer = side.peer;
    o.args = std::move(args);
    o.env = {{"HOME", work.file(home)}, {"USERPROFILE", std::nullopt}};
    return o;
  }

  // `once`: it ends after one connection; otherwise the test ends it.
  std::unique_ptr<ToolProcess> receiver(const std::string& name,
                                        bool once = true) {
    std::vector<std::string> args{
        "receive", "--yes", "--dir",  receiving.flavour().path(inbox),
        "--name",  name,    "--port", std::to_string(port)};
    if (once) args.push_back("--once");
    auto process =
        std::make_unique<ToolProcess>(options(receiving, "home-r", args));
    EXPECT_TRUE(process->wait_for_err("Ready to receive", 20s))
        << process->err();
    return process;
  }

  ToolResult sender(std::vector<std::string> args) {
    args.insert(args.begin(), "send");
    return run_tool(options(sending, "home-s", std::move(args)));
  }

  // `send`, while `recv`'s output is read so that its lines never fill a
  // pipe.
  ToolResult sender_to(ToolProcess& recv, std::vector<std::string> args) {
    std::atomic<bool> done = false;
    ToolResult result;
    std::thread running([&] {
      result = sender(std::move(args));
      done = true;
    });
    while (!done) {
      recv.drain();
      std::this_thread::sleep_for(10ms);
    }
    running.join();
    return result;
  }

  std::string source(const std::string& name, const std::string& data) {
    write_whole(work.file("src/" + name), data);
    return sending.flavour().path(work.file("src/" + name));
  }

  std::string shown(const std::string& name) const {
    return receiving.flavour().join(receiving.flavour().path(inbox), name);
  }

  std::string to(int at) const { return "127.0.0.1:" + std::to_string(at); }

  // The bytes that wait in the receive folder's store.
  std::uint64_t held_in_store() const {
    std::uint64_t held = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(
             inbox + "/.burrowlink-store", error)) {
      if (entry.path().extension() == ".part") {
        held += std::filesystem::file_size(entry.path(), error);
      }
    }
    return held;
  }

  Side receiving, sending;
  ScopedTempDir work;
  std::string inbox;
  int port = 0;
};

inline std::string side_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "PeerReceives" : "PeerSends";
}

}  // namespace burrowlink::testing
