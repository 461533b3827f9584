#include "console/progress.h"

#include <gtest/gtest.h>

#include "text/unicode.h"

namespace burrowlink::console {
namespace {

using namespace std::chrono_literals;
using Clock = ProgressLine::Clock;

TEST(ProgressLine, ShowsSizesPercentRateTimeLeftAndPosition) {
  ProgressLine line("photo.jpg", 100 * 1024 * 1024, 2, 5);
  Clock::time_point start = Clock::now();
  line.sample(10 * 1024 * 1024, start + 1s);
  line.sample(20 * 1024 * 1024, start + 2s);
  // 10 MB in the last second: 80 MB left take 8 seconds.
  EXPECT_EQ(
      "photo.jpg  20.0 MB of 100.0 MB  20%  10.0 MB/s  0:08 left  (2 of 5)",
      line.render(20 * 1024 * 1024, 120));
}

// Bytes the receiver had are no rate: 10 MB a second from 800 MB on.
TEST(ProgressLine, CountsTheRateFromWhereAFileGoesOn) {
  constexpr std::uint64_t MB = 1024 * 1024;
  ProgressLine line("big.iso", 1000 * MB, 1, 1, 800 * MB);
  Clock::time_point start = Clock::now();
  line.sample(805 * MB, start + 500ms);
  EXPECT_EQ("big.iso  805.0 MB of 1000.0 MB  80%  10.0 MB/s  0:20 left",
            line.render(805 * MB, 120));
}

TEST(ProgressLine, ShortensTheNameToTheWidthAndHidesControls) {
  ProgressLine line("a very long name\x1b[2J.bin", 1000, 1, 1);
  std::string shown = line.render(0, 60);
  EXPECT_EQ(59u, text::display_width(shown)) << shown;
  EXPECT_EQ(std::string::npos, shown.find('\x1b'));
  EXPECT_NE(std::string::npos, shown.find("\xE2\x80\xA6  0 B of 1000 B  0%"))
      << shown;
  EXPECT_NE(std::string::npos, shown.find("--:-- left")) << shown;
}

// A narrow terminal would wrap the line and scroll a new one on every
// redraw: the line fits, and the rate and the time left give way first.
TEST(ProgressLine, FitsANarrowTerminal) {
  ProgressLine line("holiday-photos.tar", 100 * 1024 * 1024, 2, 5);
  struct Case {
    std::size_t width;
    std::string line;
  };
  for (const Case& c : std::vector<Case>{
           {80,
            "holiday-photos.tar  0 B of 100.0 MB  0%  0 B/s  --:-- left  "
            "(2 of 5)"},
           {60, "holiday-photos.tar  0 B of 100.0 MB  0%  0 B/s  (2 of 5)"},
           {40, "holiday-photos.tar  0 B of 100.0 MB  0%"},
           {30, "holiday-photos.tar  0%"},
           {12, "holida\xE2\x80\xA6  0%"},
       }) {
    std::string shown = line.render(0, c.width);
    EXPECT_EQ(c.line, shown) << c.width;
    EXPECT_LT(text::display_width(shown), c.width) << c.width;
  }
}

}  // namespace
}  // namespace burrowlink::console
