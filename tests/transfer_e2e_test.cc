// Two copies of the tool, or the tool and a scripted peer, exchanging files
// and notes over loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include "harness.h"
#include "platform/network.h"
#include "platform/sha256.h"
#include "protocol/offer.h"
#include "test_util.h"
#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::TcpStream;

TEST_F(TransferTest, FilesArriveByteIdenticalWithExactLines) {
  std::string big(5 * 1024 * 1024 + 3, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  write_whole(src("empty.bin"), "");
  write_whole(src("one.txt"), "1");
  write_whole(src("big.bin"), big);
  std::filesystem::create_directories(src("a"));
  std::filesystem::create_directories(src("b"));
  write_whole(src("a/dup.txt"), "first");
  write_whole(src("b/dup.txt"), "second");
  // A name the receiver cleans; Windows allows none such, so there a name
  // beyond ASCII goes through the system's UTF-16 calls instead.
  const std::string odd =
      tool().windows ? "r\xC3\xA9sum\xC3\xA9.txt" : "what?.txt";
  const std::string odd_pattern =
      tool().windows ? "r\xC3\xA9sum\xC3\xA9\\.txt" : "what\\?\\.txt";
  const std::string odd_stored =
      tool().windows ? "r\xC3\xA9sum\xC3\xA9.txt" : "what_.txt";
  write_whole(src(odd), "cleaned");

  auto recv = receiver({"--yes", "--once"});
  ToolResult sent =
      sender({tool_src("empty.bin"), tool_src("one.txt"), tool_src("big.bin"),
              tool_src("a/dup.txt"), tool_src("b/dup.txt"), tool_src(odd),
              "--to", to(), "--name", "Desk"});
  ToolResult got = recv->finish(10s);

  EXPECT_EQ(0, sent.status) << sent.err;
  EXPECT_EQ("", sent.out);
  std::regex sender_lines(
      "Waiting for 127\\.0\\.0\\.1:" + std::to_string(port) +
      " to accept\\.\\.\\.\n"
      "Sent empty\\.bin \\(0 B, 0 B/s, verified\\)\n"
      "Sent one\\.txt \\(1 B, [0-9.]+ [KMG]?B/s, verified\\)\n"
      "Sent big\\.bin \\(5\\.0 MB, [0-9.]+ [KMG]?B/s, verified\\)\n"
      "Sent dup\\.txt \\(5 B, [0-9.]+ [KMG]?B/s, verified\\)\n"
      "Sent dup\\.txt \\(6 B, [0-9.]+ [KMG]?B/s, verified\\)\n"
      "Sent " +
      odd_pattern + " \\(7 B, [0-9.]+ [KMG]?B/s, verified\\)\n");
  EXPECT_TRUE(std::regex_match(sent.err, sender_lines)) << sent.err;

  EXPECT_EQ(0, got.status);
  EXPECT_EQ("Received " + shown("empty.bin") +
                " from Desk (0 B, verified)\n"
                "Received " +
                shown("one.txt") +
                " from Desk (1 B, verified)\n"
                "Received " +
                shown("big.bin") +
                " from Desk (5.0 MB, verified)\n"
                "Received " +
                shown("dup.txt") +
                " from Desk (5 B, verified)\n"
                "Received " +
                shown("dup (1).txt") +
                " from Desk (6 B, verified)\n"
                "Received " +
                shown(odd_stored) + " from Desk (7 B, verified)\n",
            got.out);
  EXPECT_EQ("Ready to receive as \"Recv\" on port " + std::to_string(port) +
                ", saving to " + tool().path(inbox) + "\n",
            got.err);
  EXPECT_EQ("", read_whole(inbox + "/empty.bin"));
  EXPECT_EQ(big, read_whole(inbox + "/big.bin"));
  EXPECT_EQ("first", read_whole(inbox + "/dup.txt"));
  EXPECT_EQ("second", read_whole(inbox + "/dup (1).txt"));
  EXPECT_EQ("cleaned", read_whole(inbox + "/" + odd_stored));
}

TEST_F(TransferTest, AcceptedNoteIsShownAndSenderSaysSent) {
  auto recv = receiver({"--yes", "--once"});
  ToolResult sent =
      sender({"--text", "back at 6", "--to", to(), "--name", "Desk"});
  ToolResult got = recv->finish(5s);
  EXPECT_EQ(0, sent.status);
  EXPECT_EQ("Waiting for " + to() + " to accept...\nSent.\n", sent.err);
  EXPECT_EQ("Note from Desk: back at 6\n", got.out);
}

// Files named beside a note stay off its offer: peers ignore them, but
// they are bytes a note has no business sending.
TEST_F(TransferTest, ANoteListsNoFileWhateverElseIsNamed) {
  write_whole(src("a.txt"), "abc");
  auto listener =
      platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
  ASSERT_TRUE(listener.ok());
  std::optional<Offer> offered;
  std::thread peer([&] {
    Result<Offered> s = accept_offer(*listener, 30s);
    ASSERT_OK(s);
    Result<Offer> got = offer_from_json(s->body);
    ASSERT_OK(got);
    offered = *got;
    const std::uint8_t accept = 1;
    (void)s->stream.write_all({&accept, 1});
  });
  ToolResult sent = sender(
      {"--text", "hi", tool_src("a.txt"), "--to", to(), "--name", "Desk"});
  peer.join();
  EXPECT_EQ(0, sent.status) << sent.err;
  ASSERT_TRUE(offered.has_value());
  EXPECT_EQ(std::optional<std::string>("hi"), offered->text);
  EXPECT_TRUE(offered->files.empty());
}

TEST_F(TransferTest, QuestionAnsweredFromAPipe) {
  write_whole(src("a.txt"), "abc");
  auto recv = receiver({}, std::string());
  recv->send_input("n\n");
  ToolResult declined =
      sender({tool_src("a.txt"), "--to", to(), "--name", "Desk"});
  EXPECT_EQ(1, declined.status);
  EXPECT_EQ("Waiting for " + to() + " to accept...\nburrowlink: declined\n",
            declined.err);

  recv->send_input("  YES \r\n");
  ToolResult accepted =
      sender({tool_src("a.txt"), "--to", to(), "--name", "Desk"});
  EXPECT_EQ(0, accepted.status) << accepted.err;

  recv->close_input();  // the end of the input declines
  ToolResult at_end = sender({"--text", "x", "--to", to(), "--name", "Desk"});
  EXPECT_EQ("Waiting for " + to() + " to accept...\nburrowlink: declined\n",
            at_end.err);

  std::string question =
      "Desk wants to send you 1 file(s), 3 B. Accept? [y/N] ";
  EXPECT_TRUE(recv->wait_for_err(
      question + question + "Desk wants to send you a note: x. Accept? [y/N] ",
      2s))
      << recv->err();
  EXPECT_EQ("abc", read_whole(inbox + "/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(inbox + "/a (1).txt"));
}

TEST_F(TransferTest, DamagedFileIsDeletedAndTheNextOneAwaited) {
  auto recv = receiver({"--yes", "--once"});
  TcpStream s = peer();
  put(s,
      frame(
          R"({"from":"Peer","fromId":"p","files":[{"name":"ok.txt","size":2},)"
          R"({"name":"bad.txt","size":3},{"name":"third.txt","size":4}],"text":null})"));
  EXPECT_EQ(1, next_byte(s));
  put(s, "ok" + digest("ok"));
  EXPECT_EQ(1, next_byte(s));
  put(s, "bad" + digest("BAD"));
  EXPECT_EQ(0, next_byte(s));
  s.close();
  ToolResult got = recv->finish(5s);
  EXPECT_EQ("Received " + shown("ok.txt") +
                " from Peer (2 B, verified)\n"
                "bad.txt was damaged on the way and was discarded\n",
            got.out);
  EXPECT_NE(
      std::string::npos,
      got.err.find("transfer failed: third.txt: unexpected end of file\n"));
  EXPECT_EQ(std::vector<std::string>{"ok.txt"}, [&] {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(inbox))
      names.push_back(e.path().filename());
    return names;
  }());
}

TEST_F(TransferTest, BadConnectionsAreReportedAndServingGoesOn) {
  auto recv = receiver({"--yes"});
  {
    TcpStream s = peer();  // malformed offer
    put(s, frame(R"({"from":"X","from":"Y"})"));
    EXPECT_EQ(-1, next_byte(s));
  }
  {
    TcpStream s = peer();  // too large: refused before the body
    put(s, "\x00\x10\x00\x01"s);
    EXPECT_EQ(-1, next_byte(s));
  }
  {
    TcpStream s = peer();  // no files, no note: closed without an answer
    put(s, frame(R"({"from":"X"})"));
    EXPECT_EQ(-1, next_byte(s));
  }
  {
    std::string files;
    for (int i = 0; i < 1001; ++i)
      files += std::string(i ? "," : "") + R"(["f",1])";
    TcpStream s = peer();
    put(s, frame(R"({"from":"X","files":[)" + files + "]}"));
    EXPECT_EQ(-1, next_byte(s));
  }
  {
    TcpStream s = peer();  // sender gone halfway through a file
    put(s, frame(R"({"from":"X","files":[["half.bin",1000000]]})"));
    EXPECT_EQ(1, next_byte(s));
    put(s, std::string(400000, 'h'));
  }
  std::string expected_err =
      "transfer failed: duplicate field `from` at line 1 column 18\n"
      "transfer failed: message too large\n"
      "transfer failed: half.bin: unexpected end of file\n";
  EXPECT_TRUE(recv->wait_for_err(expected_err, 5s)) << recv->err();
  EXPECT_TRUE(std::filesystem::is_empty(inbox));

  // Still serving.
  write_whole(src("after.txt"), "after");
  ToolResult sent = sender({tool_src("after.txt"), "--to", to()});
  EXPECT_EQ(0, sent.status) << sent.err;
  EXPECT_EQ("after", read_whole(inbox + "/after.txt"));
}

TEST_F(TransferTest, KilledSenderLeavesNoPartialFile) {
  std::string big(200 * 1024 * 1024, 'k');
  write_whole(src("huge.bin"), big);
  big.clear();
  auto recv = receiver({"--yes"});
  ToolOptions options;
  options.args = {"send", tool_src("huge.bin"), "--to", to()};
  options.env = {{"HOME", work.file("home-s")}};
  ToolProcess send(options);
  // Wait until the file is being written, then kill the sender.
  ASSERT_TRUE(wait_for_store_data());
  send.kill(SIGKILL);
  EXPECT_TRUE(recv->wait_for_err("transfer failed: huge.bin: ", 5s))
      << recv->err();
  EXPECT_FALSE(std::filesystem::exists(inbox + "/huge.bin"));
  // What arrived waits in the store for the same send to go on.
  EXPECT_EQ(1u, store_data().size());
}

// A file that grows after it was offered, while the receiving user is
// asked, fails the send before its digest: the receiver keeps the files
// before it and nothing of it, with the peers' extensions or without.
TEST_F(TransferTest, AFileThatGrewAfterTheOfferIsNotKept) {
  for (const char* extensions : {"0", "1"}) {
    SCOPED_TRACE(std::string("BURROWLINK_NO_EXTENSIONS=") + extensions);
    env = {{"BURROWLINK_NO_EXTENSIONS", extensions}};
    std::filesystem::remove_all(inbox);
    write_whole(src("first.txt"), "first");
    // Big enough to be kept for a resume, had a link broken.
    const std::string lines(2 * 1024 * 1024, 'l');
    write_whole(src("grows.log"), lines);
    auto recv = receiver({"--once"}, std::string());
    ToolProcess send(sender_options(
        {tool_src("first.txt"), tool_src("grows.log"), "--to", to()}));
    ASSERT_TRUE(recv->wait_for_err("Accept? [y/N] ", 10s)) << recv->err();
    write_whole(src("grows.log"), lines + "more");
    recv->send_input("y\n");
    ToolResult sent = send.finish(20s);
    EXPECT_EQ(1, sent.status);
    EXPECT_NE(std::string::npos,
              sent.err.find("burrowlink: " + tool_src("grows.log") +
                            " changed while sending\n"))
        << sent.err;
    ToolResult received = recv->finish(10s);
    EXPECT_NE(std::string::npos,
              received.err.find("transfer failed: grows.log: "))
        << received.err;
    EXPECT_EQ("first", read_whole(inbox + "/first.txt"));
    EXPECT_FALSE(std::filesystem::exists(inbox + "/grows.log"));
    EXPECT_TRUE(store_data().empty()) << received.err;
  }
}

// Nor is it "already there" when the receiver holds it as it was offered.
TEST_F(TransferTest, AFileThatGrewAfterTheOfferIsNotProvedThere) {
  write_whole(src("grows.log"), "line 1\n");
  auto recv = receiver({}, std::string());
  recv->send_input("y\n");
  ToolResult first = sender({tool_src("grows.log"), "--to", to()});
  ASSERT_EQ(0, first.status) << first.err;
  ToolProcess send(sender_options({tool_src("grows.log"), "--to", to()}));
  ASSERT_TRUE(recv->wait_for_err("already here). Accept? [y/N] ", 10s))
      << recv->err();
  write_whole(src("grows.log"), "line 1\nline 2\n");
  recv->send_input("y\n");
  ToolResult sent = send.finish(20s);
  EXPECT_EQ(1, sent.status);
  EXPECT_NE(std::string::npos,
            sent.err.find("burrowlink: " + tool_src("grows.log") +
                          " changed while sending\n"))
      << sent.err;
  EXPECT_EQ("line 1\n", read_whole(inbox + "/grows.log"));
}

TEST_F(TransferTest, OnceEndsAfterAFailedTransfer) {
  auto recv = receiver({"--once"});
  {
    TcpStream s = peer();
    put(s, "\x00\x00"s);  // frame cut short
  }
  ToolResult got = recv->finish(5s);
  EXPECT_EQ(0, got.status);
  EXPECT_NE(std::string::npos,
            got.err.find("transfer failed: failed to fill whole buffer\n"));
}

TEST_F(TransferTest, SilentConnectionTimesOutAfterTenSeconds) {
  auto recv = receiver({"--once"});
  TcpStream s = peer();
  auto started = std::chrono::steady_clock::now();
  ToolResult got = recv->finish(15s);
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 9s);
  ASSERT_TRUE(got.err.ends_with("\n")) << got.err;
  std::string lines = got.err.substr(0, got.err.size() - 1);
  std::string last_line = lines.substr(lines.rfind('\n') + 1);
  EXPECT_TRUE(tool().is_os_error(last_line, "transfer failed: ", EAGAIN, 10060))
      << got.err;
}

TEST_F(TransferTest, TakenPortFallsBackToOneTheSystemChooses) {
  auto holder =
      platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
  ASSERT_TRUE(holder.ok());
  ToolOptions options;
  options.args = {
      "receive", "--dir", tool().path(inbox), "--port", std::to_string(port),
      "--name",  "R"};
  options.env = {{"HOME", work.file("home-r")}};
  ToolProcess recv(options);
  ASSERT_TRUE(recv.wait_for_err("\n", 5s));
  std::smatch m;
  std::string err = recv.err();
  ASSERT_TRUE(std::regex_match(
      err, m,
      std::regex("Ready to receive as \"R\" on port ([0-9]+), saving to .*\n")))
      << err;
  EXPECT_NE(std::to_string(port), m[1].str());
}

TEST_F(TransferTest, UnusableOptionsFallBackToTheirDefaults) {
  ToolOptions options;
  options.args = {"receive", "--port", "abc", "--name", "N", "--dir"};
  options.cwd = work.path();
  options.env = {{"HOME", work.file("home-r")}};
  ToolProcess recv(options);
  EXPECT_TRUE(recv.wait_for_err("\n", 5s));
  EXPECT_EQ("Ready to receive as \"N\" on port 45455, saving to .\n",
            recv.err());
}

TEST_F(TransferTest, FolderThatIsAFileEndsReceiveBeforeListening) {
  write_whole(inbox, "file");
  ToolOptions options;
  options.args = {"receive", "--dir", tool().path(inbox)};
  options.env = {{"HOME", work.path()}};
  ToolResult got = run_tool(options);
  EXPECT_EQ(1, got.status);
  ASSERT_TRUE(got.err.ends_with("\n"));
  EXPECT_TRUE(tool().is_os_error(got.err.substr(0, got.err.size() - 1),
                                 "burrowlink: " + tool().path(inbox) + ": ",
                                 EEXIST, 183))
      << got.err;
}

TEST_F(TransferTest, PeerTextIsEscapedOnATerminalOnly) {
  std::string note = "\x1b[2Jred\x07";
  {
    auto recv = receiver({"--yes", "--once"}, {}, true);
    TcpStream s = peer();
    put(s,
        frame("{\"from\":\"E\\u001bvil\",\"text\":\"\\u001b[2Jred\\u0007\"}"));
    EXPECT_EQ(1, next_byte(s));
    ToolResult got = recv->finish(5s);
    // Wine's console adds its own line ends and cursor codes around lines.
    EXPECT_NE(std::string::npos,
              got.out.find("Note from E\\x1bvil: \\x1b[2Jred\\x07"))
        << got.out;
    EXPECT_EQ(std::string::npos, got.out.find(note)) << got.out;
  }
  {
    auto recv = receiver({"--yes", "--once"});
    TcpStream s = peer();
    put(s,
        frame("{\"from\":\"E\\u001bvil\",\"text\":\"\\u001b[2Jred\\u0007\"}"));
    EXPECT_EQ(1, next_byte(s));
    ToolResult got = recv->finish(5s);
    EXPECT_EQ("Note from E\x1bvil: " + note + "\n", got.out);
  }
}

// What a terminal shows for `output`: carriage returns overwrite the line,
// trailing blanks are invisible.
std::string screen(const std::string& output) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (char c : output) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (column < line.size()) {
        line[column] = c;
      } else {
        line.push_back(c);
      }
      ++column;
    }
  }
  std::string shown;
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);
    shown += line + "\n";
  }
  return shown.substr(0, shown.size() - 1);
}

