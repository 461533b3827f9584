#include "console/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace burrowlink {

std::string format_size(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* UNITS[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  // Like printf, to_chars rounds the exact binary value, ties to even, as
  // wanted; without printf's format parsing and locale.
  char text[64];
  char* end = std::to_chars(text, text + sizeof text, value,
                            std::chars_format::fixed, 1)
                  .ptr;
  std::string result(text, end);
  result += ' ';
  result += UNITS[unit];
  return result;
}

std::uint64_t transfer_rate(std::uint64_t bytes,
                            std::chrono::nanoseconds elapsed) {
  double seconds = std::chrono::duration<double>(elapsed).count();
  double rate = static_cast<double>(bytes) / std::max(seconds, 0.001);
  if (!(rate >= 0.0)) return 0;  // also catches NaN
  if (rate >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(rate);
}

}  // namespace burrowlink
