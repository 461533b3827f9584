#include "identity/identity.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/files.h"
#include "platform/process.h"
#include "test_util.h"
#include "text/unicode.h"

namespace burrowlink {
namespace {

using testing::read_whole;
using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::write_whole;

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.unset("USERPROFILE");
    env.set("HOME", home.path());
  }
  std::string id_file() const { return home.file(".burrowlink-cli-id"); }

  ScopedTempDir home;
  ScopedEnv env;
};

const std::regex UUID_V4(
    "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

TEST_F(IdentityTest, MakesAndKeepsANewIdentifier) {
  DeviceId first = load_device_id();
  EXPECT_TRUE(std::regex_match(first, UUID_V4)) << first;
  EXPECT_EQ(first, read_whole(id_file()));  // no line end
  EXPECT_EQ(first, load_device_id());
}

TEST_F(IdentityTest, TrimsWhatTheFileHoldsWithoutRewritingIt) {
  write_whole(id_file(), "  my-id \r\n");
  EXPECT_EQ("my-id", load_device_id());
  EXPECT_EQ("  my-id \r\n", read_whole(id_file()));
}

TEST_F(IdentityTest, ReplacesBlankOrInvalidContent) {
  for (const char* content : {"", " \n\t\xC2\xA0", "\xFF\xFE"}) {
    write_whole(id_file(), content);
    DeviceId id = load_device_id();
    EXPECT_TRUE(std::regex_match(id, UUID_V4)) << id;
    EXPECT_EQ(id, read_whole(id_file()));
  }
}

TEST_F(IdentityTest, UserProfileWinsEvenWhenEmpty) {
  ScopedTempDir profile;
  env.set("USERPROFILE", profile.path());
  EXPECT_EQ(profile.file(".burrowlink-cli-id"), identity_file_path());
  env.set("USERPROFILE", "");
  EXPECT_EQ(".burrowlink-cli-id", identity_file_path());
  env.unset("USERPROFILE");
  env.unset("HOME");
  EXPECT_EQ(platform::join_path(".", ".burrowlink-cli-id"),
            identity_file_path());
}

TEST_F(IdentityTest, UnwritableHomeGivesAFreshIdentifierEachTime) {
  // A missing folder stands in for a read-only one, which root could write.
  env.set("USERPROFILE", home.file("missing"));
  DeviceId a = load_device_id();
  DeviceId b = load_device_id();
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::regex_match(a, UUID_V4));
}

TEST(DeviceName, OverrideThenEnvironmentThenDefault) {
  ScopedEnv env;
  env.set("COMPUTERNAME", "desk");
  EXPECT_EQ("", device_name(std::string()));
  EXPECT_EQ("mine", device_name(std::string("mine")));
  EXPECT_EQ("desk", device_name(std::nullopt));
  env.set("COMPUTERNAME", "");
  env.set("HOSTNAME", "host");
  EXPECT_EQ("", device_name(std::nullopt));
  env.unset("COMPUTERNAME");
  env.set("HOST", "other");
  EXPECT_EQ("host", device_name(std::nullopt));
  // Not text: bytes that are not UTF-8, or a lone UTF-16 surrogate.
  env.set("HOSTNAME", "bad\xED\xA0\x80");
  EXPECT_EQ("other", device_name(std::nullopt));
  env.unset("HOSTNAME");
  env.unset("HOST");
  // Then the computer's own name, which every system has.
  std::optional<std::string> host = platform::host_name();
  ASSERT_TRUE(host.has_value());
  EXPECT_EQ(text::first_scalars(*host, DEVICE_NAME_MAX),
            device_name(std::nullopt));
}

TEST(DeviceName, CutToFortyScalarValues) {
  EXPECT_EQ(std::string(40, 'x'), device_name(std::string(50, 'x')));
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xE6\x97\xA5";
  EXPECT_EQ(wide, device_name(wide));
  EXPECT_EQ(wide, device_name(wide + "\xE6\x97\xA5"));
}

}  // namespace
}  // namespace burrowlink
