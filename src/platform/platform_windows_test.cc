// The Windows backend's own rules: paths, device names, error texts.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_util.h"

namespace burrowlink::platform {
namespace {

TEST(WindowsPaths, JoinWithABackslashExceptAfterASeparatorOrBareDrive) {
  EXPECT_EQ("a\\b", join_path("a", "b"));
  EXPECT_EQ(".\\b", join_path(".", "b"));
  EXPECT_EQ("a/b", join_path("a/", "b"));
  EXPECT_EQ("a\\b", join_path("a\\", "b"));
  EXPECT_EQ("C:b", join_path("C:", "b"));
  EXPECT_EQ("C:\\b", join_path("C:\\", "b"));
  EXPECT_EQ("b", join_path("", "b"));
}

TEST(WindowsPaths, ParentStopsAtTheRoot) {
  EXPECT_EQ("C:\\a", parent_path("C:\\a\\b"));
  EXPECT_EQ("C:\\", parent_path("C:\\a"));
  EXPECT_EQ("C:\\", parent_path("C:\\"));
  EXPECT_EQ("C:", parent_path("C:a"));
  EXPECT_EQ("a", parent_path("a\\b/"));
  EXPECT_EQ("", parent_path("a"));
  EXPECT_EQ("\\\\srv\\share\\", parent_path("\\\\srv\\share\\x"));
}

TEST(WindowsFiles, DeviceNamesAreNeverCreated) {
  testing::ScopedTempDir dir;
  for (const char* name : {"CON", "nul.txt", "Com1.tar.gz", "LPT9 .x", "aux",
                           "PRN", "COM\xC2\xB9"}) {
    Result<File> file = File::create_new(dir.file(name));
    ASSERT_FALSE(file.ok()) << name;
    EXPECT_EQ(ErrorKind::already_exists, file.error().kind) << name;
  }
  for (const char* name : {"CONSOLE", "COM10", "nul_", "a.con"}) {
    EXPECT_OK(File::create_new(dir.file(name)));
  }
}

TEST(WindowsErrors, SystemTextWithoutItsLineEnd) {
  Result<File> file = File::open_read("surely-missing.file");
  ASSERT_FALSE(file.ok());
  const std::string& message = file.error().message;
  EXPECT_EQ(ErrorKind::not_found, file.error().kind);
  EXPECT_TRUE(message.ends_with(" (os error 2)")) << message;
  EXPECT_EQ(std::string::npos, message.find_first_of("\r\n")) << message;
  EXPECT_EQ(testing::os_error_text(0, 2), message);
}

TEST(WindowsText, EnvironmentValuesArriveAsUtf8) {
  testing::ScopedEnv env;
  env.set("BURROWLINK_TEST_VALUE", "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ("\xC3\xA9\xF0\x9F\x98\x80", get_env("BURROWLINK_TEST_VALUE"));
  env.set("BURROWLINK_TEST_VALUE", "");
  EXPECT_EQ("", get_env("BURROWLINK_TEST_VALUE"));
  env.unset("BURROWLINK_TEST_VALUE");
  EXPECT_EQ(std::nullopt, get_env("BURROWLINK_TEST_VALUE"));
}

}  // namespace
}  // namespace burrowlink::platform