// Sends `size` bytes slowly, so that the receiver shows its status line.
void send_slowly(TcpStream& s, std::size_t size, const std::string& digest) {
  std::string chunk(size / 20, 'p');
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(
        s.write_all({reinterpret_cast<const std::uint8_t*>(chunk.data()),
                     chunk.size()})
            .ok());
    std::this_thread::sleep_for(60ms);
  }
  EXPECT_TRUE(s.write_all({reinterpret_cast<const std::uint8_t*>(digest.data()),
                           digest.size()})
                  .ok());
}

TEST_F(TransferTest, ReceiverShowsProgressOnATerminalOnly) {
  if (tool().windows) GTEST_SKIP() << "Wine's console redraws lines itself";
  const std::size_t size = 2000000;
  const std::string data(size / 20 * 20, 'p');
  for (bool terminal : {true, false}) {
    auto recv = receiver({"--yes", "--once"}, {}, terminal);
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","files":[{"name":"slow.bin","size":)" +
                 std::to_string(data.size()) + "}]}"));
    EXPECT_EQ(1, next_byte(s));
    send_slowly(s, size, digest(data));
    EXPECT_EQ(1, next_byte(s));
    s.close();
    ToolResult got = recv->finish(10s);
    std::string received =
        "Received " + shown("slow.bin") + " from Peer (1.9 MB, verified)\n";
    if (terminal) {
      EXPECT_NE(std::string::npos, got.out.find(" left")) << got.out;
      const std::string shown_screen = screen(got.out);
      EXPECT_TRUE(shown_screen.starts_with(
          "Ready to receive as \"Recv\" on port " + std::to_string(port) +
          ", saving to " + inbox + "\n"))
          << got.out;
      EXPECT_TRUE(shown_screen.ends_with("\n" + received)) << got.out;
    } else {
      EXPECT_EQ(received, got.out);
      EXPECT_EQ("Ready to receive as \"Recv\" on port " + std::to_string(port) +
                    ", saving to " + inbox + "\n",
                got.err);
    }
    std::filesystem::remove(inbox + "/slow.bin");
  }
}

