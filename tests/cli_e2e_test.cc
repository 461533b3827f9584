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

ToolResult run(std::vector<std::string> args) {
  ScopedTempDir home;
  ToolOptions options;
  options.args = std::move(args);
  options.env = {{"HOME", home.path()}, {"USERPROFILE", std::nullopt}};
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

// Nothing announced, listened for, looked up or made: the process ends by
// itself with the usage text, leaves both ports free and no identity file.
TEST(CommandLine, HelpAfterACommandWordRunsNothing) {
  struct Case {
    std::vector<std::string> args;
    bool terminal;
  };
  for (const Case& c : std::initializer_list<Case>{
           {{"receive", "--help"}, false},
           {{"receive", "--help"}, true},
           {{"receive", "--yes", "-h", "--port", "45455"}, false},
           {{"list", "--help"}, false},
           {{"list", "--seconds", "1", "-h"}, true},
           {{"send", "--help", "--to", "X"}, false},
           {{"send", "--help", "--to", "X"}, true},
           {{"send", "photo.jpg", "-r", "--to", "127.0.0.1", "-h"}, false},
       }) {
    ScopedTempDir home;
    ToolOptions options;
    options.args = c.args;
    options.env = {{"HOME", home.path()}, {"USERPROFILE", std::nullopt}};
    options.terminal = c.terminal;
    options.timeout = std::chrono::seconds(20);
    ToolResult r = run_tool(options);
    const std::string shown = c.args.front() + " " + c.args[1] + " ...";
    EXPECT_FALSE(r.timed_out) << shown;
    EXPECT_EQ(0, r.status) << shown;
    if (!c.terminal) {
      EXPECT_EQ(USAGE + "\n", r.out) << shown;
      EXPECT_EQ("", r.err) << shown;
    } else if (!tool().windows) {
      EXPECT_EQ(USAGE + "\n", r.out) << shown;
    } else {
      // Wine's console decorates what it shows; no other line comes.
      EXPECT_NE(std::string::npos, r.out.find("BurrowLink on the command line"))
          << r.out;
      for (const char* line : {"Ready", "Looking", "Waiting", "burrowlink:"}) {
        EXPECT_EQ(std::string::npos, r.out.find(line)) << r.out;
      }
    }
    EXPECT_FALSE(std::filesystem::exists(tool().identity_file(home.path())))
        << shown;
    EXPECT_TRUE(platform::TcpListener::listen_v4(TRANSFER_PORT, 1).ok())
        << shown;
    EXPECT_TRUE(platform::UdpSocket::bind_v4({0, 0, 0, 0}, DISCOVERY_PORT).ok())
        << shown;
  }
}

TEST(CommandLine, AHelpWordAsAnOptionsValueIsThatValue) {
  ScopedTempDir dir;
  ToolResult send = run({"send", tool().path(dir.file("gone")), "--to", "-h"});
  EXPECT_EQ(1, send.status);
  EXPECT_EQ("", send.out);
  EXPECT_TRUE(tool().is_os_error(
      send.err.substr(0, send.err.size() - 1),
      "burrowlink: " + tool().path(dir.file("gone")) + ": ", ENOENT, 2))
      << send.err;

  ToolOptions options;
  options.args = {"receive", "--name",
                  "--help",  "--once",
                  "--dir",   tool().path(dir.file("in")),
                  "--port",  std::to_string(free_tcp_port())};
  options.env = {{"HOME", dir.path()}, {"USERPROFILE", std::nullopt}};
  ToolProcess receiver(options);
  EXPECT_TRUE(receiver.wait_for_err("Ready to receive as \"--help\"",
                                    std::chrono::seconds(10)))
      << receiver.err();
  EXPECT_EQ("", receiver.out());
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

// A hint for a person at a terminal, below the error; pipes get the error as
// it always was.
TEST(CommandLine, ATerminalGetsAHintBelowSomeErrors) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.file("Photos"));
  const std::string photos = tool().path(dir.file("Photos"));
  const std::string unknown = "\"\n\n" + USAGE + "\n";
  struct Case {
    std::vector<std::string> args;
    std::string error;  // as a pipe gets it
    std::string hint;   // the line a terminal adds, if any
  };
  for (const Case& c : std::initializer_list<Case>{
           {{"recieve"},
            "unknown command \"recieve" + unknown,
            "Did you mean receive?\n"},
           {{"sned", "a.txt", "--to", "pc"},
            "unknown command \"sned" + unknown,
            "Did you mean send?\n"},
           {{"List"},
            "unknown command \"List" + unknown,
            "Did you mean list?\n"},
           {{"recv"}, "unknown command \"recv" + unknown, ""},
           {{"send", photos, "--to", "pc"},
            photos + " is not a file (send folders as separate files)\n",
            "Add -r to send a folder and everything in it\n"},
       }) {
    for (bool terminal : {false, true}) {
      ScopedTempDir home;
      ToolOptions options;
      options.args = c.args;
      options.env = {{"HOME", home.path()}, {"USERPROFILE", std::nullopt}};
      options.terminal = terminal;
      ToolResult r = run_tool(options);
      EXPECT_EQ(1, r.status) << c.args.front();
      if (!terminal) {
        EXPECT_EQ("", r.out);
        EXPECT_EQ("burrowlink: " + c.error, r.err);
      } else if (!tool().windows) {
        EXPECT_EQ("burrowlink: " + c.error + c.hint, r.out);
      } else if (!c.hint.empty()) {
        // Wine's console decorates lines; the hint comes last.
        const std::string hint = c.hint.substr(0, c.hint.size() - 1);
        EXPECT_NE(std::string::npos, r.out.find(hint)) << r.out;
        EXPECT_GT(r.out.find(hint), r.out.find("burrowlink: ")) << r.out;
      } else {
        EXPECT_EQ(std::string::npos, r.out.find("Did you mean")) << r.out;
      }
    }
  }
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
