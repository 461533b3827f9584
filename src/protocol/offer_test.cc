#include "protocol/offer.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "test_util.h"

namespace burrowlink {
namespace {

using platform::TcpStream;
using namespace std::string_literals;

std::string error_of(std::string_view body) {
  auto read = offer_from_json(body);
  return read.ok() ? "parsed" : read.error().message;
}

platform::ConstBytes bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(OfferJson, WritesCompactMembersInOrder) {
  EXPECT_EQ(offer_to_json({"Desk", "ID", {{"a.txt", 5}}, std::nullopt}),
            R"({"from":"Desk","fromId":"ID","files":[{"name":"a.txt",)"
            R"("size":5}],"text":null})");
  EXPECT_EQ(offer_to_json({"Desk", std::nullopt, {}, ""}),
            R"({"from":"Desk","fromId":null,"files":[],"text":""})");
}

TEST(OfferJson, EscapesOnlyWhatJsonRequires) {
  const Offer offer{"D",
                    "I",
                    {{"\"\\\t\x01\b\f\n\r\x1f\0/\x7fr\xC3\xA9sum\xC3\xA9"s,
                      18446744073709551615u}},
                    std::nullopt};
  const std::string json = offer_to_json(offer);
  EXPECT_EQ(json, R"({"from":"D","fromId":"I","files":[{"name":")"
                  R"(\"\\\t\u0001\b\f\n\r\u001f\u0000/)"
                  "\x7fr\xC3\xA9sum\xC3\xA9"
                  R"(","size":18446744073709551615}],"text":null})");
  auto read = offer_from_json(json);
  ASSERT_OK(read);
  EXPECT_EQ(*read, offer);
}

TEST(OfferJson, AFolderIsOneMoreMemberThatOtherReadersSkip) {
  Offer offer{
      "D", "I", {{"a.jpg", 1234, "Photos/2024"}, {"b", 1}}, std::nullopt};
  const std::string json = offer_to_json(offer);
  EXPECT_EQ(json,
            R"({"from":"D","fromId":"I","files":[{"name":"a.jpg",)"
            R"("size":1234,"folder":"Photos/2024"},{"name":"b","size":1}])"
            R"(,"text":null})");
  EXPECT_EQ(offer_from_json(json).value(), offer);
  // To a reader that knows no folder it is an unknown member: the files
  // arrive flat, under their names.
  std::string flat = json;
  flat.replace(flat.find("\"folder\""), 8, "\"unseen\"");
  offer.files[0].folder.reset();
  EXPECT_EQ(offer_from_json(flat).value(), offer);

  EXPECT_EQ(error_of(R"({"from":"X","files":[{"name":"a","size":1,)"
                     R"("folder":7}]})"),
            "invalid type: integer `7`, expected a string at line 1 column 52");
  EXPECT_EQ(error_of(R"({"from":"X","files":[{"name":"a","size":1,)"
                     R"("folder":"x","folder":"y"}]})"),
            "duplicate field `folder` at line 1 column 63");
  // The array form stays [name, size].
  EXPECT_EQ(error_of(R"({"from":"X","files":[["a",1,"Photos"]]})"),
            "trailing characters at line 1 column 29");
}

TEST(OfferJson, ReadsEitherShapeAndSkipsUnknownMembers) {
  auto note = offer_from_json(
      R"({"text":"hi","files":[],"fromId":null,"from":"X","extra":[1,{"a":2}]})");
  ASSERT_OK(note);
  EXPECT_EQ(*note, (Offer{"X", std::nullopt, {}, "hi"}));

  auto bare = offer_from_json(" \t\r\n{\"from\":\"X\"}\n ");
  ASSERT_OK(bare);
  EXPECT_EQ(*bare, (Offer{"X", std::nullopt, {}, std::nullopt}));

  auto listed = offer_from_json(
      R"(["X","id",[["a",1],{"size":2,"x":{"y":[-1e9]},"name":"b"}],null])");
  ASSERT_OK(listed);
  EXPECT_EQ(*listed, (Offer{"X", "id", {{"a", 1}, {"b", 2}}, std::nullopt}));
}

