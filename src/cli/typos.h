#pragma once

// Near misses of a known word, for a hint after a mistyped one.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace burrowlink {

// The fewest insertions, deletions and substitutions of single bytes that
// turn `a` into `b` (the Levenshtein distance), or `limit` + 1 for anything
// beyond `limit`: the count stops there.
std::size_t edit_distance(std::string_view a, std::string_view b,
                          std::size_t limit);

// The one word of `known` nearest to `typed` within `limit` edits; nullopt
// when none is that near or two are equally near.
std::optional<std::string_view> nearest_word(
    std::string_view typed, std::span<const std::string_view> known,
    std::size_t limit);

}  // namespace burrowlink
