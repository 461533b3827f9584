#include "text/json.h"

#include <iterator>
#include <type_traits>

#include "text/unicode.h"

namespace burrowlink::json {

namespace {

// Hands the body to the parser and records in `*taken` how many bytes it has
// pulled. One space follows the body, so the parser's look-ahead past a
// number is always a real byte, even at the end.
class BodyIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = char;

  BodyIterator(std::string_view body, std::size_t index, std::size_t* taken)
      : m_body(body), m_index(index), m_taken(taken) {}

  char operator*() const {
    return m_index < m_body.size() ? m_body[m_index] : ' ';
  }
  BodyIterator& operator++() {
    *m_taken = ++m_index;
    return *this;
  }
  BodyIterator operator++(int) {
    BodyIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const BodyIterator& other) const {
    return m_index == other.m_index;
  }

 private:
  std::string_view m_body;
  std::size_t m_index;
  std::size_t* m_taken;
};

// The reader that parses on this thread, if any.
thread_local const Reader* t_reader = nullptr;

}  // namespace
}  // namespace burrowlink::json

// The parser refuses a number beyond the range of a double as soon as it has
// read it, before any event, and its interface offers no way to go on. A
// skipped value may be anything, so the parser is handed 0 for a number that
// the reader skips; other numbers are unchanged. This reaches into the
// library's lexer; the readers' tests pin its effect. Declared constexpr as
// the library declares it (clang insists); the constant-evaluation branch is
// there only to make that valid.
template <>
constexpr burrowlink::json::Json::number_float_t nlohmann::detail::lexer<
    burrowlink::json::Json,
    nlohmann::detail::iterator_input_adapter<burrowlink::json::BodyIterator>>::
    get_number_float() const noexcept {
  if (std::is_constant_evaluated()) return value_float;
  const burrowlink::json::Reader* reader = burrowlink::json::t_reader;
  return reader != nullptr && reader->skips_next_value() ? 0 : value_float;
}

namespace burrowlink::json {

void append_string(std::string& out, std::string_view text) {
  std::string valid;
  if (!text::is_valid_utf8(text)) {
    valid = text::to_valid_utf8(text);
    text = valid;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += HEX[(c >> 4) & 0xF];
          out += HEX[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool parse(std::string_view body, Reader& reader) {
  reader.m_taken = 0;
  const BodyIterator first(body, 0, &reader.m_taken);
  const BodyIterator last(body, body.size() + 1, &reader.m_taken);
  // Not strict: what follows the value is the reader's to judge. The parser
  // reports failures through parse_error and does not throw.
  t_reader = &reader;
  const bool parsed =
      Json::sax_parse(first, last, &reader, Json::input_format_t::json, false);
  t_reader = nullptr;
  return parsed;
}

}  // namespace burrowlink::json
