// The binary under test against a second build (BURROWLINK_PEER), as the
// Windows build meets the Linux one: transfers both ways, each listing the
// other, and damaged data discarded by either receiver.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "harness.h"
#include "interop_fixture.h"
#include "test_util.h"

namespace burrowlink::testing {
namespace {

TEST_P(InteropTest, FilesAndANoteCrossOver) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<char>(i * 7919 % 251);
  }
  auto recv = receiver("Inbox");
  ToolResult sent =
      sender({source("big.bin", big), source("caf\xC3\xA9.txt", "caf\xC3\xA9"),
              "--to", to(port), "--name", "Desk"});
  ToolResult got = recv->finish(20s);
  EXPECT_EQ(0, sent.status) << sent.err;
  EXPECT_EQ("Received " + shown("big.bin") + " from Desk (3.0 MB, verified)\n" +
                "Received " + shown("caf\xC3\xA9.txt") +
                " from Desk (5 B, verified)\n",
            got.out);
  EXPECT_EQ(big, read_whole(inbox + "/big.bin"));
  EXPECT_EQ("caf\xC3\xA9", read_whole(inbox + "/caf\xC3\xA9.txt"));

  port = free_tcp_port();
  auto again = receiver("Inbox");
  ToolResult note = sender(
      {"--text", "back at 6 \xE2\x98\x95", "--to", to(port), "--name", "Desk"});
  EXPECT_EQ(0, note.status) << note.err;
  EXPECT_EQ("Note from Desk: back at 6 \xE2\x98\x95\n", again->finish(20s).out);
}

// A tree with nested folders, names that are not ASCII, an empty file and
// more files than one offer takes arrives whole and in place; sent again,
// nothing is replaced.
TEST_P(InteropTest, FoldersArriveWholeAndAreMergedInto) {
  std::string tree = work.file("src/Photos");
  std::filesystem::create_directories(tree + "/2024/\xC3\xA9t\xC3\xA9");
  std::filesystem::create_directories(tree + "/many");
  write_whole(tree + "/2024/a.jpg", std::string(70000, 'a'));
  write_whole(tree + "/2024/\xC3\xA9t\xC3\xA9/caf\xC3\xA9.txt", "caf\xC3\xA9");
  write_whole(tree + "/empty.bin", "");
  for (int i = 0; i < 2500; ++i) {
    write_whole(tree + "/many/f" + std::to_string(i), std::to_string(i * i));
  }
  auto recv = receiver("Inbox", false);
  ToolResult sent = sender_to(*recv, {"-r", sending.flavour().path(tree),
                                      "--to", to(port), "--name", "Desk"});
  EXPECT_EQ(0, sent.status) << sent.err;
  EXPECT_NE(std::string::npos, sent.err.find("2503 files in up to 3 parts"))
      << sent.err;
  // After the first part, the rest goes in one.
  std::size_t offers = 0;
  for (std::size_t at = 0;
       (at = sent.err.find("Waiting for ", at)) != std::string::npos; ++at) {
    ++offers;
  }
  EXPECT_EQ(2u, offers) << sent.err;
  const ToolFlavour& at = receiving.flavour();
  EXPECT_TRUE(recv->wait_for_out(
      "Received " + at.join(shown("Photos"), "empty.bin"), 30s))
      << recv->out();
  for (int i = 0; i < 2500; i += 833) {
    EXPECT_EQ(std::to_string(i * i),
              read_whole(inbox + "/Photos/many/f" + std::to_string(i)));
  }
  EXPECT_EQ(std::string(70000, 'a'), read_whole(inbox + "/Photos/2024/a.jpg"));
  EXPECT_EQ(
      "caf\xC3\xA9",
      read_whole(inbox + "/Photos/2024/\xC3\xA9t\xC3\xA9/caf\xC3\xA9.txt"));
  EXPECT_EQ("", read_whole(inbox + "/Photos/empty.bin"));
  std::size_t files = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(inbox)) {
    files += entry.is_regular_file();
  }
  EXPECT_EQ(2503u, files);
  // Sent again whole: every file is there already, more of them than a
  // small answer could name, and none arrives twice.
  ToolResult whole = sender_to(*recv, {"-r", sending.flavour().path(tree),
                                       "--to", to(port), "--name", "Desk"});
  EXPECT_EQ(0, whole.status) << whole.err;
  files = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(inbox)) {
    files += entry.is_regular_file();
  }
  EXPECT_EQ(2503u, files);
  EXPECT_TRUE(recv->wait_for_out(
      "Already here: " + at.join(shown("Photos"), "empty.bin"), 30s))
      << recv->out();

  // The same folder twice: merged into; a file that is there already, the
  // same, stays as it is, and one whose name is taken by another is
  // numbered.
  for (int round = 0; round < 2; ++round) {
    if (round == 1) write_whole(tree + "/2024/a.jpg", std::string(70000, 'b'));
    ToolResult again =
        sender_to(*recv, {"-r", sending.flavour().path(tree + "/2024"), "--to",
                          to(port), "--name", "Desk"});
    EXPECT_EQ(0, again.status) << again.err;
  }
  EXPECT_TRUE(recv->wait_for_out(
      "Received " + at.join(shown("2024"), "a (1).jpg"), 20s))
      << recv->out();
  EXPECT_TRUE(recv->wait_for_out(
      "Already here: " + at.join(at.join(shown("2024"), "\xC3\xA9t\xC3\xA9"),
                                 "caf\xC3\xA9.txt"),
      20s))
      << recv->out();
  recv->kill(SIGTERM);
  recv->finish(10s);
  EXPECT_EQ(std::string(70000, 'a'), read_whole(inbox + "/2024/a.jpg"));
  EXPECT_EQ(std::string(70000, 'b'), read_whole(inbox + "/2024/a (1).jpg"));
  EXPECT_FALSE(std::filesystem::exists(
      fs_path(inbox + "/2024/\xC3\xA9t\xC3\xA9/caf\xC3\xA9 (1).txt")));
}

