// The command line as a user meets it: streams, texts and exit statuses.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>

#include "cli/cli_error.h"
#include "cli/version.h"
#include "harness.h"
#include "platform/network.h"
#include "protocol/wire.h"
#include "test_util.h"

namespace burrowlink::testing {
namespace {

ToolResult run(std::vector<std::string> args, bool terminal = false,
               const std::string& home = ScopedTempDir().path()) {
  ToolOptions options;
  options.args = std::move(args);
  options.env = {{"HOME", home}, {"USERPROFILE", std::nullopt}};
  options.terminal = terminal;
  return run_tool(options);
}

const std::string USAGE(USAGE_TEXT);

TEST(CommandLine, NoArgumentsPrintsUsageAsError) {
  ToolResult r = run({});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("burrowlink: " + USAGE + "\n", r.err);
}

TEST(CommandLine, HelpWordsPrintUsageOnStandardOutput) {
  for (const char* word : {"help", "--help", "-h"}) {
    ToolResult r = run({word, "ignored", "--seconds"});
    EXPECT_EQ(0, r.status) << word;
    EXPECT_EQ(USAGE + "\n", r.out);
    EXPECT_EQ("", r.err);
  }
}

// Help after a command word runs nothing: the process ends by itself, with
// no identity made and both ports free behind it. A mistake gets one more
// line at a terminal; pipes get the same bytes as ever.
TEST(CommandLine, HelpAndHintsAtATerminalAndOnPipes) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.file("Photos"));
  const std::string photos = tool().path(dir.file("Photos"));
  const std::string help = USAGE + "\n", unknown = "\"\n\n" + USAGE + "\n";
  struct Case {
    std::vector<std::string> args;
    std::string out, err;  // on pipes
    std::string hint;      // what a terminal gets after `err`
  };
  for (const Case& c : std::initializer_list<Case>{
           {{"receive", "--help"}, help, "", ""},
           {{"receive", "--yes", "-h", "--port", "45455"}, help, "", ""},
           {{"list", "--seconds", "1", "--help"}, help, "", ""},
           {{"send", "--help", "--to", "X"}, help, "", ""},
           {{"recieve"},
            "",
            "burrowlink: unknown command \"recieve" + unknown,
            "Did you mean receive?\n"},
           {{"recv"}, "", "burrowlink: unknown command \"recv" + unknown, ""},
           {{"send", photos, "--to", "pc"},
            "",
            "burrowlink: " + photos +
                " is not a file (send folders as separate files)\n",
            "Add -r to send a folder and everything in it\n"},
       }) {
    for (bool terminal : {false, true}) {
      ScopedTempDir home;
      ToolResult r = run(c.args, terminal, home.path());
      EXPECT_EQ(c.out.empty() ? 1 : 0, r.status) << c.args[0] << terminal;
      if (!terminal) {
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
      } else if (!tool().windows) {
        EXPECT_EQ(c.out + c.err + c.hint, r.out);
      } else {
        // Wine's console wraps and decorates lines.
        const std::string line = c.hint.empty() ? c.out + c.err : c.hint;
        EXPECT_NE(std::string::npos,
                  r.out.find(line.substr(0, line.find('\n'))))
            << r.out;
      }
      if (c.hint.empty()) {
        EXPECT_EQ(std::string::npos, r.out.find("Did you mean")) << r.out;
      }
      EXPECT_FALSE(std::filesystem::exists(tool().identity_file(home.path())));
      EXPECT_TRUE(platform::TcpListener::listen_v4(TRANSFER_PORT, 1).ok());
      EXPECT_TRUE(platform::UdpSocket::bind_v4({}, DISCOVERY_PORT).ok());
    }
  }
  // As an option's value, a help word is that value.
  ToolResult r = run({"send", tool().path(dir.file("gone")), "--to", "-h"});
  EXPECT_TRUE(tool().is_os_error(
      r.err.substr(0, r.err.size() - 1),
      "burrowlink: " + tool().path(dir.file("gone")) + ": ", ENOENT, 2))
      << r.err;
}

TEST(CommandLine, VersionWordsPrintTheVersionOnStandardOutput) {
  EXPECT_TRUE(std::regex_match(std::string(VERSION),
                               std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")))
      << VERSION;
  for (const char* word : {"--version", "-V"}) {
    ToolResult r = run({word, "ignored", "--seconds"});
    EXPECT_EQ(0, r.status) << word;
    EXPECT_EQ("burrowlink " + std::string(VERSION) + "\n", r.out);
    EXPECT_EQ("", r.err);
  }
}

TEST(CommandLine, UnknownCommandShowsWordAndUsage) {
  ToolResult r = run({"List"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("burrowlink: unknown command \"List\"\n\n" + USAGE + "\n", r.err);
}

TEST(CommandLine, ArgumentThatIsNotTextIsRefused) {
  // Wine turns bytes that are not UTF-8 into text before the program sees
  // them; the Windows build's refusal of a lone surrogate is tested alone.
  if (tool().windows) GTEST_SKIP() << "arguments reach Windows as text";
  ToolResult r = run({"list", "--seconds", "\xC3"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("burrowlink: argument 3 is not valid text: \"\xEF\xBF\xBD\"\n",
            r.err);
}

TEST(CommandLine, SendChecksArgumentsBeforeAnyNetworkActivity) {
  ScopedTempDir dir;
  write_whole(dir.file("a.txt"), "a");
  ToolResult no_to = run({"send", tool().path(dir.file("a.txt")), "--to"});
  EXPECT_EQ(1, no_to.status);
  EXPECT_EQ(
      "burrowlink: say where to send with --to <device name | ip[:port]>\n",
      no_to.err);

  ToolResult nothing = run({"send", "--to", "pc"});
  EXPECT_EQ("burrowlink: nothing to send: give files, or --text \"...\"\n",
            nothing.err);

  ToolResult folder = run({"send", tool().path(dir.path()), "--to", "pc"});
  EXPECT_EQ("burrowlink: " + tool().path(dir.path()) +
                " is not a file (send folders as separate files)\n",
            folder.err);

  // A stray word is a path, so the name lookup never starts.
  ToolResult stray =
      run({"send", tool().path(dir.file("a.txt")), "--verbose", "--to", "pc"});
  EXPECT_EQ(1, stray.status);
  EXPECT_TRUE(tool().is_os_error(stray.err.substr(0, stray.err.size() - 1),
                                 "burrowlink: --verbose: ", ENOENT, 2))
      << stray.err;

  // The shared protocol has no folders: refused, before any name lookup,
  // rather than flattened.
  ToolOptions plain;
  plain.args = {"send", "-r", tool().path(dir.path()), "--to", "pc"};
  plain.env = {{"HOME", dir.path()},
               {"USERPROFILE", std::nullopt},
               {"BURROWLINK_NO_EXTENSIONS", "1"}};
  ToolResult folders = run_tool(plain);
  EXPECT_EQ(1, folders.status);
  EXPECT_EQ(
      "burrowlink: " + std::string(NO_FOLDERS_WITHOUT_EXTENSIONS_TEXT) + "\n",
      folders.err);

  // With a note the files are still checked.
  ToolResult note = run({"send", "--text", "hi", tool().path(dir.file("gone")),
                         "--to", "10.0.0.5"});
  EXPECT_TRUE(tool().is_os_error(
      note.err.substr(0, note.err.size() - 1),
      "burrowlink: " + tool().path(dir.file("gone")) + ": ", ENOENT, 2))
      << note.err;
}

}  // namespace
}  // namespace burrowlink::testing
