#pragma once

// The status line of a file being sent or received, drawn on standard error
// when that is a terminal: name, bytes done of total, percent, current rate,
// time left, and file k of n. It appears once a file has taken half a
// second, is redrawn at most ten times a second, and is erased before any
// other line is written, or ended when an interruption ends the process.
// Elsewhere it draws nothing.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace burrowlink::console {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // For file `index` (from 1) of `count`, `total` bytes long, going on
  // after its first `start` bytes, which count for no rate.
  ProgressLine(std::string_view name, std::uint64_t total, std::size_t index,
               std::size_t count, std::uint64_t start = 0);
  // Erases the line.
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `done` bytes of the file have moved; redraws when it is time to.
  void update(std::uint64_t done) {
    if (m_enabled) update_at(done, Clock::now());
  }
  // Erases the line if it is drawn, so that the next output starts clean.
  void erase();

  // The line's text for a terminal `width` columns wide, from the samples
  // taken so far; for tests.
  std::string render(std::uint64_t done, std::size_t width);
  // Records `done` at `now` as `update` does, drawing nothing; for tests.
  void sample(std::uint64_t done, Clock::time_point now);

 private:
  void update_at(std::uint64_t done, Clock::time_point now);

  bool m_enabled;
  std::string m_name;  // as offered; escaped when drawn
  std::uint64_t m_total;
  std::size_t m_index;
  std::size_t m_count;
  Clock::time_point m_started;
  Clock::time_point m_next_draw;
  // The rate is taken over the last second or so: two samples, the older
  // replaced once the newer is a second old.
  Clock::time_point m_old_at, m_new_at;
  std::uint64_t m_old_done = 0, m_new_done = 0;
  std::size_t m_drawn = 0;  // columns drawn, 0 when nothing shows
};

}  // namespace burrowlink::console
