#include "console/progress.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "console/console.h"
#include "console/format.h"
#include "text/unicode.h"

namespace burrowlink::console {

namespace {

constexpr auto FIRST_DRAW = std::chrono::milliseconds(500);
constexpr auto REDRAW = std::chrono::milliseconds(100);
constexpr auto RATE_WINDOW = std::chrono::seconds(1);
constexpr char LINE_END[] = "\n";
// Columns the name keeps before parts of the status give way.
constexpr std::size_t MIN_NAME_COLUMNS = 16;

std::string duration_text(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--";
  auto s = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60,
                  s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lu:%02lu", s / 60, s % 60);
  }
  return text;
}

}  // namespace

ProgressLine::ProgressLine(std::string_view name, std::uint64_t total,
                           std::size_t index, std::size_t count,
                           std::uint64_t start)
    : m_enabled(on_terminal(Stream::err)),
      m_name(name),
      m_total(total),
      m_index(index),
      m_count(count),
      m_started(Clock::now()),
      m_next_draw(m_started + FIRST_DRAW),
      m_old_at(m_started),
      m_new_at(m_started),
      m_old_done(start),
      m_new_done(start) {}

ProgressLine::~ProgressLine() { erase(); }

void ProgressLine::erase() {
  if (m_drawn == 0) return;
  // Never replaced before it is written, as the next line relies on it.
  print(Stream::err, "\r" + std::string(m_drawn, ' ') + "\r");
  platform::set_interrupt_notice(nullptr);
  m_drawn = 0;
}

void ProgressLine::sample(std::uint64_t done, Clock::time_point now) {
  if (now - m_new_at >= RATE_WINDOW) {
    m_old_at = m_new_at;
    m_old_done = m_new_done;
  }
  m_new_at = now;
  m_new_done = done;
}

void ProgressLine::update_at(std::uint64_t done, Clock::time_point now) {
  sample(done, now);
  if (now < m_next_draw) return;
  m_next_draw = now + REDRAW;
  std::size_t width = platform::terminal_width(Stream::err);
  std::string line = render(done, width);
  std::size_t shown = text::display_width(line);
  // Spaces wipe what a longer line before left; no terminal codes needed.
  std::string out = "\r" + line;
  if (shown < m_drawn) out.append(m_drawn - shown, ' ');
  print_status(Stream::err, out);
  // An interruption ends the process before the line is erased: it ends
  // the line instead, so that the shell's prompt starts on a line of its
  // own (a Windows console puts it right after the cursor).
  if (m_drawn == 0) platform::set_interrupt_notice(LINE_END);
  m_drawn = std::max(shown, m_drawn);
}

std::string ProgressLine::render(std::uint64_t done, std::size_t width) {
  double seconds = std::chrono::duration<double>(m_new_at - m_old_at).count();
  double rate =
      seconds > 0 ? static_cast<double>(m_new_done - m_old_done) / seconds : 0;
  double left =
      rate > 0 ? static_cast<double>(m_total - std::min(done, m_total)) / rate
               : -1;
  auto percent = m_total == 0
                     ? 100
                     : static_cast<int>(100.0 * static_cast<double>(done) /
                                        static_cast<double>(m_total));
  // The status in the order shown; on a narrow terminal parts give way,
  // time left first, while the name would be squeezed below a useful width.
  struct Part {
    std::string text;
    int drop_order;  // 0: never
  };
  std::vector<Part> parts = {
      {"  " + format_size(done) + " of " + format_size(m_total), 4},
      {"  " + std::to_string(percent) + "%", 0},
      {"  " + format_size(static_cast<std::uint64_t>(rate)) + "/s", 2},
      {"  " + duration_text(left) + " left", 1}};
  if (m_count > 1) {
    parts.push_back({"  (" + std::to_string(m_index) + " of " +
                         std::to_string(m_count) + ")",
                     3});
  }
  std::string name = text::escape_controls(m_name);
  const std::size_t wanted_name =
      std::min<std::size_t>(text::display_width(name), MIN_NAME_COLUMNS);
  std::string status;
  for (int dropped = 0; dropped <= 4; ++dropped) {
    status.clear();
    for (const Part& part : parts) {
      if (part.drop_order == 0 || part.drop_order > dropped) {
        status += part.text;
      }
    }
    // One column stays free so that the cursor never wraps the line.
    if (text::display_width(status) + wanted_name + 1 <= width) break;
  }
  if (text::display_width(status) + 1 > width) {
    status = text::leading_columns(status, width > 0 ? width - 1 : 0);
  }
  const std::size_t used = text::display_width(status) + 1;
  const std::size_t room = width > used ? width - used : 0;
  if (text::display_width(name) > room) {
    name = room >= 2 ? text::leading_columns(name, room - 1) + "\xE2\x80\xA6"
                     : std::string(text::leading_columns(name, room));
  }
  return name + status;
}

}  // namespace burrowlink::console
