#include "cli/typos.h"

#include <algorithm>
#include <vector>

namespace burrowlink {

std::size_t edit_distance(std::string_view a, std::string_view b,
                          std::size_t limit) {
  if (a.size() < b.size()) std::swap(a, b);
  // Each edit changes the length by one at most.
  if (a.size() - b.size() > limit) return limit + 1;
  // One row of the table at a time: row[j] is the distance between the
  // part of `a` done so far and the first j bytes of `b`.
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    std::size_t smallest = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
      smallest = std::min(smallest, row[j]);
    }
    // No later row has a smaller value than the smallest of this one.
    if (smallest > limit) return limit + 1;
  }
  return std::min(row[b.size()], limit + 1);
}

std::optional<std::string_view> nearest_word(
    std::string_view typed, std::span<const std::string_view> known,
    std::size_t limit) {
  std::optional<std::string_view> nearest;
  std::size_t best = limit + 1;
  bool tied = false;
  for (std::string_view word : known) {
    const std::size_t distance = edit_distance(typed, word, limit);
    if (distance < best) {
      nearest = word;
      best = distance;
      tied = false;
    } else if (distance == best && distance <= limit) {
      tied = true;
    }
  }
  if (tied) return std::nullopt;
  return nearest;
}

}  // namespace burrowlink