// Accepts one offer on `listener` and reads its file of `size` bytes and
// the digest slowly, so that the sender shows its progress, then calls it
// kept. Ends early when the sender goes, or after `close_after` bytes.
// `flowing`, when given, is set once the file's first bytes are in.
void read_slowly(platform::TcpListener& listener, std::size_t size,
                 std::size_t close_after, std::promise<void>* flowing) {
  auto accepted = accept_offer(listener, 30s);
  ASSERT_TRUE(accepted.ok()) << accepted.error().message;
  TcpStream& s = accepted->stream;
  ASSERT_TRUE(s.set_read_timeout(30s).ok());
  const std::uint8_t yes = 1;
  ASSERT_TRUE(s.write_all({&yes, 1}).ok());
  std::vector<std::uint8_t> buffer(512 * 1024);
  for (std::size_t got = 0; got < size + 32 && got < close_after;) {
    auto n = s.read_some(
        std::span(buffer).first(std::min(buffer.size(), size + 32 - got)));
    if (!n.ok() || *n == 0) return;
    if (flowing != nullptr && got == 0) flowing->set_value();
    got += *n;
    std::this_thread::sleep_for(50ms);
  }
  if (close_after == SIZE_MAX) (void)s.write_all({&yes, 1});
}

TEST_F(TransferTest, SenderShowsProgressOnATerminal) {
  if (tool().windows) GTEST_SKIP() << "Wine's console redraws lines itself";
  // Larger than the socket buffers take, so that sending lasts.
  const std::string data(24000000, 's');
  write_whole(src("slow.bin"), data);
  auto listener =
      platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
  ASSERT_TRUE(listener.ok());
  std::thread slow_receiver(read_slowly, std::ref(*listener), data.size(),
                            SIZE_MAX, nullptr);
  ToolOptions options;
  options.args = {"send", tool_src("slow.bin"), "--to", to()};
  options.env = {{"HOME", work.file("home-s")}, {"USERPROFILE", std::nullopt}};
  options.terminal = true;
  ToolResult sent = run_tool(options);
  slow_receiver.join();
  EXPECT_EQ(0, sent.status) << sent.out;
  EXPECT_NE(std::string::npos, sent.out.find(" left")) << sent.out;
  std::smatch match;
  std::string final_screen = screen(sent.out);
  EXPECT_TRUE(std::regex_match(
      final_screen, match,
      std::regex(
          "Sending in clear: 127\\.0\\.0\\.1:[0-9]+ takes no secure "
          "connection\n"
          "Waiting for 127\\.0\\.0\\.1:[0-9]+ to accept\\.\\.\\.\n"
          "Sent slow\\.bin \\(22\\.9 MB, [0-9.]+ [KM]?B/s, verified\\)\n"
          "Sent 1 file, 22\\.9 MB in [0-9.]+ s \\([0-9.]+ [KM]?B/s\\)\n")))
      << final_screen;
}

