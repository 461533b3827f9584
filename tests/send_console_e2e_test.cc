// What `send` tells its user: what it passed over in a folder, and, at a
// terminal, where each file of a folder came from and what a send came to.
// Pipes get the lines they always got.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

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

}  // namespace
}  // namespace burrowlink::testing
