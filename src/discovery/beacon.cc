#include "discovery/beacon.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "text/hex.h"
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
  if (!beacon.key.empty()) {
    out += ",\"";
    out += BEACON_KEY_MEMBER;
    out += "\":";
    text::json::append_string(out, beacon.key);
  }
  out += '}';
  return out;
}

// Strict JSON: a byte order mark or a NUL byte anywhere refuses the datagram.
std::optional<Beacon> read_beacon(std::string_view datagram) {
  // Each member once: a repeated one is refused, not overwritten. Another
  // member's value may be anything.
  constexpr text::json::Member MEMBERS[] = {{"app", true},
                                            {"id", true},
                                            {"name", true},
                                            {BEACON_KEY_MEMBER, false},
                                            {"port", true}};
  text::json::Reader reader(datagram);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  Beacon beacon;
  std::array<std::string*, 4> texts{&beacon.app, &beacon.id, &beacon.name,
                                    &beacon.key};
  std::uint64_t port = 0;
  bool key_usable = true;
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {}, [&](std::size_t member, text::json::Token value) {
        // A key of another form is not ours to refuse the beacon for.
        if (member == 3 && value != text::json::Token::string) {
          key_usable = false;
          return reader.skip();
        }
        return text::json::take_plain(reader, member, value, texts, {&port, 1});
      });
  if (!read.ok() || port > 0xFFFF) return std::nullopt;
  std::array<std::uint8_t, 32> key{};
  if (!key_usable || !text::from_hex(beacon.key, key)) beacon.key.clear();
  beacon.port = static_cast<std::uint16_t>(port);
  // Only white space may follow the object.
  if (datagram.find_first_not_of(" \t\n\r", reader.end()) !=
      std::string_view::npos) {
    return std::nullopt;
  }
  return beacon;
}

}  // namespace burrowlink