// Ctrl+C ends the progress line, so that the shell's prompt does not start
// behind it (a Windows console puts it right there), and an error after the
// line starts on one of its own; pipes get what they always got.
TEST_F(TransferTest, AnInterruptionOrAFailureEndsTheProgressLine) {
  const std::size_t size = 24000000;
  write_whole(src("slow.bin"), std::string(size, 's'));
  for (auto [terminal, interrupted] :
       {std::pair{true, true}, {false, true}, {true, false}}) {
    port = free_tcp_port();
    auto listener =
        platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
    ASSERT_TRUE(listener.ok());
    std::promise<void> flowing;
    std::thread slow_receiver(read_slowly, std::ref(*listener), size,
                              interrupted ? SIZE_MAX : size / 2, &flowing);
    ToolProcess sending(
        sender_options({tool_src("slow.bin"), "--to", to()}, terminal));
    if (terminal) {
      EXPECT_TRUE(sending.wait_for_out(" left", 10s)) << sending.out();
    } else {
      // Wine takes a second or more to start a program: a fixed wait can
      // end before the sender has even connected.
      EXPECT_EQ(std::future_status::ready, flowing.get_future().wait_for(20s));
    }
    if (interrupted) sending.kill(SIGINT);
    ToolResult got = sending.finish(10s);
    slow_receiver.join();
    const int killed = tool().windows ? 0x3A : 128 + SIGINT;
    EXPECT_EQ(interrupted ? killed : 1, got.status) << got.out << got.err;
    const std::string after =
        interrupted ? "\n" : "burrowlink: connection lost: ";
    if (!terminal) {
      // Wine may add a dump of its own objects when a socket write is cut.
      const std::string waiting = "Waiting for " + to() + " to accept...\n";
      EXPECT_EQ(waiting,
                tool().windows ? got.err.substr(0, waiting.size()) : got.err);
    } else if (!tool().windows) {
      // The line last drawn, ended; or erased and written over.
      const std::size_t drawn = got.out.rfind('\r');
      EXPECT_EQ(interrupted ? got.out.size() - 1 : drawn + 1,
                got.out.find(after, drawn))
          << ::testing::PrintToString(got.out);
    } else {
      // Wine's console draws lines its own way.
      EXPECT_NE(std::string::npos, got.out.find(after, got.out.rfind(" left")))
          << got.out;
    }
  }
}

