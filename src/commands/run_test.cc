#include "commands/run.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "test_util.h"

namespace burrowlink::commands {
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
  for (auto [args, help] : std::initializer_list<std::pair<Args, bool>>{
           {{"receive", "--yes", "--help", "--port", "1"}, true},
           {{"send", "a.txt", "--to", "pc", "-h"}, true},
           // A later copy of an option is none: what follows stands alone.
           {{"send", "--to", "pc", "--to", "--help"}, true},
           {{"list", "--seconds", "--help"}, false},
           {{"send", "--name", "--help", "--to", "pc", "a"}, false},
           // Each option takes the argument after it once the ones taken
           // before it are gone: --to takes "--help", --name nothing; --yes
           // is gone before --name looks.
           {{"send", "--name", "--to", "--help"}, false},
           {{"receive", "--name", "--yes", "--help"}, false},
           {{"send", "help", "--to", "pc"}, false},
           {{"recieve", "--help"}, false},
       }) {
    EXPECT_EQ(help, asks_for_command_help(args)) << args[1] << args.back();
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
}  // namespace burrowlink::commands