TEST_P(InteropTest, EachListsTheOther) {
  auto recv = receiver("Far side");
  ToolResult listed =
      run_tool(options(sending, "home-s", {"list", "--seconds", "3"}));
  recv->kill(9);
  EXPECT_EQ(0, listed.status) << listed.err;
  // It announces a key not met yet.
  EXPECT_EQ("Far side" + std::string(20, ' ') +
                " 10.77.0.1:" + std::to_string(port) + "  new\n",
            listed.out);
}

TEST_P(InteropTest, DamagedDataIsDiscardedByTheReceiver) {
  // The clear exchange: inside the channel no flipped byte gets through.
  make_clear_only(receiving.flavour(), work.file("home-r"));
  auto recv = receiver("Inbox");
  int relay_port = free_tcp_port();
  std::thread relay = faulty_relay(relay_port, port, RelayFault{5, false});
  ToolResult sent = sender({source("hurt.txt", "twenty bytes of data"),
                            source("never.txt", "not sent"), "--to",
                            to(relay_port), "--name", "Desk"});
  relay.join();
  ToolResult got = recv->finish(20s);
  EXPECT_EQ(1, sent.status);
  EXPECT_TRUE(sent.err.ends_with(
      "burrowlink: hurt.txt: the receiver reported damaged data\n"))
      << sent.err;
  EXPECT_EQ("hurt.txt was damaged on the way and was discarded\n", got.out);
  EXPECT_NE(std::string::npos,
            got.err.find("transfer failed: never.txt: unexpected end of file"))
      << got.err;
  EXPECT_TRUE(std::filesystem::is_empty(inbox));
}

