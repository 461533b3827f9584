#include "cli/typos.h"

#include <gtest/gtest.h>

#include <string>

namespace burrowlink {
namespace {

TEST(EditDistance, CountsEditsUpToTheLimit) {
  struct Case {
    std::string_view a, b;
    std::size_t limit, distance;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"", "", 2, 0},
           {"send", "send", 2, 0},
           {"", "abc", 5, 3},
           {"sned", "send", 2, 2},  // a swap is two edits
           {"recieve", "receive", 2, 2},
           {"lst", "list", 2, 1},
           {"lisst", "list", 2, 1},
           {"List", "list", 2, 1},  // case counts
           {"kitten", "sitting", 5, 3},
           {"flaw", "lawn", 5, 2},
           {"receive", "list", 9, 6},
           // Past the limit the answer is limit + 1, whether the lengths or
           // the bytes tell first.
           {"receive", "list", 2, 3},
           {"abcdef", "a", 2, 3},
           {"abcd", "wxyz", 2, 3},
           {"abc", "xyz", 0, 1},
           // Bytes, not characters: "é" is two of them.
           {"\xC3\xA9", "e", 5, 2},
       }) {
    EXPECT_EQ(c.distance, edit_distance(c.a, c.b, c.limit))
        << c.a << " " << c.b << " " << c.limit;
    EXPECT_EQ(c.distance, edit_distance(c.b, c.a, c.limit))
        << c.b << " " << c.a << " " << c.limit;
  }
}

TEST(NearestWord, OnlyOneWordThatIsNearEnough) {
  constexpr std::string_view KNOWN[] = {"list", "send", "receive"};
  struct Case {
    std::string_view typed;
    std::optional<std::string_view> nearest;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"recieve", "receive"},
           {"recv", std::nullopt},  // three edits away
           {"sedn", "send"},
           {"Send", "send"},
           {"ls", "list"},
           {"lend", "send"},  // one edit, where list is three
           {"help", std::nullopt},
           {"", std::nullopt},
           {"--list", "list"},
       }) {
    EXPECT_EQ(c.nearest, nearest_word(c.typed, KNOWN, 2)) << c.typed;
  }
  constexpr std::string_view TWINS[] = {"cat", "bat"};
  EXPECT_EQ(std::nullopt, nearest_word("at", TWINS, 2));
  EXPECT_EQ("cat", nearest_word("cart", TWINS, 2));
}

}  // namespace
}  // namespace burrowlink
