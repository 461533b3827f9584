#include "cli/options.h"

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

TEST(TakeOption, PositionsFollowTheArgumentsTheyStandFor) {
  // An option's value equal to a file argument must not swap their places.
  Args args{"--text", "*.jpg", "*.jpg", "-r", "--to", "pc"};
  Positions positions{1, 2, 3, 4, 5, 6};
  EXPECT_EQ("pc", take_option(args, "--to", &positions));
  EXPECT_EQ("*.jpg", take_option(args, "--text", &positions));
  EXPECT_TRUE(take_flag(args, "-r", &positions));
  EXPECT_EQ((Args{"*.jpg"}), args);
  EXPECT_EQ((Positions{3}), positions);
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
  for (const char* text :
       {"", "+", "abc", "-3", "1.5", " 5", "5 ", "++5", "0x10", "1e3"}) {
    EXPECT_EQ(std::nullopt, parse_number_option(text, UINT64_MAX)) << text;
  }
  // Bounds below a digit's value, too.
  EXPECT_EQ(std::nullopt, parse_number_option("7", 5));
  EXPECT_EQ(std::nullopt, parse_number_option("1", 0));
  EXPECT_EQ(5u, parse_number_option("05", 5));
  EXPECT_EQ(std::nullopt, parse_number_option("65536", 65535));
  EXPECT_EQ(std::nullopt, parse_number_option("70000", 65535));
  EXPECT_EQ(std::nullopt,
            parse_number_option("18446744073709551616", UINT64_MAX));
  EXPECT_EQ(std::nullopt,
            parse_number_option("99999999999999999999999", UINT64_MAX));
}

}  // namespace
}  // namespace burrowlink
