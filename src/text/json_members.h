#pragma once

// The members of a JSON object as a record takes them: each known one
// once, the required ones present, the others skipped or refused.

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "text/json.h"

namespace burrowlink::text::json {

// A member that a record knows.
struct Member {
  std::string_view name;
  bool required = false;
  // Handed over each time it comes; the record decides what a repeat means.
  bool repeatable = false;
};

// What a record makes of what its list of members does not settle.
struct MemberRules {
  // Members not in the list are skipped whatever they hold; when false,
  // one ends the read.
  bool skip_others = true;
  // A member that comes again, listed or not, is noted in
  // MembersRead::repeated and the read goes on, rather than ending it.
  bool note_repeats = false;
};

enum class MembersEnd : std::uint8_t {
  read,      // the object's `}`, every required member there
  syntax,    // a fault of the JSON text: the reader's error()
  repeated,  // `member` came again; the reader is just past its name
  missing,   // required `member` did not come; the reader is past the `}`
  other,     // a member not in the list, with skip_others false
  stopped,   // the taker returned false
};

struct MembersRead {
  MembersEnd end = MembersEnd::read;
  std::size_t member = 0;  // repeated, missing: its place in the list
  bool repeated = false;   // with note_repeats: some member came again
  bool ok() const { return end == MembersEnd::read; }
};

// Reads the members of the object whose `{` `reader` has just given, up to
// its `}`. Hands each listed member's place in `members` and the first
// token of its value to `take(place, first)`, which takes or skips
// (Reader::skip) the whole value and returns false to end the read.
// REQUIRES: at most 64 members.
template <typename Take>
MembersRead read_members(Reader& reader, std::span<const Member> members,
                         MemberRules rules, Take&& take);

// Takes the value of member `member` that starts with `value`: a string
// for each of `texts`, then an unsigned number for each of `numbers`, in
// the order of the list of members. False for a value of another type.
bool take_plain(Reader& reader, std::size_t member, Token value,
                std::span<std::string* const> texts,
                std::span<std::uint64_t> numbers);

// --- Inline implementations ---

// Which members have come so far.
class MemberSet {
 public:
  MemberSet(std::span<const Member> members, MemberRules rules)
      : m_members(members), m_rules(rules) {}
  // The place of member `name`, members.size() for one to skip; sets
  // `read` when the member ends the read.
  std::size_t see(std::string_view name, MembersRead& read);
  // At the `}`: notes the first required member missing in `read`.
  void finish(MembersRead& read) const;

 private:
  std::span<const Member> m_members;
  MemberRules m_rules;
  std::uint64_t m_seen = 0;                     // bit i: member i came
  std::set<std::string, std::less<>> m_others;  // with note_repeats
};

template <typename Take>
MembersRead read_members(Reader& reader, std::span<const Member> members,
                         MemberRules rules, Take&& take) {
  MembersRead read;
  MemberSet seen(members, rules);
  for (Token token; (token = reader.next()) != Token::end_object;) {
    // After `{` or `,` the reader gives a name, the `}` or an error.
    if (token != Token::key) return {MembersEnd::syntax};
    const std::size_t place = seen.see(reader.string(), read);
    if (!read.ok()) return read;
    const Token first = reader.next();
    if (first == Token::error) return {MembersEnd::syntax};
    if (place == members.size()) {
      if (!reader.skip()) return {MembersEnd::syntax};
    } else if (!take(place, first)) {
      return {MembersEnd::stopped};
    }
  }
  seen.finish(read);
  return read;
}

}  // namespace burrowlink::text::json
