#pragma once

// JSON text as the protocol's records use it: strings written with the
// escaping every peer expects, and a strict reader (RFC 8259, UTF-8) that
// hands out one token at a time with its byte offsets, so that each record's
// reader decides what a value means and words its own errors.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace burrowlink::text::json {

// Appends `text` as a JSON string: the quote, the backslash and control
// characters escaped (in their short form where JSON has one), all else as
// its UTF-8 bytes; invalid UTF-8 becomes U+FFFD.
void append_string(std::string& out, std::string_view text);

enum class Token : std::uint8_t {
  begin_object,
  end_object,
  begin_array,
  end_array,
  key,     // a member's name, in string()
  string,  // in string()
  number,  // its text in number()
  true_value,
  false_value,
  null,
  end,    // the value is complete; nothing after it is read
  error,  // in error(); every later call returns it again
};

// What stopped the reader.
enum class Fault : std::uint8_t {
  end_of_text,        // the text ended before the value did
  end_in_string,      // ... within a string
  unexpected,         // a byte or a token that cannot stand here
  bad_number,         // a sign, point or exponent without its digits
  control_character,  // U+0000 to U+001F unescaped in a string
  invalid_utf8,       // in a string
  lone_surrogate,     // half a surrogate pair in \u escapes
  invalid_escape,     // an unknown escape, or \u without four hex digits
};

// What the reader looked for when it stopped.
enum class Expected : std::uint8_t {
  value,
  key,               // a member's name (or `}` right after `{`)
  colon,             // after a member's name
  comma_or_brace,    // after a member's value
  comma_or_bracket,  // after an element
};

struct Error {
  Fault fault;
  Expected expected;
  // The bytes read up to and including the one that showed the fault (the
  // last of a token that cannot stand where it is); the text's size when it
  // ended.
  std::size_t offset;
};

// Reads one JSON value from the start of a text, token by token. The text
// must outlive the reader.
class Reader {
 public:
  explicit Reader(std::string_view text) : m_text(text) {}

  Token next();

  // After begin_object or begin_array: reads to the end of that value,
  // checking it as strictly but decoding no string. After another token it
  // reads nothing. False on an error.
  bool skip();

  // The decoded key or string; valid until the next call.
  std::string_view string() const { return m_string; }
  std::string_view number() const {
    return m_text.substr(m_begin, m_end - m_begin);
  }
  // Where the last token starts, and where it ends.
  std::size_t begin() const { return m_begin; }
  std::size_t end() const { return m_end; }
  const Error& error() const { return m_error; }

 private:
  enum class Lexeme : std::uint8_t {
    begin_object,
    end_object,
    begin_array,
    end_array,
    colon,
    comma,
    string,
    number,
    true_value,
    false_value,
    null,
    end,
    invalid,  // m_fault at m_fault_offset
  };
  enum class State : std::uint8_t {
    value,
    first_member,   // after `{`
    first_element,  // after `[`
    colon,          // after a member's name
    after_value,
    done,
    failed,
  };

  Token step();
  Token value(Lexeme lexeme);
  Token key(Lexeme lexeme);
  Token completed(Token token);
  Token fail(Lexeme lexeme, Expected expected);

  Lexeme lex();
  Lexeme lex_byte(Lexeme lexeme);
  Lexeme lex_word(std::string_view word, Lexeme lexeme);
  Lexeme lex_number();
  Lexeme lex_string();
  bool lex_utf8(std::size_t& pos);
  bool lex_escape(std::size_t& pos);
  bool lex_unicode_escape(std::size_t& pos);
  bool lex_hex4(std::size_t pos, char32_t& value);
  bool stop(Fault fault, std::size_t offset);
  Lexeme invalid(Fault fault, std::size_t offset);

  std::string_view m_text;
  std::size_t m_pos = 0;
  std::size_t m_begin = 0;
  std::size_t m_end = 0;
  std::string_view m_string;
  std::string m_decoded;  // a string with escapes
  std::string m_open;     // `{` or `[` for each value still open
  State m_state = State::value;
  Token m_token = Token::end;
  bool m_decode = true;
  Fault m_fault = Fault::unexpected;
  std::size_t m_fault_offset = 0;
  Error m_error{};
};

// The value of a number token without sign, fraction or exponent that fits
// in 64 bits.
std::optional<std::uint64_t> to_uint64(std::string_view number);

// False for a number token beyond the range of a double, which would round
// to infinity.
bool in_double_range(std::string_view number);

}  // namespace burrowlink::text::json
