// What `send` tells its user: what it passed over in a folder, and, at a
// terminal, where each file of a folder came from and what a send came to.
// Pipes get the lines they always got.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

class SendConsoleTest : public TransferTest {
 protected:
  ToolResult send_at(bool terminal, std::vector<std::string> args) {
    ToolOptions options;
    options.args = {"send"};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.env = {{"HOME", work.file("home-s")},
                   {"USERPROFILE", std::nullopt}};
    options.terminal = terminal;
    return run_tool(options);
  }
};

TEST_F(SendConsoleTest, ABrokenLinkInAFolderIsSkippedAndTheRestSent) {
  if (tool().windows) GTEST_SKIP() << "Wine shows links as what they name";
  const std::string docs = src("Docs");
  std::filesystem::create_directories(docs + "/sub");
  write_whole(docs + "/a.txt", "a");
  write_whole(docs + "/sub/b.txt", "bb");
  std::filesystem::create_symlink(src("gone"), docs + "/broken-link");
  auto recv = receiver({"--yes", "--once"});
  ToolResult sent = send_at(false, {"-r", docs, "--to", to()});
  recv->finish(10s);
  EXPECT_EQ(0, sent.status) << sent.err;
  EXPECT_TRUE(std::regex_match(
      sent.err,
      std::regex(docs +
                 "/broken-link: a broken link, skipped\n"
                 "Waiting for 127\\.0\\.0\\.1:[0-9]+ to accept\\.\\.\\.\n"
                 "Sent a\\.txt \\(1 B, [0-9.]+ [KMG]?B/s, verified\\)\n"
                 "Sent b\\.txt \\(2 B, [0-9.]+ [KMG]?B/s, verified\\)\n")))
      << sent.err;
  EXPECT_EQ("a", read_whole(inbox + "/Docs/a.txt"));
  EXPECT_EQ("bb", read_whole(inbox + "/Docs/sub/b.txt"));

  // What cannot be read still fails before anything is looked up.
  std::filesystem::create_symlink("loop", docs + "/loop");
  ToolResult failed = send_at(false, {"-r", docs, "--to", "anna"});
  EXPECT_EQ(1, failed.status);
  EXPECT_EQ(docs +
                "/broken-link: a broken link, skipped\n"
                "burrowlink: " +
                docs +
                "/loop: Too many levels of symbolic links (os error 40)\n",
            failed.err);
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

TEST_F(SendConsoleTest, ATerminalSeesEachFilesFolderAndASummary) {
  const std::string photos = src("Photos");
  std::filesystem::create_directories(photos + "/2024");
  write_whole(photos + "/2024/a.jpg", std::string(3000, 'a'));
  write_whole(photos + "/b.txt", "bb");
  write_whole(src("c.txt"), "c");
  const std::string rate = "[0-9.]+ [KMG]?B/s";
  const std::string waiting =
      "Waiting for 127\\.0\\.0\\.1:[0-9]+ to accept\\.\\.\\.\n";
  struct Case {
    bool terminal;
    std::vector<std::string> args;
    std::string lines;  // after the waiting line, as a pattern
    std::string found;  // under Wine, whose console decorates lines
  };
  const std::string a_jpg = tool().join(tool().join("Photos", "2024"), "a.jpg");
  const std::string b_txt = tool().join("Photos", "b.txt");
  for (const Case& c : std::initializer_list<Case>{
           {false,
            {"-r", tool().path(photos), tool_src("c.txt")},
            "Sent a\\.jpg \\(2\\.9 KB, " + rate +
                ", verified\\)\n"
                "Sent b\\.txt \\(2 B, " +
                rate +
                ", verified\\)\n"
                "Sent c\\.txt \\(1 B, " +
                rate + ", verified\\)\n",
            ""},
           {true,
            {"-r", tool().path(photos), tool_src("c.txt")},
            "Sent Photos/2024/a\\.jpg \\(2\\.9 KB, " + rate +
                ", verified\\)\n"
                "Sent Photos/b\\.txt \\(2 B, " +
                rate +
                ", verified\\)\n"
                "Sent c\\.txt \\(1 B, " +
                rate +
                ", verified\\)\n"
                "Sent 3 files, 2\\.9 KB in [0-9.]+ s \\(" +
                rate + "\\)\n",
            "Sent " + a_jpg + " (2.9 KB, "},
           {true,
            {tool_src("c.txt")},
            "Sent c\\.txt \\(1 B, " + rate +
                ", verified\\)\n"
                "Sent 1 file, 1 B in [0-9.]+ s \\(" +
                rate + "\\)\n",
            "Sent 1 file, 1 B in "},
       }) {
    std::filesystem::remove_all(inbox);
    auto recv = receiver({"--yes", "--once"});
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--to", to()});
    ToolResult sent = send_at(c.terminal, args);
    recv->finish(10s);
    EXPECT_EQ(0, sent.status) << sent.err << sent.out;
    if (!c.terminal) {
      EXPECT_EQ("", sent.out);
      EXPECT_TRUE(std::regex_match(sent.err, std::regex(waiting + c.lines)))
          << sent.err;
    } else if (!tool().windows) {
      const std::string shown = screen(sent.out);
      EXPECT_TRUE(std::regex_match(shown, std::regex(waiting + c.lines)))
          << shown;
    } else {
      EXPECT_NE(std::string::npos, sent.out.find(c.found)) << sent.out;
      if (c.args.size() > 1) {
        EXPECT_NE(std::string::npos, sent.out.find("Sent " + b_txt + " (2 B"))
            << sent.out;
      }
    }
  }
}

// Ctrl+C in the middle of a file ends the progress line, on either side, so
// that the shell's prompt does not start behind it, as an error does; pipes
// see no more than before.
TEST_F(SendConsoleTest, AnInterruptionOrAFailureEndsTheProgressLine) {
  const std::string data(64 * 1024 * 1024, 's');
  write_whole(src("big.bin"), data);
  struct Case {
    bool sending;
    bool terminal;
    bool interrupted;  // else the other side goes away
  };
  for (const Case& c : std::initializer_list<Case>{
           {true, true, true},
           {true, false, true},
           {false, true, true},
           {false, false, true},
           {true, true, false},
           {false, true, false},
       }) {
    const std::string where = std::string(c.sending ? "send" : "receive") +
                              (c.terminal ? " at a terminal" : "") +
                              (c.interrupted ? ", interrupted" : ", left");
    port = free_tcp_port();
    std::unique_ptr<ToolProcess> tool_side;
    std::thread other_side;
    std::atomic<bool> done{false};
    if (c.sending) {
      // A receiver that accepts and then reads slowly.
      auto listener =
          platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
      ASSERT_TRUE(listener.ok());
      ToolOptions options;
      options.args = {"send", tool_src("big.bin"), "--to", to()};
      options.env = {{"HOME", work.file("home-s")},
                     {"USERPROFILE", std::nullopt}};
      options.terminal = c.terminal;
      tool_side = std::make_unique<ToolProcess>(options);
      auto accepted = listener->accept();
      ASSERT_TRUE(accepted.ok());
      other_side = std::thread([&, s = std::move(accepted).value()]() mutable {
        std::uint8_t prefix[4];
        if (!s.read_exact(prefix).ok()) return;
        std::string body(static_cast<std::size_t>(prefix[2]) << 8 | prefix[3],
                         '\0');
        if (!s.read_exact(
                  {reinterpret_cast<std::uint8_t*>(body.data()), body.size()})
                 .ok()) {
          return;
        }
        put(s, "\x01");
        std::vector<std::uint8_t> buffer(64 * 1024);
        while (!done) {
          auto n = s.read_some(buffer);
          if (!n.ok() || *n == 0) return;
          std::this_thread::sleep_for(20ms);
        }
      });
    } else {
      tool_side = receiver({"--yes", "--once"}, {}, c.terminal);
      other_side = std::thread([&] {
        TcpStream s = peer();
        put(s, frame(R"({"from":"Peer","files":[{"name":"big.bin","size":)" +
                     std::to_string(data.size()) + "}]}"));
        if (next_byte(s) != 1) return;
        const std::string chunk(64 * 1024, 'p');
        while (!done &&
               s.write_all({reinterpret_cast<const std::uint8_t*>(chunk.data()),
                            chunk.size()})
                   .ok()) {
          std::this_thread::sleep_for(20ms);
        }
      });
    }
    if (c.terminal) {
      EXPECT_TRUE(tool_side->wait_for_out(" left", 10s)) << tool_side->out();
    } else {
      std::this_thread::sleep_for(1500ms);
    }
    if (c.interrupted) {
      tool_side->kill(SIGINT);
    } else {
      done = true;
    }
    ToolResult got = tool_side->finish(10s);
    done = true;
    other_side.join();
    const int status = !c.interrupted   ? (c.sending ? 1 : 0)
                       : tool().windows ? 0x3A
                                        : 128 + SIGINT;
    EXPECT_EQ(status, got.status) << where;
    // What follows the progress line: nothing but its end, or the error.
    const std::string error = c.interrupted ? ""
                              : c.sending   ? "burrowlink: connection lost: "
                                            : "transfer failed: big.bin: ";
    if (!c.terminal) {
      EXPECT_EQ(c.sending ? "Waiting for " + to() + " to accept...\n"
                          : "Ready to receive as \"Recv\" on port " +
                                std::to_string(port) + ", saving to " +
                                tool().path(inbox) + "\n",
                got.err)
          << where;
    } else if (!tool().windows) {
      EXPECT_TRUE(got.out.ends_with("\n")) << where << "\n" << got.out;
      const std::size_t last = got.out.rfind('\r');
      ASSERT_NE(std::string::npos, last) << where << "\n" << got.out;
      if (c.interrupted) {
        // The last line drawn stays, ended.
        EXPECT_NE(std::string::npos, got.out.find(" left", last)) << got.out;
      } else {
        // Erased, and the error written where it began.
        EXPECT_EQ(last + 1, got.out.find(error, last)) << got.out;
      }
    } else {
      // Wine's console draws lines its own way; the line still ends.
      const std::size_t drawn = got.out.rfind(" left");
      EXPECT_NE(std::string::npos, got.out.find('\n', drawn)) << got.out;
      EXPECT_NE(std::string::npos, got.out.find(error, drawn)) << got.out;
    }
    std::filesystem::remove_all(inbox);
  }
}

}  // namespace
}  // namespace burrowlink::testing
