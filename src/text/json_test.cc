#include "text/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace burrowlink::text::json {
namespace {

using namespace std::string_literals;

// Each token as text: its kind's letter, then its decoded string or number,
// then where it ends.
std::string tokens_of(std::string_view text) {
  static constexpr char KINDS[] = "{}[]ksnTFNZE";
  Reader reader(text);
  std::string out;
  for (Token token = reader.next();; token = reader.next()) {
    out += KINDS[static_cast<int>(token)];
    if (token == Token::key || token == Token::string) {
      out += std::string(reader.string());
    } else if (token == Token::number) {
      out += std::string(reader.number());
    }
    if (token == Token::end || token == Token::error) return out;
    out += "@" + std::to_string(reader.end()) + " ";
  }
}

TEST(JsonReader, HandsOutTokensWithTheirEnds) {
  EXPECT_EQ(tokens_of(R"( {"a" : [1, -2.5e3, "x"], "b":{}} )"),
            "{@2 ka@5 [@9 n1@10 n-2.5e3@18 sx@23 ]@24 kb@29 {@31 }@32 }@33 Z");
  // Nothing after the value is read.
  EXPECT_EQ(tokens_of("true false"), "T@4 Z");
  EXPECT_EQ(tokens_of("01"), "n0@1 Z");
}

TEST(JsonReader, DecodesStrings) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("plain é")", "plain \xC3\xA9"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("a\u0000b\u00e9\u20AC")", "a\0b\xC3\xA9\xE2\x82\xAC"s},
      {R"("\ud83d\ude00!")", "\xF0\x9F\x98\x80!"},
      {"\"\xF4\x8F\xBF\xBF\x7F\"", "\xF4\x8F\xBF\xBF\x7F"},
  };
  for (const auto& [text, decoded] : cases) {
    Reader reader(text);
    ASSERT_EQ(reader.next(), Token::string) << text;
    EXPECT_EQ(reader.string(), decoded) << text;
  }
}

TEST(JsonReader, StopsAtTheFirstFault) {
  using enum Fault;
  using enum Expected;
  const struct {
    std::string text;
    Fault fault;
    Expected expected;
    std::size_t offset;
  } cases[] = {
      {"", end_of_text, value, 0},
      {"[1,", end_of_text, value, 3},
      {"[tru", end_of_text, value, 4},
      {"[1 2]", unexpected, comma_or_bracket, 4},
      {R"({"a" 123})", unexpected, colon, 8},
      {R"({"a":1 "b"})", unexpected, comma_or_brace, 10},
      {"{1:2}", unexpected, key, 2},
      {"[1,]", unexpected, value, 4},
      {"[nulL]", unexpected, value, 5},
      {"\xEF\xBB\xBF{}", unexpected, value, 1},
      {"[\0]"s, unexpected, value, 2},
      {"[-x]", bad_number, value, 3},
      {"[1.e5]", bad_number, value, 4},
      {"[1e+]", bad_number, value, 5},
      {"[\"a\tb\"]", control_character, value, 4},
      {"[\"\xC3\x28\"]", invalid_utf8, value, 4},
      {"[\"\xED\xA0\x80\"]", invalid_utf8, value, 4},
      {"[\"\xC0\xAF\"]", invalid_utf8, value, 3},
      {R"(["\ud800x"])", lone_surrogate, value, 9},
      {R"(["\ud800\u0041"])", lone_surrogate, value, 14},
      {R"(["\udc00"])", lone_surrogate, value, 8},
      {R"(["\q"])", invalid_escape, value, 4},
      {R"(["\u12G4"])", invalid_escape, value, 7},
      {R"(["\u12)", end_in_string, value, 6},
      {"[\"\xE2\x82", end_in_string, value, 4},
  };
  for (const auto& c : cases) {
    Reader reader(c.text);
    Token token;
    while ((token = reader.next()) != Token::error && token != Token::end) {
    }
    ASSERT_EQ(token, Token::error) << c.text;
    EXPECT_EQ(reader.error().fault, c.fault) << c.text;
    EXPECT_EQ(reader.error().expected, c.expected) << c.text;
    EXPECT_EQ(reader.error().offset, c.offset) << c.text;
    EXPECT_EQ(reader.next(), Token::error) << c.text;
  }
}

TEST(JsonReader, SkipsAValueAsStrictlyAsItReadsOne) {
  const std::string deep =
      "[" + std::string(100'000, '[') + std::string(100'000, ']') + ",7]";
  Reader reader(deep);
  ASSERT_EQ(reader.next(), Token::begin_array);
  ASSERT_EQ(reader.next(), Token::begin_array);
  ASSERT_TRUE(reader.skip());
  EXPECT_EQ(reader.next(), Token::number);
  EXPECT_EQ(reader.number(), "7");
  EXPECT_EQ(reader.next(), Token::end_array);
  EXPECT_EQ(reader.next(), Token::end);

  Reader bad(R"({"a":[{"b":"\x"}]})");
  ASSERT_EQ(bad.next(), Token::begin_object);
  ASSERT_EQ(bad.next(), Token::key);
  ASSERT_EQ(bad.next(), Token::begin_array);
  EXPECT_FALSE(bad.skip());
  EXPECT_EQ(bad.error().fault, Fault::invalid_escape);
  EXPECT_EQ(bad.error().offset, 14u);
}

TEST(JsonNumbers, FitAsTheyWouldInTheirTypes) {
  EXPECT_EQ(to_uint64("18446744073709551615"), 18446744073709551615u);
  for (const char* beyond : {"18446744073709551616", "-1", "1.0", "1e2"}) {
    EXPECT_EQ(to_uint64(beyond), std::nullopt) << beyond;
  }
  for (const char* fits :
       {"1e308", "-1.7976931348623157e308", "179769313486231580793e288",
        "0.0000e99999", "1e-99999", "0.001e311"}) {
    EXPECT_TRUE(in_double_range(fits)) << fits;
  }
  for (const char* beyond :
       {"1e309", "-1.7976931348623159e308", "179769313486231581e291",
        "1e99999999999999999999", "0.01e311"}) {
    EXPECT_FALSE(in_double_range(beyond)) << beyond;
  }
}

}  // namespace
}  // namespace burrowlink::text::json