// Sent with -r, each file is shown with its folders at a terminal, which
// also gets a sum; a broken link is passed over with a line on pipes too,
// which keep the bare names.
TEST_F(TransferTest, AFolderAtATerminalAndOnPipes) {
  const std::string photos = src("Photos");
  std::filesystem::create_directories(photos + "/2024");
  write_whole(photos + "/2024/a.jpg", std::string(3000, 'a'));
  write_whole(photos + "/b.txt", "bb");
  // Wine shows a link to nothing in a way of its own.
  const bool link = !tool().windows;
  if (link) std::filesystem::create_symlink(src("nowhere"), photos + "/gone");
  const std::string rate = ", [0-9.]+ [KMG]?B/s";
  for (bool terminal : {false, true}) {
    std::filesystem::remove_all(inbox);
    auto recv = receiver({"--yes", "--once"});
    ToolResult sent = run_tool(
        sender_options({"-r", tool().path(photos), "--to", to()}, terminal));
    recv->finish(10s);
    EXPECT_EQ(0, sent.status) << sent.err << sent.out;
    EXPECT_EQ("bb", read_whole(inbox + "/Photos/b.txt"));
    const std::string in = terminal ? "Photos/" : "";
    const std::string lines =
        (link ? photos + "/gone: a broken link, skipped\n" : "") +
        // Met on pipes first, it is known by now.
        (terminal ? "Secure connection to Recv \\(key [0-9a-f ]+\\)\n" : "") +
        "Waiting for 127\\.0\\.0\\.1:[0-9]+ to accept\\.\\.\\.\n"
        "Sent " +
        in + (terminal ? "2024/" : "") + "a\\.jpg \\(2\\.9 KB" + rate +
        ", verified\\)\n"
        "Sent " +
        in + "b\\.txt \\(2 B" + rate + ", verified\\)\n" +
        (terminal ? "Sent 2 files, 2\\.9 KB in [0-9.]+ s \\(" + rate.substr(2) +
                        "\\)\n"
                  : "");
    if (!terminal) {
      EXPECT_TRUE(std::regex_match(sent.err, std::regex(lines))) << sent.err;
    } else if (!tool().windows) {
      EXPECT_TRUE(std::regex_match(screen(sent.out), std::regex(lines)))
          << sent.out;
    } else {
      for (const std::string& line :
           {"Sent " + tool().join(tool().join("Photos", "2024"), "a.jpg"),
            std::string("Sent 2 files, 2.9 KB in ")}) {
        EXPECT_NE(std::string::npos, sent.out.find(line)) << sent.out;
      }
    }
  }
}

