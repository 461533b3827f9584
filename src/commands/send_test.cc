#include "commands/send.h"

#include <gtest/gtest.h>

#include "platform/files.h"

namespace burrowlink::commands {
namespace {

TEST(OfferedName, LastComponentWithEitherSeparator) {
  EXPECT_EQ(offered_name("report.pdf"), "report.pdf");
  EXPECT_EQ(offered_name("data/report.pdf"), "report.pdf");
  EXPECT_EQ(offered_name(R"(C:\data\report.pdf)"), "report.pdf");
  EXPECT_EQ(offered_name(R"(a\b/c.txt)"), "c.txt");
  EXPECT_EQ(offered_name("/a//b.txt//./."), "b.txt");
  EXPECT_EQ(offered_name("///x.txt"), "x.txt");
  EXPECT_EQ(offered_name("a/../b.txt"), "b.txt");
  EXPECT_EQ(offered_name("a/.."), "");
  EXPECT_EQ(offered_name("../."), "");
  EXPECT_EQ(offered_name("."), "");
  EXPECT_EQ(offered_name("/"), "");
  EXPECT_EQ(offered_name("dir/\xFF.txt"), "\xEF\xBF\xBD.txt");
}

TEST(OfferedName, DrivePrefixIsNoComponent) {
  EXPECT_EQ(offered_name("C:foo.txt"), "foo.txt");
  EXPECT_EQ(offered_name("c:"), "");
  EXPECT_EQ(offered_name(R"(C:\)"), "");
  EXPECT_EQ(offered_name("C:.."), "");
  // Only one ASCII letter, and only at the start.
  EXPECT_EQ(offered_name("CC:x.txt"), "CC:x.txt");
  EXPECT_EQ(offered_name("1:x.txt"), "1:x.txt");
  EXPECT_EQ(offered_name("\xC3\xA9:x.txt"), "\xC3\xA9:x.txt");
  EXPECT_EQ(offered_name("dir/C:x.txt"), "C:x.txt");
}

TEST(OfferedName, SharePrefixIsNoComponent) {
  EXPECT_EQ(offered_name(R"(\\server\share)"), "");
  EXPECT_EQ(offered_name(R"(\\server\share\)"), "");
  EXPECT_EQ(offered_name(R"(\\server)"), "");
  EXPECT_EQ(offered_name(R"(\\server\share\x.txt)"), "x.txt");
  EXPECT_EQ(offered_name("//server/share/x.txt"), "x.txt");
  // Two forward slashes start a share on Windows alone; elsewhere they are
  // the root.
  EXPECT_EQ(offered_name("//tmp/report.txt"),
            platform::two_slashes_start_a_share() ? "" : "report.txt");
  EXPECT_EQ(offered_name("//server"),
            platform::two_slashes_start_a_share() ? "" : "server");
  EXPECT_EQ(offered_name(R"(\/server/share\d\x.txt)"), "x.txt");
  EXPECT_EQ(offered_name(R"(\\server\share\d\..)"), "");
}

TEST(OfferedName, VerbatimAndDevicePrefixesAreNoComponent) {
  EXPECT_EQ(offered_name(R"(\\?\C:\)"), "");
  EXPECT_EQ(offered_name(R"(\\?\C:\data\x.txt)"), "x.txt");
  EXPECT_EQ(offered_name(R"(\\?\UNC\server\share\)"), "");
  EXPECT_EQ(offered_name(R"(\\?\unc\server\share\x.txt)"), "x.txt");
  EXPECT_EQ(offered_name(R"(\\?\)"), "");
  EXPECT_EQ(offered_name(R"(\\.\COM1)"), "");
  EXPECT_EQ(offered_name(R"(\\.\C:\x.txt)"), "x.txt");
  EXPECT_EQ(offered_name(R"(\\.\UNC\server\share\x.txt)"), "x.txt");
}

}  // namespace
}  // namespace burrowlink::commands
