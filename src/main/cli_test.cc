#include "main/cli.h"

#include <gtest/gtest.h>

namespace burrowlink {
namespace {

TEST(TakeOption, RemovesFirstOccurrenceAndItsValue) {
  Args args{"a", "--to", "pc", "b", "--to", "other"};
  EXPECT_EQ("pc", take_option(args, "--to"));
  EXPECT_EQ((Args{"a", "b", "--to", "other"}), args);
}

TEST(TakeOption, LastArgumentStaysAsOrdinaryArgument) {
  Args args{"a.txt", "--to"};
  EXPECT_EQ(std::nullopt, take_option(args, "--to"));
  EXPECT_EQ((Args{"a.txt", "--to"}), args);
}

TEST(TakeOption, ValueIsTakenWhateverItLooksLike) {
  Args args{"--to", "--name", "x.txt"};
  EXPECT_EQ("--name", take_option(args, "--to"));
  EXPECT_EQ(std::nullopt, take_option(args, "--name"));
  EXPECT_EQ((Args{"x.txt"}), args);

  Args empty_value{"--text", ""};
  EXPECT_EQ("", take_option(empty_value, "--text"));
  EXPECT_TRUE(empty_value.empty());
}

TEST(TakeOption, NoEqualsFormAndExactMatchOnly) {
  Args args{"--to=pc", "--TO", "x"};
  EXPECT_EQ(std::nullopt, take_option(args, "--to"));
  EXPECT_EQ(3u, args.size());
}

TEST(TakeFlag, RemovesOneCopy) {
  Args args{"--yes", "x", "--yes"};
  EXPECT_TRUE(take_flag(args, "--yes"));
  EXPECT_EQ((Args{"x", "--yes"}), args);
  EXPECT_FALSE(take_flag(args, "--once"));
}

TEST(ParseNumberOption, AcceptsPlusDigitsAndLeadingZeros) {
  EXPECT_EQ(7u, parse_number_option("+7", UINT64_MAX));
  EXPECT_EQ(7u, parse_number_option("007", 65535));
  EXPECT_EQ(0u, parse_number_option("0", 65535));
  EXPECT_EQ(65535u, parse_number_option("65535", 65535));
  EXPECT_EQ(UINT64_MAX,
            parse_number_option("18446744073709551615", UINT64_MAX));
}

TEST(ParseNumberOption, RejectsEverythingElse) {
  for (const char* text : {"", "+", "abc", "-3", "1.5", " 5", "5 ", "++5",
                           "0x10", "1e3"}) {
    EXPECT_EQ(std::nullopt, parse_number_option(text, UINT64_MAX)) << text;
  }
  EXPECT_EQ(std::nullopt, parse_number_option("65536", 65535));
  EXPECT_EQ(std::nullopt, parse_number_option("70000", 65535));
  EXPECT_EQ(std::nullopt,
            parse_number_option("18446744073709551616", UINT64_MAX));
  EXPECT_EQ(std::nullopt,
            parse_number_option("99999999999999999999999", UINT64_MAX));
}

TEST(Run, NoArgumentsIsTheUsageText) {
  CommandResult result = run({});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(USAGE_TEXT, result.error().message);
  EXPECT_EQ(373u, USAGE_TEXT.size());
}

TEST(Run, UnknownCommandsAreCaseSensitive) {
  for (const char* word : {"List", "HELP", "-help", "--h", ""}) {
    CommandResult result = run({word, "x"});
    ASSERT_FALSE(result.ok()) << word;
    EXPECT_EQ("unknown command \"" + std::string(word) + "\"\n\n" +
                  std::string(USAGE_TEXT),
              result.error().message);
  }
}

TEST(Run, RefusesArgumentsThatAreNotText) {
  CommandResult result = run({"send", "a\xff" "b", "--to", "pc"});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ("argument 2 is not valid text: \"a\xEF\xBF\xBD" "b\"",
            result.error().message);
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
  EXPECT_EQ("--text: No such file or directory (os error 2)",
            result.error().message);
}

}  // namespace
}  // namespace burrowlink
