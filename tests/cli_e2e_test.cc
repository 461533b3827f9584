// The command line as a user meets it: streams, texts and exit statuses.
#include <gtest/gtest.h>

#include "harness.h"
#include "cli/cli_error.h"
#include "test_util.h"

namespace burrowlink::testing {
namespace {

ToolResult tool(std::vector<std::string> args) {
  ScopedTempDir home;
  ToolOptions options;
  options.args = std::move(args);
  options.env = {{"HOME", home.path()}, {"USERPROFILE", std::nullopt}};
  return run_tool(options);
}

const std::string USAGE(USAGE_TEXT);

TEST(CommandLine, NoArgumentsPrintsUsageAsError) {
  ToolResult r = tool({});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("burrowlink: " + USAGE + "\n", r.err);
}

TEST(CommandLine, HelpWordsPrintUsageOnStandardOutput) {
  for (const char* word : {"help", "--help", "-h"}) {
    ToolResult r = tool({word, "ignored", "--seconds"});
    EXPECT_EQ(0, r.status) << word;
    EXPECT_EQ(USAGE + "\n", r.out);
    EXPECT_EQ("", r.err);
  }
}

TEST(CommandLine, UnknownCommandShowsWordAndUsage) {
  ToolResult r = tool({"List"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("burrowlink: unknown command \"List\"\n\n" + USAGE + "\n", r.err);
}

TEST(CommandLine, ArgumentThatIsNotTextIsRefused) {
  ToolResult r = tool({"list", "--seconds", "\xC3"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("burrowlink: argument 3 is not valid text: \"\xEF\xBF\xBD\"\n",
            r.err);
}

TEST(CommandLine, SendChecksArgumentsBeforeAnyNetworkActivity) {
  ScopedTempDir dir;
  write_whole(dir.file("a.txt"), "a");
  ToolResult no_to = tool({"send", dir.file("a.txt"), "--to"});
  EXPECT_EQ(1, no_to.status);
  EXPECT_EQ("burrowlink: say where to send with --to <device name | ip[:port]>\n",
            no_to.err);

  ToolResult nothing = tool({"send", "--to", "pc"});
  EXPECT_EQ("burrowlink: nothing to send: give files, or --text \"...\"\n",
            nothing.err);

  ToolResult folder = tool({"send", dir.path(), "--to", "pc"});
  EXPECT_EQ("burrowlink: " + dir.path() +
                " is not a file (send folders as separate files)\n",
            folder.err);

  // A stray word is a path, so the name lookup never starts.
  ToolResult stray = tool({"send", dir.file("a.txt"), "--verbose", "--to", "pc"});
  EXPECT_EQ(1, stray.status);
  EXPECT_EQ("burrowlink: --verbose: No such file or directory (os error 2)\n",
            stray.err);

  // With a note the files are still checked.
  ToolResult note = tool({"send", "--text", "hi", dir.file("gone"), "--to",
                          "10.0.0.5"});
  EXPECT_EQ("burrowlink: " + dir.file("gone") +
                ": No such file or directory (os error 2)\n",
            note.err);
}

}  // namespace
}  // namespace burrowlink::testing
