#include "text/json.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "text/unicode.h"

namespace burrowlink::text::json {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

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

Token Reader::next() {
  m_token = step();
  return m_token;
}

bool Reader::skip() {
  if (m_token != Token::begin_object && m_token != Token::begin_array) {
    return m_token != Token::error;
  }
  const std::size_t depth = m_open.size();
  m_decode = false;
  while (m_open.size() >= depth) {
    if (next() == Token::error) break;
  }
  m_decode = true;
  return m_token != Token::error;
}

Token Reader::step() {
  switch (m_state) {
    case State::value:
      return value(lex());
    case State::first_element: {
      const Lexeme lexeme = lex();
      if (lexeme != Lexeme::end_array) return value(lexeme);
      m_open.pop_back();
      return completed(Token::end_array);
    }
    case State::first_member: {
      const Lexeme lexeme = lex();
      if (lexeme != Lexeme::end_object) return key(lexeme);
      m_open.pop_back();
      return completed(Token::end_object);
    }
    case State::colon: {
      const Lexeme lexeme = lex();
      if (lexeme != Lexeme::colon) return fail(lexeme, Expected::colon);
      return value(lex());
    }
    case State::after_value: {
      const Lexeme lexeme = lex();
      if (m_open.back() == '[') {
        if (lexeme == Lexeme::comma) return value(lex());
        if (lexeme != Lexeme::end_array) {
          return fail(lexeme, Expected::comma_or_bracket);
        }
        m_open.pop_back();
        return completed(Token::end_array);
      }
      if (lexeme == Lexeme::comma) return key(lex());
      if (lexeme != Lexeme::end_object) {
        return fail(lexeme, Expected::comma_or_brace);
      }
      m_open.pop_back();
      return completed(Token::end_object);
    }
    case State::done:
      return Token::end;
    case State::failed:
      break;
  }
  return Token::error;
}

Token Reader::value(Lexeme lexeme) {
  switch (lexeme) {
    case Lexeme::begin_object:
      m_open += '{';
      m_state = State::first_member;
      return Token::begin_object;
    case Lexeme::begin_array:
      m_open += '[';
      m_state = State::first_element;
      return Token::begin_array;
    case Lexeme::string:
      return completed(Token::string);
    case Lexeme::number:
      return completed(Token::number);
    case Lexeme::true_value:
      return completed(Token::true_value);
    case Lexeme::false_value:
      return completed(Token::false_value);
    case Lexeme::null:
      return completed(Token::null);
    default:
      return fail(lexeme, Expected::value);
  }
}

Token Reader::key(Lexeme lexeme) {
  if (lexeme != Lexeme::string) return fail(lexeme, Expected::key);
  m_state = State::colon;
  return Token::key;
}

Token Reader::completed(Token token) {
  m_state = m_open.empty() ? State::done : State::after_value;
  return token;
}

Token Reader::fail(Lexeme lexeme, Expected expected) {
  m_state = State::failed;
  if (lexeme == Lexeme::invalid) {
    m_error = {m_fault, expected, m_fault_offset};
  } else if (lexeme == Lexeme::end) {
    m_error = {Fault::end_of_text, expected, m_text.size()};
  } else {
    m_error = {Fault::unexpected, expected, m_end};
  }
  return Token::error;
}

Reader::Lexeme Reader::lex() {
  while (m_pos < m_text.size() && is_space(m_text[m_pos])) ++m_pos;
  m_begin = m_end = m_pos;
  if (m_pos == m_text.size()) return Lexeme::end;
  switch (m_text[m_pos]) {
    case '{':
      return lex_byte(Lexeme::begin_object);
    case '}':
      return lex_byte(Lexeme::end_object);
    case '[':
      return lex_byte(Lexeme::begin_array);
    case ']':
      return lex_byte(Lexeme::end_array);
    case ':':
      return lex_byte(Lexeme::colon);
    case ',':
      return lex_byte(Lexeme::comma);
    case '"':
      return lex_string();
    case 't':
      return lex_word("true", Lexeme::true_value);
    case 'f':
      return lex_word("false", Lexeme::false_value);
    case 'n':
      return lex_word("null", Lexeme::null);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return lex_number();
    default:
      return invalid(Fault::unexpected, m_pos + 1);
  }
}

Reader::Lexeme Reader::lex_byte(Lexeme lexeme) {
  m_end = ++m_pos;
  return lexeme;
}

Reader::Lexeme Reader::lex_word(std::string_view word, Lexeme lexeme) {
  for (std::size_t i = 1; i < word.size(); ++i) {
    const std::size_t pos = m_begin + i;
    if (pos == m_text.size()) return invalid(Fault::end_of_text, pos);
    if (m_text[pos] != word[i]) return invalid(Fault::unexpected, pos + 1);
  }
  m_end = m_pos = m_begin + word.size();
  return lexeme;
}

Reader::Lexeme Reader::lex_number() {
  const std::size_t size = m_text.size();
  std::size_t pos = m_begin;
  auto digit_at = [&](std::size_t i) {
    return i < size && is_digit(m_text[i]);
  };
  // A sign, point or exponent must have a digit after it.
  auto want_digit = [&]() {
    if (digit_at(pos)) return true;
    return pos == size ? stop(Fault::end_of_text, size)
                       : stop(Fault::bad_number, pos + 1);
  };
  if (m_text[pos] == '-') {
    ++pos;
    if (!want_digit()) return Lexeme::invalid;
  }
  // No leading zeros: "01" is 0, then 1.
  if (m_text[pos] == '0') {
    ++pos;
  } else {
    while (digit_at(pos)) ++pos;
  }
  if (pos < size && m_text[pos] == '.') {
    ++pos;
    if (!want_digit()) return Lexeme::invalid;
    while (digit_at(pos)) ++pos;
  }
  if (pos < size && (m_text[pos] == 'e' || m_text[pos] == 'E')) {
    ++pos;
    if (pos < size && (m_text[pos] == '+' || m_text[pos] == '-')) ++pos;
    if (!want_digit()) return Lexeme::invalid;
    while (digit_at(pos)) ++pos;
  }
  m_end = m_pos = pos;
  return Lexeme::number;
}

Reader::Lexeme Reader::lex_string() {
  const std::size_t size = m_text.size();
  std::size_t pos = m_begin + 1;
  std::size_t run = pos;  // the first byte not yet in m_decoded
  bool escaped = false;
  while (true) {
    if (pos == size) return invalid(Fault::end_in_string, size);
    const auto c = static_cast<unsigned char>(m_text[pos]);
    if (c == '"') break;
    if (c == '\\') {
      if (m_decode) {
        if (!escaped) m_decoded.clear();
        m_decoded.append(m_text, run, pos - run);
      }
      escaped = true;
      if (!lex_escape(pos)) return Lexeme::invalid;
      run = pos;
      continue;
    }
    if (c < 0x20) return invalid(Fault::control_character, pos + 1);
    if (c < 0x80) {
      ++pos;
      continue;
    }
    if (!lex_utf8(pos)) return Lexeme::invalid;
  }
  if (!escaped) {
    m_string = m_text.substr(m_begin + 1, pos - m_begin - 1);
  } else if (m_decode) {
    m_decoded.append(m_text, run, pos - run);
    m_string = m_decoded;
  }
  m_end = m_pos = pos + 1;
  return Lexeme::string;
}

// The multi-byte UTF-8 sequence at `pos`; `pos` moves past it. Well-formed
// only: no overlong forms, no surrogates, nothing past U+10FFFF.
bool Reader::lex_utf8(std::size_t& pos) {
  const std::size_t size = m_text.size();
  const auto c = static_cast<unsigned char>(m_text[pos]);
  std::size_t length = 4;
  unsigned char low = 0x80, high = 0xBF;  // of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c == 0xF0) {
    low = 0x90;
  } else if (c == 0xF4) {
    high = 0x8F;
  } else if (c < 0xF1 || c > 0xF3) {
    return stop(Fault::invalid_utf8, pos + 1);
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (pos + i == size) return stop(Fault::end_in_string, size);
    const auto next = static_cast<unsigned char>(m_text[pos + i]);
    if (next < low || next > high) {
      return stop(Fault::invalid_utf8, pos + i + 1);
    }
    low = 0x80;
    high = 0xBF;
  }
  pos += length;
  return true;
}

