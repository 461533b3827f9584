#include "console/format.h"

#include <gtest/gtest.h>

namespace burrowlink::console {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

TEST(FormatSize, BytesBelowOneKilobyte) {
  EXPECT_EQ("0 B", format_size(0));
  EXPECT_EQ("1000 B", format_size(1000));
  EXPECT_EQ("1023 B", format_size(1023));
}

TEST(FormatSize, UnitSwitchesAt1024BeforeRounding) {
  EXPECT_EQ("1.0 KB", format_size(1024));
  EXPECT_EQ("9.8 KB", format_size(10000));
  EXPECT_EQ("1024.0 KB", format_size(1048575));
  EXPECT_EQ("1.0 MB", format_size(1048576));
  EXPECT_EQ("117.7 MB", format_size(123456789));
  EXPECT_EQ("9.3 GB", format_size(10000000000));
  EXPECT_EQ("1024.0 GB", format_size(1099511627775));
  EXPECT_EQ("1.0 TB", format_size(1099511627776));
  EXPECT_EQ("1024.0 TB", format_size(1ULL << 50));
  EXPECT_EQ("16777216.0 TB", format_size(UINT64_MAX));
}

TEST(FormatSize, TiesGoToEven) {
  EXPECT_EQ("1.2 KB", format_size(1280));
  EXPECT_EQ("1.8 KB", format_size(1792));
  EXPECT_EQ("5.5 MB", format_size(5767168));
}

TEST(FormatDuration, TenthsOfSecondsThenMinutesThenHours) {
  for (auto [elapsed, text] :
       std::initializer_list<std::pair<milliseconds, const char*>>{
           {milliseconds(-5), "0.0 s"},
           {milliseconds(1250), "1.3 s"},
           {milliseconds(59949), "59.9 s"},
           {milliseconds(59950), "1 min 0 s"},
           {milliseconds(3599499), "59 min 59 s"},  // not rounded twice
           {milliseconds(3599500), "1 h 0 min"},
           {seconds(100 * 3600 + 90), "100 h 2 min"}}) {
    EXPECT_EQ(text, format_duration(elapsed)) << elapsed.count();
  }
}

TEST(TransferRate, ElapsedCountsAsAtLeastOneMillisecond) {
  EXPECT_EQ(1000000u, transfer_rate(1000, nanoseconds(0)));
  EXPECT_EQ(1000000u, transfer_rate(1000, nanoseconds(999)));
  EXPECT_EQ("976.6 KB", format_size(transfer_rate(1000, nanoseconds(0))));
}

TEST(TransferRate, TruncatesAndSaturates) {
  EXPECT_EQ("512.0 KB", format_size(transfer_rate(1048576, seconds(2))));
  EXPECT_EQ(0u, transfer_rate(5, seconds(10)));
  EXPECT_EQ(0u, transfer_rate(0, milliseconds(3)));
  EXPECT_EQ(UINT64_MAX, transfer_rate(UINT64_MAX, nanoseconds(1)));
}

}  // namespace
}  // namespace burrowlink::console