TEST(OfferJson, SkipsDeeplyNestedUnknownValue) {
  const std::size_t depth = 100'000;
  const std::string body = R"({"from":"X","deep":)" + std::string(depth, '[') +
                           std::string(depth, ']') + "}";
  EXPECT_OK(offer_from_json(body));
}

TEST(OfferJson, SkipsNumbersBeyondDoubleRangeInUnknownMembers) {
  auto read = offer_from_json(
      R"({"from":"X","files":[{"name":"a","size":1}],"extra":1e400})");
  ASSERT_OK(read);
  EXPECT_EQ(*read, (Offer{"X", std::nullopt, {{"a", 1}}, std::nullopt}));

  read = offer_from_json(R"({"x":[-1e400,{"y":1e999}],"from":"X","files":[)"
                         R"({"name":"a","z":)" +
                         std::string(400, '9') + R"(,"size":2}]})");
  ASSERT_OK(read);
  EXPECT_EQ(*read, (Offer{"X", std::nullopt, {{"a", 2}}, std::nullopt}));
}

std::string with_size(const std::string& size) {
  return R"({"from":"X","files":[{"name":"a","size":)" + size + "}]}";
}

// Bodies and the fault each shows, in the words other readers use, and
// where it occurs.
const std::pair<std::string, std::string> OFFER_FAULTS[] = {
    // The size is an unsigned integer of 64 bits.
    {with_size("-0"), "parsed"},
    {with_size("-1"),
     "invalid value: integer `-1`, expected u64 at line 1 column 42"},
    {with_size("1.5"),
     "invalid type: floating point `1.5`, expected u64 at line 1 column 43"},
    {with_size("18446744073709551616"),
     "invalid value: integer `18446744073709551616`, expected u64 at line 1 "
     "column 60"},
    {with_size("18446744073709551615"), "parsed"},
    // Beyond the range of a double the parser itself stops, also in a
    // known member, at the number's last byte.
    {with_size("1e400"), "number out of range at line 1 column 45"},
    {with_size(std::string(400, '9')),
     "number out of range at line 1 column 440"},
    {R"({"from":1e400})", "number out of range at line 1 column 13"},
    // An element past a record's last field is trailing, whatever it
    // holds.
    {R"(["X",null,[["a",0]],null,1e400])",
     "trailing characters at line 1 column 26"},
    {R"(["X",null,[["a",0,[1e999]]],null])",
     "trailing characters at line 1 column 19"},
    // Syntax.
    {"", "EOF while parsing a value at line 1 column 0"},
    {R"({"from":)", "EOF while parsing a value at line 1 column 8"},
    {R"({"from":"X")", "EOF while parsing an object at line 1 column 11"},
    {R"(["X",null,[)", "EOF while parsing a list at line 1 column 11"},
    {R"({"from":"X)", "EOF while parsing a string at line 1 column 10"},
    {"{\"from\":\"X\"}\n\n  x", "trailing characters at line 3 column 3"},
    {"{\"from\":\"X\"}\0"s, "trailing characters at line 1 column 13"},
    {"\xEF\xBB\xBF{\"from\":\"X\"}", "expected value at line 1 column 1"},
    {"{\"from\":\"\xFF\"}", "invalid unicode code point at line 1 column 10"},
    {R"({"from" "X"})", "expected `:` at line 1 column 11"},
    {R"({"from":"X" "files":[]})", "expected `,` or `}` at line 1 column 19"},
    {R"({"from":"X",})", "key must be a string at line 1 column 13"},
    {R"(["X" null])", "expected `,` or `]` at line 1 column 9"},
    {R"(["X",null,[],null)", "EOF while parsing a list at line 1 column 17"},
    {"{\n\"from\":\n  nul", "EOF while parsing a value at line 3 column 5"},
    {"{\"from\":\0}"s, "expected value at line 1 column 9"},
    {R"({"from":-})", "invalid number at line 1 column 10"},
    {"{\"from\":\"a\tb\"}",
     "control character (\\u0000-\\u001F) found while parsing a string at "
     "line 1 column 11"},
    {R"({"from":"\ud800"})",
     "lone surrogate in hex escape at line 1 column 16"},
    {R"({"from":"\x"})", "invalid escape at line 1 column 11"},
    // The fault, not the string's own words, chooses the text.
    {R"({"from":"UTF-8 \q"})", "invalid escape at line 1 column 17"},
    // Shape: each member once, the required ones there, the types right.
    {R"({"from":"X","from":"Y"})",
     "duplicate field `from` at line 1 column 18"},
    {R"({"files":[]})", "missing field `from` at line 1 column 12"},
    {R"({"from":"X","files":[{"name":"a"}]})",
     "missing field `size` at line 1 column 33"},
    {R"(["X",null,[]])",
     "invalid length 3, expected struct Offer with 4 elements at line 1 "
     "column 13"},
    {R"(["X",null,[], null, "more"])",
     "trailing characters at line 1 column 21"},
    {R"({"from":"X","files":[["a"]]})",
     "invalid length 1, expected struct FileInfo with 2 elements at line 1 "
     "column 26"},
    {"5",
     "invalid type: integer `5`, expected struct Offer at line 1 column 1"},
    {R"({"from":null})",
     "invalid type: null, expected a string at line 1 column 12"},
    {R"({"from":"X","files":{}})",
     "invalid type: map, expected a sequence at line 1 column 20"},
    {R"({"from":"X","files":["a"]})",
     "invalid type: string \"a\", expected struct FileInfo at line 1 "
     "column 24"},
};