TEST_F(TransferTest, AnOfferTooLargeForTheDiskIsPointedOutOnATerminalOnly) {
  const std::string offer = frame(
      R"({"from":"Peer","files":[{"name":"huge.bin","size":1152921504606846976}]})");
  for (bool terminal : {true, false}) {
    auto recv = receiver({"--once"}, std::string("n\n"), terminal);
    TcpStream s = peer();
    put(s, offer);
    EXPECT_EQ(0, next_byte(s));
    ToolResult got = recv->finish(10s);
    std::string question =
        "Peer wants to send you 1 file(s), 1048576.0 TB. Accept? [y/N] ";
    std::string all = terminal ? got.out : got.err;
    std::size_t warning = all.find("This needs 1048576.0 TB but only ");
    if (terminal) {
      ASSERT_NE(std::string::npos, warning) << all;
      // Wine's console wraps and decorates lines; the order is what counts.
      std::size_t asked = all.find(question.substr(0, 20), warning);
      EXPECT_NE(std::string::npos, asked) << all;
      if (!tool().windows) {
        EXPECT_NE(std::string::npos,
                  all.find(" is free in " + tool().path(inbox) +
                           "\n  huge.bin (1048576.0 TB)\n  from 127.0.0.1\n" +
                           question))
            << all;
      }
    } else {
      EXPECT_EQ(std::string::npos, warning) << all;
      EXPECT_TRUE(all.ends_with("\n" + question)) << all;
    }
  }
}

