#include "protocol/offer.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/wire.h"
#include "text/json.h"

namespace burrowlink {
namespace {

using json::Json;

constexpr std::string_view SPACE = " \t\n\r";

// Where the next value goes, and so what it must be.
enum class Slot {
  offer,
  from,
  from_id,
  files,
  text,
  file,
  name,
  size,
  folder,
  skip,
  extra
};

struct Field {
  std::string_view key;
  Slot slot;
  bool required;
};

constexpr std::array<Field, 4> OFFER_FIELDS{{{"from", Slot::from, true},
                                             {"fromId", Slot::from_id, false},
                                             {"files", Slot::files, false},
                                             {"text", Slot::text, false}}};
// "folder" is ours: an object member only, which other readers skip.
constexpr std::array<Field, 3> FILE_FIELDS{{{"name", Slot::name, true},
                                            {"size", Slot::size, true},
                                            {"folder", Slot::folder, false}}};
constexpr std::size_t FILE_ARRAY_FIELDS = 2;

std::string expected(Slot slot) {
  switch (slot) {
    case Slot::offer:
      return "struct Offer";
    case Slot::file:
      return "struct FileInfo";
    case Slot::files:
      return "a sequence";
    case Slot::size:
      return "u64";
    default:
      return "a string";
  }
}

// Our wording for a syntax error of the parser, whose text reads
// "... while parsing {context} - {problem}".
std::string syntax_problem(const nlohmann::json::exception& ex, bool at_end,
                           bool in_list) {
  if (ex.id == 406) return "number out of range";
  const std::string_view what = ex.what();
  const std::size_t dash = what.find(" - ");
  const std::string_view context = what.substr(0, dash);
  const std::string_view problem =
      dash == std::string_view::npos ? "" : what.substr(dash + 3);
  if (problem.starts_with("invalid string")) {
    if (at_end) return "EOF while parsing a string";
    if (problem.find("control character") != std::string_view::npos) {
      return "control character (\\u0000-\\u001F) found while parsing a string";
    }
    if (problem.find("UTF-8") != std::string_view::npos) {
      return "invalid unicode code point";
    }
    if (problem.find("surrogate") != std::string_view::npos) {
      return "lone surrogate in hex escape";
    }
    return "invalid escape";
  }
  const char* object_eof = "EOF while parsing an object";
  if (context.ends_with("object key")) {
    return at_end ? object_eof : "key must be a string";
  }
  if (context.ends_with("object separator")) {
    return at_end ? object_eof : "expected `:`";
  }
  if (context.ends_with("object")) {
    return at_end ? object_eof : "expected `,` or `}`";
  }
  if (context.ends_with("array")) {
    return at_end ? "EOF while parsing a list" : "expected `,` or `]`";
  }
  if (at_end) {
    return in_list ? "EOF while parsing a list" : "EOF while parsing a value";
  }
  if (problem.starts_with("invalid number")) return "invalid number";
  return "expected value";
}

// Builds the offer from the parser's events, one level per open record,
// list or skipped value, and stops at the first fault.
class OfferReader : public json::Reader {
 public:
  explicit OfferReader(std::string_view body) : m_body(body) {}

  Result<Offer> read() {
    // The parser would skip a byte order mark; strict JSON has none.
    if (m_body.starts_with('\xEF')) return located("expected value", 1);
    if (!json::parse(m_body, *this)) return std::move(*m_error);
    // A record ends with a bracket, so the parser took no byte after it.
    const std::size_t rest = skip_space(m_taken);
    if (rest < m_body.size()) return located("trailing characters", rest + 1);
    return std::move(m_offer);
  }

  // True when the next value is skipped: an unknown member's, part of one,
  // or an element past a record's last field, which is refused as trailing.
  bool skips_next_value() const override {
    if (m_levels.empty()) return false;
    const Level& top = m_levels.back();
    if (top.kind == Kind::skip) return true;
    if (top.object) return top.pending == Slot::skip;
    return top.kind != Kind::files &&
           top.count >= array_fields_of(top.kind).size();
  }

  bool null() override {
    const Slot slot = take_slot();
    if (slot == Slot::from_id) {
      m_offer.from_id.reset();
    } else if (slot == Slot::text) {
      m_offer.text.reset();
    } else if (slot != Slot::skip) {
      return mismatch(slot, "null", m_taken);
    }
    return done(m_taken);
  }

  bool boolean(bool value) override {
    const Slot slot = take_slot();
    if (slot != Slot::skip) {
      return mismatch(slot, value ? "boolean `true`" : "boolean `false`",
                      m_taken);
    }
    return done(m_taken);
  }

  // Only numbers with a minus sign arrive here; "-0" is still zero.
  bool number_integer(number_integer_t value) override {
    const Slot slot = take_slot();
    const std::size_t end = m_taken - 1;  // the parser looked one byte ahead
    if (slot == Slot::skip) return done(end);
    if (slot == Slot::size && value == 0) {
      m_file.size = 0;
      return done(end);
    }
    const std::string found = "integer `" + integer_text(end) + "`";
    if (slot == Slot::size) {
      return fail("invalid value: " + found + ", expected u64", end);
    }
    return mismatch(slot, found, end);
  }

