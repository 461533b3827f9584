// The offer's reader: strict JSON, with the wording of its errors.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "protocol/extensions.h"
#include "protocol/offer.h"
#include "protocol/wire.h"
#include "text/json.h"
#include "text/json_members.h"

namespace burrowlink {
namespace {

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
  modified,
  extensions,
  skip,
  extra
};

// Each record's members and where their values go. "folder" and
// "modified" are ours: object members only, which other readers skip.
// "extensions" and "modified" may repeat: no error, whatever they hold.
constexpr std::array<text::json::Member, 5> OFFER_MEMBERS{
    {{.name = "from", .required = true},
     {.name = "fromId"},
     {.name = "files"},
     {.name = "text"},
     {.name = "extensions", .repeatable = true}}};
constexpr std::array<Slot, 5> OFFER_SLOTS{
    Slot::from, Slot::from_id, Slot::files, Slot::text, Slot::extensions};
constexpr std::array<text::json::Member, 4> FILE_MEMBERS{
    {{.name = "name", .required = true},
     {.name = "size", .required = true},
     {.name = "folder"},
     {.name = "modified", .repeatable = true}}};
constexpr std::array<Slot, 4> FILE_SLOTS{Slot::name, Slot::size, Slot::folder,
                                         Slot::modified};
// Written as an array, a record holds the shared members alone.
constexpr std::size_t OFFER_ARRAY_FIELDS = 4;
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

// Our wording for a fault of the JSON text. At its end, a value missing
// right after `[` is reported as the list's.
std::string syntax_problem(const text::json::Error& error,
                           std::string_view body) {
  using text::json::Expected;
  using text::json::Fault;
  switch (error.fault) {
    case Fault::end_in_string:
      return "EOF while parsing a string";
    case Fault::control_character:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Fault::invalid_utf8:
      return "invalid unicode code point";
    case Fault::lone_surrogate:
      return "lone surrogate in hex escape";
    case Fault::invalid_escape:
      return "invalid escape";
    case Fault::end_of_text:
      switch (error.expected) {
        case Expected::value: {
          const std::size_t last = body.find_last_not_of(SPACE);
          const bool in_list =
              last != std::string_view::npos && body[last] == '[';
          return in_list ? "EOF while parsing a list"
                         : "EOF while parsing a value";
        }
        case Expected::comma_or_bracket:
          return "EOF while parsing a list";
        default:
          return "EOF while parsing an object";
      }
    case Fault::bad_number:
      if (error.expected == Expected::value) return "invalid number";
      break;
    case Fault::unexpected:
      break;
  }
  switch (error.expected) {
    case Expected::value:
      return "expected value";
    case Expected::key:
      return "key must be a string";
    case Expected::colon:
      return "expected `:`";
    case Expected::comma_or_brace:
      return "expected `,` or `}`";
    case Expected::comma_or_bracket:
      break;
  }
  return "expected `,` or `]`";
}

// Builds the offer from the JSON tokens, one function per level of
// records, and stops at the first fault. Unknown members' values are
// skipped whatever they hold, numbers beyond the range of a double
// included.
class OfferReader {
 public:
  explicit OfferReader(std::string_view body) : m_body(body), m_json(body) {}

  Result<Offer> read() {
    if (!value(m_json.next(), Slot::offer)) return std::move(*m_error);
    // Only white space may follow the record.
    const std::size_t rest = skip_space(m_json.end());
    if (rest < m_body.size()) return located("trailing characters", rest + 1);
    return std::move(m_offer);
  }

 private:
  enum class Kind { offer, file };

  static std::span<const text::json::Member> members_of(Kind kind) {
    if (kind == Kind::offer) return OFFER_MEMBERS;
    return FILE_MEMBERS;
  }
  static std::span<const Slot> slots_of(Kind kind) {
    if (kind == Kind::offer) return OFFER_SLOTS;
    return FILE_SLOTS;
  }
  // The slots of a record written as an array.
  static std::span<const Slot> array_slots_of(Kind kind) {
    return slots_of(kind).first(kind == Kind::offer ? OFFER_ARRAY_FIELDS
                                                    : FILE_ARRAY_FIELDS);
  }

  // Takes the value that starts with `token` into `slot`.
  bool value(text::json::Token token, Slot slot) {
    using text::json::Token;
    if (token == Token::error) return syntax_error();
    if (slot == Slot::skip) return m_json.skip() || syntax_error();
    if (slot == Slot::modified) {
      const std::optional<std::uint64_t> time =
          token == Token::number ? text::json::to_uint64(m_json.number())
                                 : std::nullopt;
      m_file.modified.reset();
      if (time && *time <= std::uint64_t{INT64_MAX} && m_modified_seen == 1) {
        m_file.modified = static_cast<std::int64_t>(*time);
      }
      return m_json.skip() || syntax_error();
    }
    if (slot == Slot::extensions) {
      bool ok = true;
      m_offer.extensions = read_offer_extensions(m_json, token, ok);
      if (m_extensions_seen > 1) m_offer.extensions.reset();
      return ok || syntax_error();
    }
    if (slot == Slot::extra) {
      // An element past a record's last field, whatever it holds.
      return fail("trailing characters", m_json.begin() + 1);
    }
    switch (token) {
      case Token::begin_object:
      case Token::begin_array:
        return open(slot, token == Token::begin_object);
      case Token::null:
        return null(slot);
      case Token::true_value:
        return mismatch(slot, "boolean `true`");
      case Token::false_value:
        return mismatch(slot, "boolean `false`");
      case Token::number:
        return number(slot);
      default:  // a string: nothing else starts a value
        return string(slot);
    }
  }