TEST_F(TransferTest, SendFindsTheReceiverByItsName) {
  ASSERT_TRUE(add_test_interface("t0", "10.77.0.1/24", true));
  write_whole(src("a.txt"), "by name");
  auto recv = receiver({"--yes", "--once", "--name",
                        "\xC3\x89"
                        "cran du salon"});
  ToolResult sent = sender({tool_src("a.txt"), "--to",
                            "\xC3\xA9"
                            "CRAN"});
  EXPECT_EQ(0, sent.status) << sent.err;
  EXPECT_EQ(0u, sent.err.find("Looking for \"\xC3\xA9"
                              "CRAN\"...\nWaiting for 10.77.0.1:" +
                              std::to_string(port) + " to accept...\n"))
      << sent.err;
  recv->finish(5s);
  EXPECT_EQ("by name", read_whole(inbox + "/a.txt"));
}

TEST_F(TransferTest, UnreachableAddressFailsToConnect) {
  write_whole(src("a.txt"), "a");
  ToolResult sent = sender({tool_src("a.txt"), "--to", to()});
  EXPECT_EQ(1, sent.status);
  ASSERT_TRUE(sent.err.ends_with("\n"));
  EXPECT_TRUE(tool().is_os_error(sent.err.substr(0, sent.err.size() - 1),
                                 "burrowlink: cannot connect to " + to() + ": ",
                                 ECONNREFUSED, 10061))
      << sent.err;
}

}  // namespace
}  // namespace burrowlink::testing