TEST(OfferJson, WordsEachFaultWhereItOccurs) {
  for (const auto& [body, error] : OFFER_FAULTS) {
    EXPECT_EQ(error_of(body), error) << body;
  }
}

TEST(OfferJson, ExtensionsFollowTheOtherMembers) {
  Offer offer{"D",
              "I",
              {{"a", 1}},
              std::nullopt,
              OfferExtensions{1, std::string(32, 'a'), 0, SendTotal{3, 7}}};
  const std::string json = offer_to_json(offer);
  EXPECT_EQ(R"({"from":"D","fromId":"I","files":[{"name":"a","size":1}],)"
            R"("text":null,"extensions":{"stream":{"version":1,"token":")" +
                std::string(32, 'a') + R"(","total":{"files":3,"bytes":7}}}})",
            json);
  EXPECT_EQ(offer, offer_from_json(json).value());
}

// A member we cannot use means no extension, never a refused offer.
// Every file an answer names gets a start word, so an entry of a shape we
// cannot use still names its file: it starts at 0.
TEST(ExtensionAnswerJson, ResumeEntriesWeCannotUseStartAtZero) {
  struct Case {
    std::string files;
    std::vector<ResumeAt> expected;
  } cases[] = {
      {R"([[3,[10]],[7,[5,9]]])", {{3, {10}}, {7, {5, 9}}}},
      {R"([[3,[10,5]]])", {{3, {}}}},
      {R"([[3,[1,2,3,4,5]]])", {{3, {}}}},
      {R"([[3,[10],"x"]])", {{3, {}}}},
      {R"([[3],[4,[]]])", {{3, {}}, {4, {}}}},
      {R"([["a",[10]],7,{"a":1}])", {}},
  };
  for (const Case& row : cases) {
    Result<ExtensionAnswer> answer = extension_answer_from_json(
        R"({"stream":{"version":1,"files":1,"bytes":1},)"
        R"("resume":{"version":2,"files":)" +
        row.files + "}}");
    ASSERT_TRUE(answer.ok()) << row.files;
    EXPECT_EQ(row.expected, answer->resume.value_or(std::vector<ResumeAt>{}))
        << row.files;
  }
}

