// The UTF-8 helpers on any bytes; the stronger promises on valid text.
#include "text/unicode.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"

namespace {

using namespace burrowlink;

void check_escaped(std::string_view bytes) {
  const std::string escaped = text::escape_controls(bytes);
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const std::size_t control = fuzz::raw_control_length(escaped.substr(i));
    // Line feed and tab are the two controls that stay.
    FUZZ_CHECK(control == 0 || escaped[i] == '\n' || escaped[i] == '\t');
  }
  if (text::is_valid_utf8(bytes)) FUZZ_CHECK(text::is_valid_utf8(escaped));
}

void check_columns(std::string_view bytes, std::size_t columns, bool valid) {
  const std::string lead = text::leading_columns(bytes, columns);
  FUZZ_CHECK(bytes.starts_with(lead));
  FUZZ_CHECK(text::display_width(lead) <= columns);
  if (valid) FUZZ_CHECK(text::is_valid_utf8(lead));
  if (lead.size() < bytes.size() && valid) {
    // Cut only where the next character would not fit.
    const std::string_view rest = bytes.substr(lead.size());
    const std::size_t next = text::first_scalars(rest, 1).size();
    FUZZ_CHECK(text::display_width(bytes.substr(0, lead.size() + next)) >
               columns);
  }
}

void check_scalars(std::string_view valid, std::size_t count) {
  const std::string_view first = text::first_scalars(valid, count);
  FUZZ_CHECK(valid.starts_with(first));
  FUZZ_CHECK(text::is_valid_utf8(first));
  const std::size_t total = text::scalar_count(valid);
  FUZZ_CHECK(text::scalar_count(first) == std::min(count, total));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool valid = text::is_valid_utf8(bytes);

  const std::string repaired = text::to_valid_utf8(bytes);
  FUZZ_CHECK(text::is_valid_utf8(repaired));
  FUZZ_CHECK(valid == (repaired == bytes));

  const std::string lower = text::to_lower(bytes);
  FUZZ_CHECK(text::is_valid_utf8(lower));
  if (valid) FUZZ_CHECK(text::to_lower(lower) == lower);

  check_escaped(bytes);

  const std::size_t width = text::display_width(bytes);
  for (std::size_t columns : {std::size_t{0}, std::size_t{1}, std::size_t{2},
                              std::size_t{7}, width / 2, width}) {
    check_columns(bytes, columns, valid);
  }
  FUZZ_CHECK(text::leading_columns(bytes, width) == bytes);

  if (!valid) return 0;
  const std::vector<char32_t> scalars = fuzz::decode(bytes);
  FUZZ_CHECK(text::scalar_count(bytes) == scalars.size());
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, scalars.size() / 2,
                            scalars.size() + 1}) {
    check_scalars(bytes, count);
  }

  // Trimming takes white space, and only white space, off both ends.
  const std::string_view trimmed = text::trim_white_space(bytes);
  const auto begin = static_cast<std::size_t>(trimmed.data() - bytes.data());
  FUZZ_CHECK(begin <= bytes.size() && trimmed.size() <= bytes.size() - begin);
  const std::string_view end = bytes.substr(begin + trimmed.size());
  for (std::string_view cut : {bytes.substr(0, begin), end}) {
    for (char32_t c : fuzz::decode(cut)) FUZZ_CHECK(text::is_white_space(c));
  }
  if (!trimmed.empty()) {
    const std::vector<char32_t> inner = fuzz::decode(trimmed);
    FUZZ_CHECK(!text::is_white_space(inner.front()));
    FUZZ_CHECK(!text::is_white_space(inner.back()));
  }
  return 0;
}
