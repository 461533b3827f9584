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

}  // namespace
}  // namespace burrowlink::testing
