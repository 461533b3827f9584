#pragma once

// Sizes and rates as the console shows them.

#include <chrono>
#include <cstdint>
#include <string>

namespace burrowlink::console {

// "{n} B" below 1024, otherwise one decimal and KB, MB, GB or TB (base 1024,
// ties to even on the exact binary value).
std::string format_size(std::uint64_t bytes);

// "{s.t} s" below a minute, then "{m} min {s} s", then "{h} h {m} min",
// each rounded to its last unit.
std::string format_duration(std::chrono::nanoseconds elapsed);

// Bytes per second over `elapsed`, counted as at least one millisecond;
// truncated, saturating at 2^64 - 1.
std::uint64_t transfer_rate(std::uint64_t bytes,
                            std::chrono::nanoseconds elapsed);

}  // namespace burrowlink::console
