#pragma once

// JSON text as the protocol's records use it: strings written with the
// escaping every peer expects, and a strict event reader that can skip any
// value, a number beyond the range of a double included.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace burrowlink::json {

// Ordered, so that a value shown in a message keeps its members' order.
using Json = nlohmann::ordered_json;

// Appends `text` as a JSON string: the quote, the backslash and control
// characters escaped (in their short form where JSON has one), all else as
// its UTF-8 bytes; invalid UTF-8 becomes U+FFFD.
void append_string(std::string& out, std::string_view text);

// Compact text of `value`; invalid UTF-8 becomes U+FFFD.
std::string dump(const Json& value);

// A reader of parser events that says which values it skips, so that the
// parser takes any number there (it would refuse one beyond the range of a
// double before any event).
class Reader : public nlohmann::json_sax<Json> {
 public:
  // True when the value that starts next is skipped.
  virtual bool skips_next_value() const = 0;

 protected:
  // Bytes of the body the parser has taken so far; it looks one byte past
  // a number.
  std::size_t m_taken = 0;

 private:
  friend bool parse(std::string_view body, Reader& reader);
};

// Feeds the JSON value at the start of `body` to `reader`. False when the
// parser or the reader stopped; bytes after the value are left to the
// reader, at `m_taken` (the parser looks one byte past a number).
bool parse(std::string_view body, Reader& reader);

}  // namespace burrowlink::json