  bool number_unsigned(number_unsigned_t value) override {
    const Slot slot = take_slot();
    const std::size_t end = m_taken - 1;
    if (slot == Slot::size) {
      m_file.size = value;
    } else if (slot != Slot::skip) {
      return mismatch(slot, "integer `" + integer_text(end) + "`", end);
    }
    return done(end);
  }

  // Integers beyond 64 bits arrive here too.
  bool number_float(number_float_t, const string_t& text) override {
    const Slot slot = take_slot();
    const std::size_t end = m_taken - 1;
    if (slot == Slot::skip) return done(end);
    const bool integral = text.find_first_of(".eE") == std::string::npos;
    const std::string found =
        (integral ? "integer `" : "floating point `") + text + "`";
    if (slot == Slot::size && integral) {
      return fail("invalid value: " + found + ", expected u64", end);
    }
    return mismatch(slot, found, end);
  }

  bool string(string_t& value) override {
    const Slot slot = take_slot();
    switch (slot) {
      case Slot::from:
        m_offer.from = std::move(value);
        break;
      case Slot::from_id:
        m_offer.from_id = std::move(value);
        break;
      case Slot::text:
        m_offer.text = std::move(value);
        break;
      case Slot::name:
        m_file.name = std::move(value);
        break;
      case Slot::folder:
        m_file.folder = std::move(value);
        break;
      case Slot::skip:
        break;
      default:
        return mismatch(slot, "string " + json::dump(Json(value)), m_taken);
    }
    return done(m_taken);
  }

  bool binary(binary_t&) override { return true; }  // not in JSON text

  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }

  bool key(string_t& name) override {
    Level& top = m_levels.back();
    if (top.kind == Kind::skip) return true;
    const std::span<const Field> fields = fields_of(top.kind);
    top.pending = Slot::skip;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].key != name) continue;
      if (top.seen & (1u << i)) {
        return fail("duplicate field `" + name + "`", m_taken);
      }
      top.seen |= 1u << i;
      top.pending = fields[i].slot;
    }
    return true;
  }

  bool end_object() override {
    const Level& top = m_levels.back();
    if (top.kind == Kind::skip) return close_skipped();
    const std::span<const Field> fields = fields_of(top.kind);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required && !(top.seen & (1u << i))) {
        return fail("missing field `" + std::string(fields[i].key) + "`",
                    m_taken);
      }
    }
    return close_record();
  }

  bool end_array() override {
    const Level& top = m_levels.back();
    if (top.kind == Kind::skip) return close_skipped();
    if (top.kind == Kind::files) {
      m_levels.pop_back();
      return done(m_taken);
    }
    const std::size_t wanted = array_fields_of(top.kind).size();
    if (top.count < wanted) {
      return fail("invalid length " + std::to_string(top.count) +
                      ", expected " + expected(slot_of(top.kind)) + " with " +
                      std::to_string(wanted) + " elements",
                  m_taken);
    }
    return close_record();
  }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::json::exception& ex) override {
    // Past the body means the parser met its end (or the space we add).
    const bool at_end = position > m_body.size();
    const std::size_t last = m_body.find_last_not_of(SPACE);
    const bool in_list = last != std::string_view::npos && m_body[last] == '[';
    return fail(syntax_problem(ex, at_end, in_list), position);
  }

 private:
  enum class Kind { offer, file, files, skip };

  struct Level {
    Kind kind;
    bool object = false;        // a record written as an object, not an array
    std::size_t count = 0;      // elements taken; nesting depth when skipping
    unsigned seen = 0;          // bit i: field i has appeared
    Slot pending = Slot::skip;  // where the current member's value goes
  };

  // The fields of a record written as an array.
  static std::span<const Field> array_fields_of(Kind kind) {
    if (kind == Kind::offer) return OFFER_FIELDS;
    return std::span(FILE_FIELDS).first(FILE_ARRAY_FIELDS);
  }
  static std::span<const Field> fields_of(Kind kind) {
    if (kind == Kind::offer) return OFFER_FIELDS;
    return FILE_FIELDS;
  }
  static Slot slot_of(Kind kind) {
    return kind == Kind::offer ? Slot::offer : Slot::file;
  }

  // Claims the place of the value that starts now.
  Slot take_slot() {
    if (m_levels.empty()) return Slot::offer;
    Level& top = m_levels.back();
    if (top.kind == Kind::skip) return Slot::skip;
    if (top.kind == Kind::files) return Slot::file;
    if (top.object) return top.pending;
    const std::span<const Field> fields = array_fields_of(top.kind);
    return top.count < fields.size() ? fields[top.count++].slot : Slot::extra;
  }

  bool open(bool object) {
    if (!m_levels.empty() && m_levels.back().kind == Kind::skip) {
      ++m_levels.back().count;
      return true;
    }
    const Slot slot = take_slot();
    if (slot == Slot::offer || slot == Slot::file) {
      if (slot == Slot::file) m_file = {};
      m_levels.push_back(
          {slot == Slot::offer ? Kind::offer : Kind::file, object});
    } else if (slot == Slot::files && !object) {
      // Room for as many files as a receiver takes: address space only,
      // where growing the list step by step touched each page twice.
      m_offer.files.reserve(MAX_OFFER_FILES);
      m_levels.push_back({Kind::files});
    } else if (slot == Slot::skip) {
      m_levels.push_back({Kind::skip, object, 1});
    } else {
      // Reported before the bracket, as nothing of the value was used.
      return mismatch(slot, object ? "map" : "sequence", m_taken - 1);
    }
    return true;
  }

  bool close_skipped() {
    if (--m_levels.back().count == 0) m_levels.pop_back();
    return done(m_taken);
  }

  bool close_record() {
    const Kind kind = m_levels.back().kind;
    m_levels.pop_back();
    if (kind == Kind::file) m_offer.files.push_back(std::move(m_file));
    return done(m_taken);
  }

  bool done(std::size_t end) {
    m_value_end = end;
    return true;
  }

  bool mismatch(Slot slot, const std::string& found, std::size_t end) {
    if (slot == Slot::extra) {
      // Points at the first byte of the surplus element, after its comma.
      const std::size_t start = skip_space(skip_space(m_value_end) + 1);
      return fail("trailing characters", start + 1);
    }
    return fail("invalid type: " + found + ", expected " + expected(slot), end);
  }

  bool fail(const std::string& text, std::size_t offset) {
    m_error = located(text, offset);
    return false;
  }

  // `text` with the line and column of the first `offset` bytes.
  Error located(const std::string& text, std::size_t offset) const {
    const std::string_view head = m_body.substr(0, offset);
    const auto line = 1 + std::count(head.begin(), head.end(), '\n');
    const std::size_t line_start = head.rfind('\n') + 1;  // npos + 1 is 0
    return Error{text + " at line " + std::to_string(line) + " column " +
                     std::to_string(head.size() - line_start),
                 ErrorKind::invalid_data};
  }

  std::size_t skip_space(std::size_t from) const {
    return std::min(m_body.find_first_not_of(SPACE, from), m_body.size());
  }

  // The digits and sign of the integer that ends at `end`.
  std::string integer_text(std::size_t end) const {
    std::size_t start = end;
    while (start > 0 &&
           (std::isdigit(static_cast<unsigned char>(m_body[start - 1])) ||
            m_body[start - 1] == '-')) {
      --start;
    }
    return std::string(m_body.substr(start, end - start));
  }

  std::string_view m_body;
  std::size_t m_value_end = 0;  // just past the last complete value
  std::vector<Level> m_levels;
  Offer m_offer;
  FileInfo m_file;
  std::optional<Error> m_error;
};