// A transfer of a big file that breaks off: the sender killed, the link
// dropped, or the receiver interrupted. The same send again moves only the
// rest, and the file arrives whole, dated as its source.
TEST_P(InteropTest, ABrokenTransferGoesOnWhereItStopped) {
  constexpr std::size_t SIZE = 64 << 20;
  std::string big(SIZE, '\0');
  for (std::size_t i = 0; i < SIZE; i += 4096) {
    big[i] = static_cast<char>(i / 4096);
  }
  const std::string path = source("big.bin", big);
  enum class Break { sender_killed, link_dropped, receiver_interrupted };
  for (Break how : {Break::sender_killed, Break::link_dropped,
                    Break::receiver_interrupted}) {
    SCOPED_TRACE(static_cast<int>(how));
    std::filesystem::remove_all(inbox);
    std::filesystem::create_directories(inbox);
    port = free_tcp_port();
    auto recv = receiver("Inbox", false);
    {
      // Slow enough to break in the middle.
      Relay relay(port, how == Break::link_dropped
                            ? std::vector<std::string>{"--drop-after",
                                                       std::to_string(SIZE / 2)}
                            : std::vector<std::string>{"--rate-mbit", "200"});
      ToolProcess send(
          options(sending, "home-s", {"send", path, "--to", to(relay.port())}));
      if (how != Break::link_dropped) {
        for (int i = 0; i < 1000 && held_in_store() < SIZE / 4; ++i) {
          std::this_thread::sleep_for(10ms);
          recv->drain();
        }
        if (how == Break::sender_killed) {
          send.kill(SIGKILL);
        } else {
          recv->kill(SIGINT);
          recv->finish(10s);
        }
      }
      send.finish(30s);
    }
    EXPECT_FALSE(std::filesystem::exists(inbox + "/big.bin"));
    const std::uint64_t held = held_in_store();
    EXPECT_GT(held, SIZE / 8);
    if (how == Break::receiver_interrupted) {
      recv = receiver("Inbox", false);
    }
    Relay counting(port, {});
    ToolResult again = sender_to(*recv, {path, "--to", to(counting.port())});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_NE(std::string::npos, again.err.find("Resuming big.bin at "))
        << again.err;
    const std::uint64_t carried = counting.carried();
    EXPECT_LT(carried, SIZE - held + 64 * 1024);
    EXPECT_TRUE(recv->wait_for_out("Received ", 20s)) << recv->out();
    recv->kill(SIGTERM);
    recv->finish(10s);
    EXPECT_TRUE(big == read_whole(inbox + "/big.bin"));
    // Windows keeps times in steps of 100 ns.
    const auto dated =
        std::filesystem::last_write_time(inbox + "/big.bin") -
        std::filesystem::last_write_time(work.file("src/big.bin"));
    EXPECT_LT(std::chrono::abs(dated), std::chrono::nanoseconds(100));
    EXPECT_FALSE(std::filesystem::exists(inbox + "/.burrowlink-store"));
  }
}

// Inside the secure channel a folder streams, breaks and goes on, and
// nothing of it crosses the wire in clear.
TEST_P(InteropTest, ASecureFolderStreamsResumesAndShowsNothingInClear) {
  constexpr std::size_t SIZE = 16 << 20;
  const std::string tree = work.file("src/Secret plans");
  std::filesystem::create_directories(tree);
  write_whole(tree + "/recipe-name.txt", "content-marker");
  std::string big;
  while (big.size() < SIZE) big += "bytes-marker-" + std::to_string(big.size());
  write_whole(tree + "/big.bin", big);
  const std::vector<std::string> markers = {"Secret plans", "recipe-name",
                                            "content-marker", "bytes-marker",
                                            "note-marker"};
  auto recv = receiver("Inbox", false);
  const std::vector<std::string> folder_send = {
      "-r", sending.flavour().path(tree), "--secure", "--to"};
  {
    Relay dropping(port, {"--drop-after", std::to_string(SIZE / 2), "--record",
                          work.file("wire-1")});
    std::vector<std::string> args = folder_send;
    args.push_back(to(dropping.port()));
    ToolResult broken = sender_to(*recv, args);
    EXPECT_EQ(1, broken.status) << broken.err;
    // On pipes the channel adds no line.
    EXPECT_EQ(std::string::npos, broken.err.find("Secure connection"));
  }
  EXPECT_GT(held_in_store(), SIZE / 8);
  {
    Relay recording(port, {"--record", work.file("wire-2")});
    std::vector<std::string> args = folder_send;
    args.push_back(to(recording.port()));
    ToolResult again = sender_to(*recv, args);
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_NE(std::string::npos, again.err.find("Resuming big.bin at "))
        << again.err;
    ToolResult note = sender_to(*recv, {"--text", "note-marker", "--secure",
                                        "--to", to(recording.port())});
    EXPECT_EQ(0, note.status) << note.err;
  }
  EXPECT_TRUE(recv->wait_for_out("Note from", 20s)) << recv->out();
  recv->kill(SIGTERM);
  recv->finish(10s);
  EXPECT_EQ(std::string::npos, recv->out().find("Secure connection"));
  EXPECT_TRUE(big == read_whole(inbox + "/Secret plans/big.bin"));
  EXPECT_EQ("content-marker",
            read_whole(inbox + "/Secret plans/recipe-name.txt"));
  for (const char* recording : {"wire-1", "wire-2"}) {
    const std::string wire = read_whole(work.file(recording));
    EXPECT_GT(wire.size(), SIZE / 4) << recording;
    for (const std::string& marker : markers) {
      EXPECT_EQ(std::string::npos, wire.find(marker))
          << marker << " in " << recording;
    }
  }
}

