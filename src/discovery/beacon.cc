#include "discovery/beacon.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "text/json.h"
#include "text/json_members.h"

namespace burrowlink {

std::string write_beacon(const Beacon& beacon) {
  std::string out = "{\"app\":";
  text::json::append_string(out, beacon.app);
  out += ",\"id\":";
  text::json::append_string(out, beacon.id);
  out += ",\"name\":";
  text::json::append_string(out, beacon.name);
  out += ",\"port\":";
  out += std::to_string(beacon.port);
  out += '}';
  return out;
}

// Strict JSON: a byte order mark or a NUL byte anywhere refuses the datagram.
std::optional<Beacon> read_beacon(std::string_view datagram) {
  // Each member once: a repeated one is refused, not overwritten. Another
  // member's value may be anything.
  constexpr text::json::Member MEMBERS[] = {
      {"app", true}, {"id", true}, {"name", true}, {"port", true}};
  text::json::Reader reader(datagram);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  Beacon beacon;
  std::array<std::string*, 3> texts{&beacon.app, &beacon.id, &beacon.name};
  std::uint64_t port = 0;
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {}, [&](std::size_t member, text::json::Token value) {
        return text::json::take_plain(reader, member, value, texts, {&port, 1});
      });
  if (!read.ok() || port > 0xFFFF) return std::nullopt;
  beacon.port = static_cast<std::uint16_t>(port);
  // Only white space may follow the object.
  if (datagram.find_first_not_of(" \t\n\r", reader.end()) !=
      std::string_view::npos) {
    return std::nullopt;
  }
  return beacon;
}

}  // namespace burrowlink