namespace burrowlink::testing {
namespace {

// At a terminal each side names the device the channel authenticated and
// its key's fingerprint, and says so at the first contact; on pipes it
// adds nothing (the tests above).
TEST_F(TransferTest, AtATerminalBothSidesNameTheSecuredDevice) {
  if (tool().windows) GTEST_SKIP() << "Wine's console redraws lines itself";
  write_whole(src("a.txt"), "a");
  auto recv = receiver({"--yes"}, {}, true);
  const std::string key = " \\(key [0-9a-f]{4}( [0-9a-f]{4}){4}\\)";
  for (const char* first_contact : {", a new device", ""}) {
    ToolResult sent = run_tool(sender_options(
        {tool_src("a.txt"), "--secure", "--to", to(), "--name", "Desk"}, true));
    EXPECT_EQ(0, sent.status) << sent.out;
    EXPECT_TRUE(std::regex_search(
        sent.out, std::regex("Secure connection to Recv" +
                             std::string(first_contact) + key + "\r?\n")))
        << sent.out;
  }
  recv->kill(SIGTERM);
  const std::string out = recv->finish(10s).out;
  for (const char* first_contact : {", a new device", ""}) {
    EXPECT_TRUE(std::regex_search(
        out, std::regex("Secure connection from Desk" +
                        std::string(first_contact) + key + "\r?\n")))
        << out;
  }
}

}  // namespace
}  // namespace burrowlink::testing