void append_optional(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    json::append_string(out, *text);
  } else {
    out += "null";
  }
}

}  // namespace

// Written by hand: an offer of a thousand files is built in a fraction of
// the time a document tree takes.
std::string offer_to_json(const Offer& offer) {
  std::string out;
  out.reserve(128 + 48 * offer.files.size());
  out += "{\"from\":";
  json::append_string(out, offer.from);
  out += ",\"fromId\":";
  append_optional(out, offer.from_id);
  out += ",\"files\":[";
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"name\":";
    json::append_string(out, offer.files[i].name);
    out += ",\"size\":";
    out += std::to_string(offer.files[i].size);
    if (offer.files[i].folder) {
      out += ",\"folder\":";
      json::append_string(out, *offer.files[i].folder);
    }
    out += '}';
  }
  out += "],\"text\":";
  append_optional(out, offer.text);
  out += '}';
  return out;
}

Result<Offer> offer_from_json(std::string_view body) {
  return OfferReader(body).read();
}

Status write_offer(platform::TcpStream& stream, const Offer& offer) {
  const std::string body = offer_to_json(offer);
  if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Error{"message too large", ErrorKind::invalid_data};
  }
  const auto length = static_cast<std::uint32_t>(body.size());
  // Big-endian, most significant byte first.
  const std::array<std::uint8_t, 4> prefix{
      static_cast<std::uint8_t>(length >> 24),
      static_cast<std::uint8_t>(length >> 16),
      static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length)};
  if (Status written = stream.write_all(prefix); !written.ok()) {
    return written;
  }
  return stream.write_all(
      {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
}

Result<Offer> read_offer(platform::TcpStream& stream) {
  std::array<std::uint8_t, 4> prefix{};
  if (Status got = stream.read_exact(prefix); !got.ok()) {
    return std::move(got).error();
  }
  const std::uint32_t length =
      std::uint32_t{prefix[0]} << 24 | std::uint32_t{prefix[1]} << 16 |
      std::uint32_t{prefix[2]} << 8 | std::uint32_t{prefix[3]};
  if (length > MAX_OFFER_BYTES) {
    return Error{"message too large", ErrorKind::invalid_data};
  }
  std::string body(length, '\0');
  if (Status got = stream.read_exact(
          {reinterpret_cast<std::uint8_t*>(body.data()), body.size()});
      !got.ok()) {
    return std::move(got).error();
  }
  return offer_from_json(body);
}

}  // namespace burrowlink
