#include "commands/run.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "test_util.h"

namespace burrowlink {
namespace {

TEST(Run, NoArgumentsIsTheUsageText) {
  CommandResult result = run({});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(USAGE_TEXT, result.error().message);
  EXPECT_EQ(373u, USAGE_TEXT.size());
}

TEST(Run, UnknownCommandsAreCaseSensitive) {
  for (const char* word :
       {"List", "HELP", "-help", "--h", "", "-v", "--Version", "version"}) {
    CommandResult result = run({word, "x"});
    ASSERT_FALSE(result.ok()) << word;
    EXPECT_EQ("unknown command \"" + std::string(word) + "\"\n\n" +
                  std::string(USAGE_TEXT),
              result.error().message);
  }
}

TEST(Run, RefusesArgumentsThatAreNotText) {
  CommandResult result = run({"send",
                              "a\xff"
                              "b",
                              "--to", "pc"});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(
      "argument 2 is not valid text: \"a\xEF\xBF\xBD"
      "b\"",
      result.error().message);
}

TEST(Run, HelpIgnoresWhateverFollowsIt) {
  for (const char* word : {"help", "--help", "-h", "--version", "-V"}) {
    EXPECT_TRUE(run({word, "\xff"}).ok()) << word;
  }
}

TEST(Run, HelpAfterACommandWordUnlessItIsAnOptionsValue) {
  struct Case {
    Args args;
    bool help;
  };
  for (const Case& c : std::initializer_list<Case>{
           {{"receive", "--help"}, true},
           {{"list", "-h"}, true},
           {{"send", "--help", "--to", "X"}, true},
           {{"send", "a.txt", "--to", "pc", "-r", "-h"}, true},
           {{"receive", "--dir", "in", "--yes", "--help", "--port", "1"}, true},
           // A later copy of an option is no option: the word after it
           // stands on its own.
           {{"send", "--to", "pc", "--to", "--help"}, true},
           {{"list", "--seconds", "--help"}, false},
           {{"send", "a.txt", "--to", "-h"}, false},
           {{"send", "--name", "--help", "--to", "pc", "a"}, false},
           {{"send", "--text", "-h", "--to", "pc"}, false},
           {{"receive", "--dir", "-h"}, false},
           // Each option takes the argument after it once the ones taken
           // before are gone: --to takes "--help" here, --name nothing.
           {{"send", "--name", "--to", "--help"}, false},
           // ... --yes goes before --name looks, and --name before --port.
           {{"receive", "--name", "--yes", "--help"}, false},
           {{"receive", "--port", "--name", "-h"}, false},
           // Only the spellings of an option count, not the word "help".
           {{"send", "help", "--to", "pc"}, false},
           {{"list", "--HELP", "-help", "--h"}, false},
           {{"recieve", "--help"}, false},
           {{"--to", "-h"}, false},
       }) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    EXPECT_EQ(c.help, asks_for_command_help(c.args)) << shown;
  }
}

TEST(SendOptions, ToIsCheckedFirstThenSomethingToSend) {
  CommandResult no_to = run({"send", "a.txt", "--to"});
  ASSERT_FALSE(no_to.ok());
  EXPECT_EQ("say where to send with --to <device name | ip[:port]>",
            no_to.error().message);

  CommandResult nothing = run({"send", "--to", "10.0.0.5"});
  ASSERT_FALSE(nothing.ok());
  EXPECT_EQ("nothing to send: give files, or --text \"...\"",
            nothing.error().message);
}

TEST(SendOptions, LeftoverOptionsAreFilePaths) {
  CommandResult result =
      run({"send", "--text", "a", "--text", "b", "--to", "10.0.0.5"});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ("--text: " + testing::os_error_text(ENOENT, 2),
            result.error().message);
}

}  // namespace
}  // namespace burrowlink
