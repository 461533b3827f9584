#include "console/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace burrowlink::console {

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

std::string format_duration(std::chrono::nanoseconds elapsed) {
  const std::int64_t ns = std::max<std::int64_t>(elapsed.count(), 0);
  // Rounded from the exact value for each unit, never from a rounded one.
  auto in = [ns](std::int64_t unit) {
    return ns / unit + (ns % unit >= unit / 2 ? 1 : 0);
  };
  const std::int64_t tenths = in(100'000'000);
  if (tenths < 600) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
           " s";
  }
  const std::int64_t seconds = in(1'000'000'000);
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + " min " +
           std::to_string(seconds % 60) + " s";
  }
  const std::int64_t minutes = in(60'000'000'000);
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) +
         " min";
}

std::uint64_t transfer_rate(std::uint64_t bytes,
                            std::chrono::nanoseconds elapsed) {
  double seconds = std::chrono::duration<double>(elapsed).count();
  double rate = static_cast<double>(bytes) / std::max(seconds, 0.001);
  if (!(rate >= 0.0)) return 0;  // also catches NaN
  if (rate >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(rate);
}

}  // namespace burrowlink::console