  bool open(Slot slot, bool object) {
    if (slot == Slot::offer || slot == Slot::file) {
      const Kind kind = slot == Slot::offer ? Kind::offer : Kind::file;
      if (kind == Kind::file) {
        m_file = {};
        m_modified_seen = 0;
      }
      if (!(object ? members(kind) : elements(kind))) return false;
      if (kind == Kind::file) m_offer.files.push_back(std::move(m_file));
      return true;
    }
    if (slot == Slot::files && !object) return files();
    // Reported before the bracket, as nothing of the value was used.
    return fail("invalid type: " + std::string(object ? "map" : "sequence") +
                    ", expected " + expected(slot),
                m_json.begin());
  }

  bool members(Kind kind) {
    const std::span<const Slot> slots = slots_of(kind);
    const text::json::MembersRead read = text::json::read_members(
        m_json, members_of(kind), {},
        [&](std::size_t member, text::json::Token first) {
          const Slot slot = slots[member];
          if (slot == Slot::extensions) m_extensions_seen += 1;
          if (slot == Slot::modified) m_modified_seen += 1;
          return value(first, slot);
        });
    const auto name = [&] {
      return std::string(members_of(kind)[read.member].name);
    };
    switch (read.end) {
      case text::json::MembersEnd::read:
        return true;
      case text::json::MembersEnd::repeated:
        return fail("duplicate field `" + name() + "`", m_json.end());
      case text::json::MembersEnd::missing:
        return fail("missing field `" + name() + "`", m_json.end());
      case text::json::MembersEnd::stopped:
        return false;  // m_error says why
      default:
        return syntax_error();
    }
  }

  bool elements(Kind kind) {
    const std::span<const Slot> slots = array_slots_of(kind);
    std::size_t count = 0;
    text::json::Token token;
    while ((token = m_json.next()) != text::json::Token::end_array) {
      const Slot slot = count < slots.size() ? slots[count++] : Slot::extra;
      if (!value(token, slot)) return false;
    }
    if (count < slots.size()) {
      return fail("invalid length " + std::to_string(count) + ", expected " +
                      expected(kind == Kind::offer ? Slot::offer : Slot::file) +
                      " with " + std::to_string(slots.size()) + " elements",
                  m_json.end());
    }
    return true;
  }

  bool files() {
    // Room for as many files as a receiver takes: address space only,
    // where growing the list step by step touched each page twice.
    m_offer.files.reserve(MAX_OFFER_FILES);
    text::json::Token token;
    while ((token = m_json.next()) != text::json::Token::end_array) {
      if (!value(token, Slot::file)) return false;
    }
    return true;
  }

  bool null(Slot slot) {
    if (slot == Slot::from_id) {
      m_offer.from_id.reset();
    } else if (slot == Slot::text) {
      m_offer.text.reset();
    } else {
      return mismatch(slot, "null");
    }
    return true;
  }

  // As u64 only where it fits; "-0" is still zero.
  bool number(Slot slot) {
    const std::string_view text = m_json.number();
    if (const std::optional<std::uint64_t> size = text::json::to_uint64(text)) {
      if (slot != Slot::size) {
        return mismatch(slot, "integer `" + std::string(text) + "`");
      }
      m_file.size = *size;
      return true;
    }
    if (!text::json::in_double_range(text)) {
      return fail("number out of range", m_json.end());
    }
    if (slot == Slot::size && text == "-0") {
      m_file.size = 0;
      return true;
    }
    const bool integral = text.find_first_of(".eE") == std::string::npos;
    const std::string found =
        (integral ? "integer `" : "floating point `") + std::string(text) + "`";
    if (slot == Slot::size && integral) {
      return fail("invalid value: " + found + ", expected u64", m_json.end());
    }
    return mismatch(slot, found);
  }

  bool string(Slot slot) {
    const std::string_view text = m_json.string();
    switch (slot) {
      case Slot::from:
        m_offer.from = text;
        return true;
      case Slot::from_id:
        m_offer.from_id.emplace(text);
        return true;
      case Slot::text:
        m_offer.text.emplace(text);
        return true;
      case Slot::name:
        m_file.name = text;
        return true;
      case Slot::folder:
        m_file.folder.emplace(text);
        return true;
      default: {
        std::string found = "string ";
        text::json::append_string(found, text);
        return mismatch(slot, found);
      }
    }
  }

  // A value of the wrong type, reported at its end.
  bool mismatch(Slot slot, const std::string& found) {
    return fail("invalid type: " + found + ", expected " + expected(slot),
                m_json.end());
  }

  bool syntax_error() {
    const text::json::Error& error = m_json.error();
    return fail(syntax_problem(error, m_body), error.offset);
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

  std::string_view m_body;
  text::json::Reader m_json;
  Offer m_offer;
  FileInfo m_file;
  std::optional<Error> m_error;
  int m_extensions_seen = 0;
  int m_modified_seen = 0;  // in the current file
};

}  // namespace

Result<Offer> offer_from_json(std::string_view body) {
  return OfferReader(body).read();
}

}  // namespace burrowlink