// The escape at `pos`, decoded into m_decoded; `pos` moves past it.
bool Reader::lex_escape(std::size_t& pos) {
  const std::size_t size = m_text.size();
  if (pos + 1 == size) return stop(Fault::end_in_string, size);
  char plain;
  switch (m_text[pos + 1]) {
    case '"':
    case '\\':
    case '/':
      plain = m_text[pos + 1];
      break;
    case 'b':
      plain = '\b';
      break;
    case 'f':
      plain = '\f';
      break;
    case 'n':
      plain = '\n';
      break;
    case 'r':
      plain = '\r';
      break;
    case 't':
      plain = '\t';
      break;
    case 'u':
      return lex_unicode_escape(pos);
    default:
      return stop(Fault::invalid_escape, pos + 2);
  }
  if (m_decode) m_decoded += plain;
  pos += 2;
  return true;
}

// The \u escape at `pos`, with its second half when it is a surrogate
// pair; `pos` moves past it.
bool Reader::lex_unicode_escape(std::size_t& pos) {
  const std::size_t size = m_text.size();
  char32_t c = 0;
  if (!lex_hex4(pos + 2, c)) return false;
  pos += 6;
  if (c >= 0xD800 && c <= 0xDBFF) {
    // A high surrogate needs a low one, in an escape of its own.
    for (const char want : {'\\', 'u'}) {
      if (pos == size) return stop(Fault::end_in_string, size);
      if (m_text[pos++] != want) return stop(Fault::lone_surrogate, pos);
    }
    char32_t low = 0;
    if (!lex_hex4(pos, low)) return false;
    pos += 4;
    if (low < 0xDC00 || low > 0xDFFF) return stop(Fault::lone_surrogate, pos);
    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
  } else if (c >= 0xDC00 && c <= 0xDFFF) {
    return stop(Fault::lone_surrogate, pos);
  }
  if (m_decode) text::append_utf8(m_decoded, c);
  return true;
}

