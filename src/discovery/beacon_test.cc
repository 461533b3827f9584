#include "discovery/beacon.h"

#include <gtest/gtest.h>

#include <string>

namespace burrowlink {
namespace {

TEST(Beacon, WritesCompactEscapedJson) {
  EXPECT_EQ(write_beacon({"warrenet", "id-1", "Bob", 0}),
            R"({"app":"warrenet","id":"id-1","name":"Bob","port":0})");
  EXPECT_EQ(
      write_beacon({"warrenet", "i", "a\"b\\c\t\b\f\n\r/", 65535}),
      R"({"app":"warrenet","id":"i","name":"a\"b\\c\t\b\f\n\r/","port":65535})");
  // Other controls as lowercase \u00xx; DEL and non-ASCII text stay raw.
  EXPECT_EQ(write_beacon({"warrenet", "i",
                          std::string("\0\x1f\x7f"
                                      "caf\xC3\xA9",
                                      8),
                          1}),
            "{\"app\":\"warrenet\",\"id\":\"i\",\"name\":"
            "\"\\u0000\\u001f\x7f"
            "caf\xC3\xA9\",\"port\":1}");
}

TEST(Beacon, ReadsAnyOrderWhiteSpaceAndOtherMembers) {
  auto read = read_beacon(
      " \t\r\n{ \"port\" : 7 , \"extra\": {\"app\": [1, {\"port\": \"x\"}]},"
      "\"name\":\"\\u00e9\\t\",\"\\u0069d\":\"I\",\"app\":\"other\","
      "\"more\":null,\"more\":-1.5e3}\n ");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->app, "other");
  EXPECT_EQ(read->id, "I");
  EXPECT_EQ(read->name, "\xC3\xA9\t");
  EXPECT_EQ(read->port, 7);

  // Whatever the values of other members, numbers beyond a double's range
  // included.
  for (const char* other :
       {R"("x":1e400)", R"("y":[1e999])", R"("z":{"w":-1e400})"}) {
    read = read_beacon(R"({"app":"warrenet","id":"h1","name":"Huge",)"
                       R"("port":5001,)" +
                       std::string(other) + "}");
    ASSERT_TRUE(read.has_value()) << other;
    EXPECT_EQ(read->port, 5001) << other;
  }
}

TEST(Beacon, CarriesTheKeyOnlyInItsOneForm) {
  const std::string key(64, 'a');
  Beacon beacon{"warrenet", "I", "N", 1, key};
  const std::string written = write_beacon(beacon);
  EXPECT_EQ(R"({"app":"warrenet","id":"I","name":"N","port":1,"staticKey":")" +
                key + "\"}",
            written);
  std::optional<Beacon> read = read_beacon(written);
  ASSERT_TRUE(read);
  EXPECT_EQ(key, read->key);
  // Another form is no key, and the beacon stands; twice is refused as any
  // repeated member is.
  const std::string head = R"({"app":"warrenet","id":"I","name":"N","port":1,)";
  for (const std::string& other :
       {R"("staticKey":")" + std::string(63, 'a') + "\"",
        R"("staticKey":")" + std::string(64, 'A') + "\"",
        std::string(R"("staticKey":7)"),
        std::string(R"("staticKey":{"a":1})")}) {
    read = read_beacon(head + other + "}");
    ASSERT_TRUE(read) << other;
    EXPECT_EQ("", read->key) << other;
  }
  EXPECT_FALSE(read_beacon(head + R"("staticKey":"a","staticKey":"b"})"));
}

TEST(Beacon, RefusesInvalidDatagrams) {
  const char* const invalid[] = {
      "",
      "[]",
      R"([{"app":"warrenet","id":"I","name":"N","port":1}])",
      R"({"app":"warrenet","id":"I","name":"N","port":1}x)",
      R"({"app":"warrenet","id":"I","name":"N","port":1}{})",
      R"({"app":"warrenet","id":"I","name":"N","port":1)",
      R"({"app":"warrenet","id":"I","name":"N"})",
      R"({"app":"warrenet","id":"I","name":"N","port":1,"port":1})",
      R"({"app":"warrenet","id":"I","id":"I","name":"N","port":1})",
      R"({"app":"warrenet","id":"I","name":"N","port":"45455"})",
      R"({"app":"warrenet","id":"I","name":"N","port":45455.0})",
      R"({"app":"warrenet","id":"I","name":"N","port":4e4})",
      R"({"app":"warrenet","id":"I","name":"N","port":1e400})",
      R"({"app":"warrenet","id":"I","name":"N","port":-0})",
      R"({"app":"warrenet","id":"I","name":"N","port":65536})",
      R"({"app":"warrenet","id":1,"name":"N","port":1})",
      R"({"app":"warrenet","id":"I","name":{},"port":1})",
      "{\"app\":\"warrenet\",\"id\":\"I\",\"name\":\"\xC3\",\"port\":1}",
      "{\"app\":\"warrenet\",\"id\":\"I\",\"name\":\"\t\",\"port\":1}",
      R"({"app":"warrenet","id":"I","name":"\udc00","port":1})",
      R"({"app":"warrenet","id":"I","name":"N","port":01})",
      R"({"app":"warrenet","id":"I","name":"N","port":1,})",
      R"({"app":"warrenet","id":"I","name":"N","port":1,"x":[1 2]})",
      "\xEF{}",
  };
  for (const char* datagram : invalid) {
    EXPECT_FALSE(read_beacon(datagram).has_value()) << datagram;
  }
  // The parser itself would stop at a NUL byte and skip a byte order mark.
  const std::string valid =
      R"({"app":"warrenet","id":"I","name":"N","port":1})";
  EXPECT_FALSE(read_beacon(valid + std::string("\0garbage", 8)).has_value());
  EXPECT_FALSE(read_beacon("\xEF\xBB\xBF" + valid).has_value());
}

}  // namespace
}  // namespace burrowlink