// A pinned device that presents another key is refused by whichever side
// pinned it, and nothing arrives.
TEST_P(InteropTest, AChangedKeyIsRefusedOnBothSides) {
  auto recv = receiver("Inbox", false);
  ToolResult first = sender_to(
      *recv, {source("a.txt", "first"), "--secure", "--to", to(port)});
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_TRUE(recv->wait_for_out("Received ", 20s)) << recv->out();
  recv->kill(SIGTERM);
  recv->finish(10s);
  std::filesystem::remove(receiving.flavour().home_file(work.file("home-r"),
                                                        ".burrowlink-cli-key"));
  recv = receiver("Inbox", false);
  // Pinned at that address, it is reached securely without being asked.
  const std::string second = source("b.txt", "second");
  ToolResult refused = sender_to(*recv, {second, "--to", to(port)});
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos,
            refused.err.find("Inbox presented another key than the one "
                             "pinned at first contact (pinned "))
      << refused.err;
  EXPECT_NE(std::string::npos,
            refused.err.find(".burrowlink-cli-known-devices"))
      << refused.err;
  // The sender made anew: the receiver pinned its id with the old key.
  for (const char* file :
       {".burrowlink-cli-key", ".burrowlink-cli-known-devices"}) {
    std::filesystem::remove(
        sending.flavour().home_file(work.file("home-s"), file));
  }
  ToolResult unknown = sender_to(*recv, {second, "--secure", "--to", to(port)});
  EXPECT_EQ(1, unknown.status);
  EXPECT_TRUE(recv->wait_for_err(
      "presented another key than the one pinned at first contact", 10s))
      << recv->err();
  recv->kill(SIGTERM);
  recv->finish(10s);
  EXPECT_FALSE(std::filesystem::exists(inbox + "/b.txt"));
}

// A prefix is good only for the same source from the same sender.
TEST_P(InteropTest, AChangedSourceOrAnotherSenderStartsAfresh) {
  constexpr std::size_t SIZE = 8 << 20;
  const std::string path = source("doc.bin", std::string(SIZE, 'o'));
  const auto time = std::filesystem::last_write_time(work.file("src/doc.bin"));
  auto recv = receiver("Inbox", false);
  auto broken = [&] {
    Relay relay(port, {"--drop-after", std::to_string(SIZE / 2)});
    ToolResult cut = sender_to(*recv, {path, "--to", to(relay.port())});
    EXPECT_EQ(1, cut.status) << cut.err;
    EXPECT_TRUE(recv->wait_for_err("transfer failed: ", 10s)) << recv->err();
    return held_in_store();
  };
  ASSERT_GT(broken(), 0u) << recv->err();
  // Other bytes of the same size and time.
  write_whole(work.file("src/doc.bin"), std::string(SIZE, 'n'));
  std::filesystem::last_write_time(work.file("src/doc.bin"), time);
  ToolResult changed = sender_to(*recv, {path, "--to", to(port)});
  EXPECT_EQ(0, changed.status) << changed.err;
  EXPECT_EQ(std::string::npos, changed.err.find("Resuming")) << changed.err;
  EXPECT_TRUE(recv->wait_for_out("Received ", 20s)) << recv->out();
  EXPECT_EQ(std::string(SIZE, 'n'), read_whole(inbox + "/doc.bin"));

  std::filesystem::remove(inbox + "/doc.bin");
  ASSERT_GT(broken(), 0u);
  ToolOptions stranger =
      options(sending, "home-r", {"send", path, "--to", to(port)});
  ToolResult other = run_tool(stranger);
  EXPECT_EQ(0, other.status) << other.err;
  EXPECT_EQ(std::string::npos, other.err.find("Resuming")) << other.err;
  EXPECT_TRUE(recv->wait_for_out("Received ", 20s)) << recv->out();
  recv->kill(SIGTERM);
  recv->finish(10s);
  EXPECT_EQ(std::string(SIZE, 'n'), read_whole(inbox + "/doc.bin"));
  // The first sender's prefix still waits for it.
  EXPECT_GT(held_in_store(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothWays, InteropTest, ::testing::Bool(), side_name);

}  // namespace
}  // namespace burrowlink::testing
