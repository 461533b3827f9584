#include "cli/typos.h"

#include <gtest/gtest.h>

namespace burrowlink {
namespace {

TEST(EditDistance, CountsEditsUpToTheLimit) {
  struct Case {
    std::string_view a, b;
    std::size_t limit, distance;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"", "", 2, 0},
           {"", "abc", 5, 3},
           {"recieve", "receive", 2, 2},  // a swap is two edits
           {"lst", "list", 2, 1},
           {"kitten", "sitting", 5, 3},
           {"receive", "list", 9, 6},
           // Past the limit, limit + 1, whether the lengths or the bytes
           // tell first.
           {"receive", "list", 2, 3},
           {"abcd", "wxyz", 2, 3},
           {"\xC3\xA9", "e", 5, 2},  // bytes, not characters
       }) {
    EXPECT_EQ(c.distance, edit_distance(c.a, c.b, c.limit)) << c.a << c.b;
    EXPECT_EQ(c.distance, edit_distance(c.b, c.a, c.limit)) << c.b << c.a;
  }
}

TEST(NearestWord, OnlyOneWordThatIsNearEnough) {
  constexpr std::string_view KNOWN[] = {"list", "send", "receive"};
  for (auto [typed, nearest] :
       std::initializer_list<std::pair<std::string_view, const char*>>{
           {"recieve", "receive"},
           {"recv", nullptr},  // three edits away
           {"Send", "send"},
           {"--list", "list"},
           {"lend", "send"},  // one edit, where list is three
           {"", nullptr}}) {
    EXPECT_EQ(nearest ? std::optional<std::string_view>(nearest) : std::nullopt,
              nearest_word(typed, KNOWN, 2))
        << typed;
  }
  constexpr std::string_view TWINS[] = {"cat", "bat"};
  EXPECT_EQ(std::nullopt, nearest_word("at", TWINS, 2));
}

}  // namespace
}  // namespace burrowlink
