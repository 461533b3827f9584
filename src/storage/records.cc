// The store's records and lines, each compact JSON or plain text.
#include <map>
#include <span>

#include "storage/store.h"
#include "text/hex.h"
#include "text/json.h"
#include "text/json_members.h"

namespace burrowlink {

namespace {

std::optional<std::uint64_t> number_of(std::string_view text) {
  if (text.empty() || text.size() > 20 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// A kept file's "sums", [[end, "digest"], ...] from byte 0, whose `[` the
// reader has just given, into `entry`'s segments.
bool read_sums(text::json::Reader& reader, StoreEntry& entry) {
  using text::json::Token;
  for (Token sum; (sum = reader.next()) != Token::end_array;) {
    if (sum != Token::begin_array || reader.next() != Token::number) {
      return false;
    }
    Segment segment;
    segment.start = entry.bytes_held();
    const auto end = text::json::to_uint64(reader.number());
    if (!end || *end <= segment.start || reader.next() != Token::string ||
        !text::from_hex(reader.string(), segment.digest) ||
        reader.next() != Token::end_array) {
      return false;
    }
    segment.end = *end;
    entry.segments.push_back(segment);
  }
  return true;
}

}  // namespace

std::string store_record(const StoreEntry& entry) {
  std::string out = "{\"sender\":";
  text::json::append_string(out, entry.key.sender);
  out += ",\"folder\":";
  text::json::append_string(out, entry.key.folder);
  out += ",\"name\":";
  text::json::append_string(out, entry.key.name);
  out += ",\"size\":" + std::to_string(entry.key.size);
  out += ",\"modified\":" + std::to_string(entry.key.modified);
  out += '}';
  return out;
}

std::optional<StoreEntry> read_store_record(std::string_view text) {
  // Records are ours: each member once, and no other.
  constexpr text::json::Member MEMBERS[] = {{"sender", true},
                                            {"folder", true},
                                            {"name", true},
                                            {"size", true},
                                            {"modified", true}};
  text::json::Reader reader(text);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  StoreEntry entry;
  std::string* const texts[] = {&entry.key.sender, &entry.key.folder,
                                &entry.key.name};
  std::uint64_t numbers[2] = {};
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {.skip_others = false},
      [&](std::size_t member, text::json::Token value) {
        return text::json::take_plain(reader, member, value, texts, numbers);
      });
  if (!read.ok() || numbers[1] > std::uint64_t{INT64_MAX}) return std::nullopt;
  entry.key.size = numbers[0];
  entry.key.modified = static_cast<std::int64_t>(numbers[1]);
  return entry;
}

std::string segment_line(const Segment& segment) {
  return std::to_string(segment.start) + ' ' + std::to_string(segment.end) +
         ' ' + text::to_hex(segment.digest) + '\n';
}

std::vector<Segment> read_segments(std::string_view text) {
  std::map<std::uint64_t, Segment> by_start;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != text.npos;
       at = end + 1) {
    const std::string_view line = text.substr(at, end - at);
    const std::size_t first = line.find(' '), second = line.rfind(' ');
    if (first == line.npos || first == second) continue;
    const auto start = number_of(line.substr(0, first));
    const auto stop = number_of(line.substr(first + 1, second - first - 1));
    Segment segment;
    if (!start || !stop || *stop <= *start ||
        !text::from_hex(line.substr(second + 1), segment.digest)) {
      continue;
    }
    segment.start = *start;
    segment.end = *stop;
    by_start[*start] = segment;
  }
  std::vector<Segment> chain;
  for (auto next = by_start.find(0); next != by_start.end();
       next = by_start.find(chain.back().end)) {
    chain.push_back(next->second);
  }
  return chain;
}

std::string kept_line(const StoreEntry& entry) {
  std::string out = store_record(entry);
  out.pop_back();  // the key's record, and what was kept
  const platform::FileStatus& status = entry.kept->status;
  // The line's own name, after its list's: what a forget line names.
  out += ",\"id\":";
  text::json::append_string(out, entry.id.substr(entry.id.find('#') + 1));
  out += ",\"file\":";
  text::json::append_string(out, entry.kept->file);
  // Times as their bits: a system may date a file before 1970.
  out += ",\"mtime\":" +
         std::to_string(static_cast<std::uint64_t>(status.modified));
  out += ",\"changed\":" +
         std::to_string(static_cast<std::uint64_t>(status.changed));
  out += ",\"device\":" + std::to_string(status.device);
  out += ",\"number\":" + std::to_string(status.number);
  out += ",\"sums\":[";
  for (const Segment& segment : entry.segments) {
    if (out.back() != '[') out += ',';
    out += '[' + std::to_string(segment.end) + ",\"" +
           text::to_hex(segment.digest) + "\"]";
  }
  out += "]}\n";
  return out;
}

std::optional<StoreEntry> read_kept_line(std::string_view line) {
  // The key's record, then what was kept: each once, and no other.
  constexpr text::json::Member MEMBERS[] = {
      {"sender", true},  {"folder", true}, {"name", true},     {"file", true},
      {"id", true},      {"size", true},   {"modified", true}, {"mtime", true},
      {"changed", true}, {"device", true}, {"number", true},   {"sums", true}};
  constexpr std::size_t SUMS = 11;
  text::json::Reader reader(line);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  StoreEntry entry;
  Kept kept;
  kept.status.type = platform::FileType::regular;
  std::string* const texts[] = {&entry.key.sender, &entry.key.folder,
                                &entry.key.name, &kept.file, &entry.id};
  std::uint64_t numbers[6] = {};
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {.skip_others = false},
      [&](std::size_t member, text::json::Token value) {
        if (member != SUMS) {
          return text::json::take_plain(reader, member, value, texts, numbers);
        }
        return value == text::json::Token::begin_array &&
               read_sums(reader, entry);
      });
  if (!read.ok() || entry.id.empty() || numbers[1] > std::uint64_t{INT64_MAX}) {
    return std::nullopt;
  }
  entry.key.size = numbers[0];
  entry.key.modified = static_cast<std::int64_t>(numbers[1]);
  kept.status.size = numbers[0];
  kept.status.modified = static_cast<std::int64_t>(numbers[2]);
  kept.status.changed = static_cast<std::int64_t>(numbers[3]);
  kept.status.device = numbers[4];
  kept.status.number = numbers[5];
  entry.kept = std::move(kept);
  return entry;
}

std::string forget_line(std::string_view line_id) {
  std::string out = "{\"forget\":";
  text::json::append_string(out, line_id);
  return out + "}\n";
}

std::optional<std::string> read_forget_line(std::string_view line) {
  using text::json::Token;
  text::json::Reader reader(line);
  if (reader.next() != Token::begin_object || reader.next() != Token::key ||
      reader.string() != "forget" || reader.next() != Token::string) {
    return std::nullopt;
  }
  std::string id(reader.string());
  if (reader.next() != Token::end_object) return std::nullopt;
  return id;
}

}  // namespace burrowlink
