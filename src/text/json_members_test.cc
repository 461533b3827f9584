#include "text/json_members.h"

#include <gtest/gtest.h>

#include <string>

namespace burrowlink::text::json {
namespace {

TEST(JsonMembers, EachKnownMemberOnceTheRequiredOnesThere) {
  constexpr Member MEMBERS[] = {{.name = "a", .required = true},
                                {.name = "b"},
                                {.name = "c", .repeatable = true},
                                {.name = "stop"}};
  constexpr MemberRules SKIP{};
  constexpr MemberRules REFUSE{.skip_others = false};
  constexpr MemberRules NOTE{.note_repeats = true};
  struct Case {
    const char* json;
    MemberRules rules;
    MembersEnd end;
    std::size_t member;  // for repeated and missing
    bool repeated;
    std::string taken;  // the places handed over, in order
  };
  using enum MembersEnd;
  const Case cases[] = {
      {R"({"b":1,"a":[2]})", SKIP, read, 0, false, "10"},
      {R"({"a":1,"x":{"y":[1]},"b":2})", SKIP, read, 0, false, "01"},
      {R"({"a":1,"x":1})", REFUSE, other, 0, false, "0"},
      {R"({"a":1,"b":2,"b":3})", SKIP, repeated, 1, false, "01"},
      {R"({"b":2})", SKIP, missing, 0, false, "1"},
      {R"({"a":1,"c":1,"c":2})", SKIP, read, 0, false, "022"},
      {R"({"a":1,"b":1,"b":2})", NOTE, read, 0, true, "011"},
      {R"({"a":1,"x":1,"x":2})", NOTE, read, 0, true, "0"},
      {R"({"a":1,"x":1,"y":2})", NOTE, read, 0, false, "0"},
      {R"({"a":1,"x":[1,})", SKIP, syntax, 0, false, "0"},
      {R"({"a":1,"b":})", SKIP, syntax, 0, false, "0"},
      {R"({"a":1,"stop":1,"b":2})", SKIP, stopped, 0, false, "03"},
  };
  for (const Case& c : cases) {
    Reader reader(c.json);
    ASSERT_EQ(Token::begin_object, reader.next()) << c.json;
    std::string taken;
    const MembersRead got =
        read_members(reader, MEMBERS, c.rules, [&](std::size_t place, Token) {
          taken += std::to_string(place);
          return MEMBERS[place].name != "stop" && reader.skip();
        });
    EXPECT_EQ(c.end, got.end) << c.json;
    if (c.end == repeated || c.end == missing) {
      EXPECT_EQ(c.member, got.member) << c.json;
    }
    EXPECT_EQ(c.repeated, got.repeated) << c.json;
    EXPECT_EQ(c.taken, taken) << c.json;
  }
}

}  // namespace
}  // namespace burrowlink::text::json
