#include "commands/send.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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

// Parts list the shared limit's 1000 files, or more where the receiver
// allowed it; an offer too long for its frame is halved down to 1000.
TEST(SendParts, WhereEachPartEnds) {
  const struct {
    const char* what;
    SendParts parts;
    std::size_t first;
    std::uint64_t granted;
    std::size_t end;
    std::size_t shortened;  // the end when the offer is too long
    std::size_t count;      // parts at the shared limit
  } cases[] = {
      {"without -r, one offer", {2500, false}, 0, 0, 2500, 2500, 3},
      {"a note", {0, false}, 0, 0, 0, 0, 0},
      {"first part", {2500, true}, 0, 0, 1000, 1000, 3},
      {"middle part", {2500, true}, 1000, 0, 2000, 2000, 3},
      {"last part, shorter", {2500, true}, 2000, 0, 2500, 2500, 3},
      {"an exact multiple", {2000, true}, 1000, 0, 2000, 2000, 2},
      {"one file over", {1001, true}, 1000, 0, 1001, 1001, 2},
      {"granted more than is left", {2500, true}, 1000, 5000, 2500, 2000, 3},
      {"granted a little more", {3000, true}, 1000, 1200, 2200, 2000, 3},
      {"granted a lot more", {9000, true}, 1000, 5000, 6000, 3500, 9},
      {"granted less", {2500, true}, 1000, 10, 2000, 2000, 3},
      {"granted the most there is", {2500, true}, 0, UINT64_MAX, 2500, 1250, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.end, c.parts.part_end(c.first, c.granted));
    EXPECT_EQ(c.shortened, c.parts.shortened_end(c.first, c.end));
    EXPECT_EQ(c.count, c.parts.count_at_shared_limit());
  }
}

// Rates count the bytes that crossed over the time they took; what the
// receiver had goes apart, without a rate.
TEST(SendTally, RatesCountOnlyWhatCrossed) {
  constexpr std::uint64_t MB = 1024 * 1024;
  struct File {
    std::uint64_t size, held;
    std::chrono::milliseconds took;
  };
  const struct {
    const char* what;
    std::vector<File> files;
    std::string lines, summary;
  } cases[] = {
      {"a file sent whole",
       {{100 * MB, 0, std::chrono::seconds(4)}},
       "Sent f (100.0 MB, 25.0 MB/s, verified)\n",
       "Sent 1 file, 100.0 MB in 4.0 s (25.0 MB/s)\n"},
      {"resumed halfway",
       {{1600 * MB, 800 * MB, std::chrono::seconds(32)}},
       "Sent f (1.6 GB, 25.0 MB/s, verified)\n",
       "Sent 1 file, 800.0 MB in 32.0 s (25.0 MB/s); 800.0 MB of the file "
       "sent was already there\n"},
      {"already there",
       {{100 * MB, 100 * MB, std::chrono::milliseconds(1)}},
       "Sent f (100.0 MB, already there, verified)\n",
       "1 file, 100.0 MB, was already there\n"},
      {"all three",
       {{10 * MB, 0, std::chrono::seconds(1)},
        {5 * MB, 5 * MB, std::chrono::milliseconds(2)},
        {20 * MB, 10 * MB, std::chrono::seconds(1)}},
       "Sent f (10.0 MB, 10.0 MB/s, verified)\n"
       "Sent f (5.0 MB, already there, verified)\n"
       "Sent f (20.0 MB, 10.0 MB/s, verified)\n",
       "Sent 2 files, 20.0 MB in 2.0 s (10.0 MB/s); 1 file, 5.0 MB, and 10.0 "
       "MB of the files sent were already there\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SendTally tally;
    std::string lines;
    for (const File& file : c.files) {
      lines += sent_line("f", file.size, file.held, file.took);
      tally.add(file.size, file.held, file.took);
    }
    EXPECT_EQ(c.lines, lines);
    EXPECT_EQ(c.summary, sent_summary(tally));
  }
}

}  // namespace
}  // namespace burrowlink::commands