TEST(OfferJson, ExtensionsWeCannotUseAreNone) {
  const std::string token(32, '0');
  struct Case {
    std::string value;
    std::optional<OfferExtensions> read;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"stream":{"version":1}})", OfferExtensions{1, {}}},
           {R"({"stream":{"version":7,"new":[{}]},"later":{"version":1}})",
            OfferExtensions{7, {}}},
           {R"({"stream":{"version":1,"token":")" + token + R"("}})",
            OfferExtensions{1, token}},
           {R"({"stream":{"version":1,"token":"short"}})",
            OfferExtensions{1, {}}},
           {R"({"stream":{"version":1,"total":{"files":2500,"bytes":9}}})",
            OfferExtensions{1, {}, 0, SendTotal{2500, 9}}},
           {R"({"stream":{"version":1,"total":{"files":2500}}})",
            OfferExtensions{1, {}}},
           {R"({"stream":{"version":1,"total":[2500,9]}})",
            OfferExtensions{1, {}}},
           {R"({"stream":{"version":0}})", std::nullopt},
           {R"({"stream":{"version":-1}})", std::nullopt},
           {R"({"stream":{"version":1e400}})", std::nullopt},
           {R"({"stream":{"version":"1"}})", std::nullopt},
           {R"({"stream":{}})", std::nullopt},
           {R"({"stream":1})", std::nullopt},
           {R"({"stream":{"version":1},"stream":{"version":1}})", std::nullopt},
           {R"({"later":{"version":1}})", std::nullopt},
           {R"([{"stream":{"version":1}}])", std::nullopt},
           {"null", std::nullopt},
           {R"("stream")", std::nullopt},
       }) {
    auto read =
        offer_from_json(R"({"from":"X","files":[{"name":"a","size":1}],)"
                        R"("extensions":)" +
                        c.value + "}");
    ASSERT_TRUE(read.ok()) << c.value;
    EXPECT_EQ(c.read, read->extensions) << c.value;
  }
  // Twice, even when each is usable.
  auto twice =
      offer_from_json(R"({"from":"X","extensions":{"stream":{"version":1}},)"
                      R"("extensions":{"stream":{"version":1}}})");
  ASSERT_OK(twice);
  EXPECT_EQ(std::nullopt, twice->extensions);
  // Bad JSON stays bad JSON.
  EXPECT_EQ(error_of(R"({"from":"X","extensions":{"stream":})"),
            "expected value at line 1 column 36");
}

// Frames travel over a local stream pair.
class OfferFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = TcpStream::pair();
    ASSERT_OK(pair);
    writer = std::move(pair->first);
    reader = std::move(pair->second);
    // No read waits for good on a writer that never writes.
    ASSERT_OK(reader.set_read_timeout(std::chrono::seconds(30)));
  }

  std::string error_read() {
    auto read = read_offer(reader);
    return read.ok() ? "parsed" : read.error().message;
  }

  TcpStream writer;
  TcpStream reader;
};

TEST_F(OfferFrameTest, WritesLengthPrefixThenBody) {
  const Offer offer{"Desk", "ID", {}, "back at 6"};
  const std::string body = offer_to_json(offer);
  ASSERT_OK(write_offer(writer, offer));
  std::string frame(4 + body.size(), '\0');
  ASSERT_OK(reader.read_exact(
      {reinterpret_cast<std::uint8_t*>(frame.data()), frame.size()}));
  EXPECT_EQ(frame, "\0\0\0"s + static_cast<char>(body.size()) + body);

  ASSERT_OK(write_offer(writer, offer));
  auto read = read_offer(reader);
  ASSERT_OK(read);
  EXPECT_EQ(*read, offer);
}

TEST_F(OfferFrameTest, ReadsBodyOfExactlyTheLimit) {
  std::string body = R"({"from":"X","pad":")";
  body.resize(MAX_OFFER_BYTES - 2, 'x');
  body += "\"}";
  // The body is larger than the socket buffer.
  std::thread send([&] {
    EXPECT_OK(writer.write_all(bytes_of("\x00\x10\x00\x00"s)));
    EXPECT_OK(writer.write_all(bytes_of(body)));
  });
  EXPECT_EQ(error_read(), "parsed");
  send.join();
}

TEST_F(OfferFrameTest, RefusesLargerBodyWithoutReadingIt) {
  ASSERT_OK(writer.write_all(bytes_of("\x00\x10\x00\x01{}"s)));
  auto read = read_offer(reader);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().message, "message too large");
  EXPECT_EQ(read.error().kind, ErrorKind::invalid_data);
  std::array<std::uint8_t, 2> rest{};
  ASSERT_OK(reader.read_exact(rest));
  EXPECT_EQ(rest, (std::array<std::uint8_t, 2>{'{', '}'}));
}

TEST_F(OfferFrameTest, FailsOnEmptyBodyAndCutStream) {
  ASSERT_OK(writer.write_all(bytes_of("\0\0\0\0\0\0\0\x09{}"s)));
  writer.close();
  EXPECT_EQ(error_read(), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(error_read(), platform::FILL_BUFFER_TEXT);
}

}  // namespace
}  // namespace burrowlink
