#include "text/json_members.h"

namespace burrowlink::text::json {

// Takes the value of member `member` that starts with `value`: a string
// for each of `texts`, then an unsigned number for each of `numbers`, as
// the record lists its members. False for a value of another type.
bool take_plain(Reader& reader, std::size_t member, Token value,
                std::span<std::string* const> texts,
                std::span<std::uint64_t> numbers) {
  if (member < texts.size()) {
    if (value != Token::string) return false;
    *texts[member] = reader.string();
    return true;
  }
  const std::optional<std::uint64_t> number =
      value == Token::number ? to_uint64(reader.number()) : std::nullopt;
  member -= texts.size();
  if (!number || member >= numbers.size()) return false;
  numbers[member] = *number;
  return true;
}

std::size_t MemberSet::see(std::string_view name, MembersRead& read) {
  std::size_t place = 0;
  while (place < m_members.size() && m_members[place].name != name) ++place;
  if (place == m_members.size()) {
    if (!m_rules.skip_others) {
      read.end = MembersEnd::other;
    } else if (m_rules.note_repeats && !m_others.emplace(name).second) {
      read.repeated = true;
    }
    return place;
  }
  const std::uint64_t bit = std::uint64_t{1} << place;
  if ((m_seen & bit) && !m_members[place].repeatable) {
    if (m_rules.note_repeats) {
      read.repeated = true;
    } else {
      read.end = MembersEnd::repeated;
      read.member = place;
    }
  }
  m_seen |= bit;
  return place;
}

void MemberSet::finish(MembersRead& read) const {
  for (std::size_t place = 0; place < m_members.size(); ++place) {
    if (m_members[place].required && !(m_seen & std::uint64_t{1} << place)) {
      read.end = MembersEnd::missing;
      read.member = place;
      return;
    }
  }
}

}  // namespace burrowlink::text::json