bool Reader::lex_hex4(std::size_t pos, char32_t& value) {
  for (std::size_t i = pos; i < pos + 4; ++i) {
    if (i == m_text.size()) {
      return stop(Fault::end_in_string, m_text.size());
    }
    const char c = m_text[i];
    int digit;
    if (is_digit(c)) {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return stop(Fault::invalid_escape, i + 1);
    }
    value = value << 4 | static_cast<char32_t>(digit);
  }
  return true;
}

bool Reader::stop(Fault fault, std::size_t offset) {
  m_fault = fault;
  m_fault_offset = offset;
  return false;
}

Reader::Lexeme Reader::invalid(Fault fault, std::size_t offset) {
  stop(fault, offset);
  return Lexeme::invalid;
}

std::optional<std::uint64_t> to_uint64(std::string_view number) {
  if (number.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : number) {
    if (!is_digit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool in_double_range(std::string_view number) {
  // The value is 0.DDD... times 10^point, DDD... its significant digits.
  constexpr std::size_t NONE = std::string_view::npos;
  const std::size_t size = number.size();
  std::size_t pos = number.starts_with('-') ? 1 : 0;
  std::size_t first = NONE;  // the first digit other than 0
  long long point = 0;
  for (; pos < size && is_digit(number[pos]); ++pos) {
    if (first == NONE && number[pos] != '0') first = pos;
    if (first != NONE) ++point;
  }
  if (pos < size && number[pos] == '.') {
    for (++pos; pos < size && is_digit(number[pos]); ++pos) {
      if (first != NONE) continue;
      if (number[pos] == '0') {
        --point;
      } else {
        first = pos;
      }
    }
  }
  const std::size_t last = pos;
  if (first == NONE) return true;  // zero
  if (pos < size) {                // the exponent
    ++pos;
    const bool negative = pos < size && number[pos] == '-';
    if (pos < size && (number[pos] == '-' || number[pos] == '+')) ++pos;
    // Far beyond any double either way; no count of digits makes up for it.
    constexpr long long CAP = 1'000'000'000'000'000;
    long long exponent = 0;
    for (; pos < size && is_digit(number[pos]); ++pos) {
      exponent = std::min(exponent * 10 + (number[pos] - '0'), CAP);
    }
    point += negative ? -exponent : exponent;
  }
  // The largest double is 1.797...e308: below 10^308 every value fits, from
  // 10^309 on none does, and in between the digits decide, rounded as
  // strtod rounds them.
  if (point <= 308) return true;
  if (point >= 310) return false;
  std::string digits;
  for (pos = first; pos < last; ++pos) {
    if (number[pos] != '.') digits += number[pos];
  }
  digits.erase(digits.find_last_not_of('0') + 1);
  // Without a decimal point, so that no locale comes into it.
  digits += 'e' + std::to_string(309 - static_cast<long long>(digits.size()));
  return std::isfinite(std::strtod(digits.c_str(), nullptr));
}

}  // namespace burrowlink::text::json
