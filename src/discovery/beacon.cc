#include "discovery/beacon.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "text/json.h"

namespace burrowlink {

std::string write_beacon(const Beacon& beacon) {
  std::string out = "{\"app\":";
  json::append_string(out, beacon.app);
  out += ",\"id\":";
  json::append_string(out, beacon.id);
  out += ",\"name\":";
  json::append_string(out, beacon.name);
  out += ",\"port\":";
  out += std::to_string(beacon.port);
  out += '}';
  return out;
}

// Strict JSON: a byte order mark or a NUL byte anywhere refuses the datagram.
std::optional<Beacon> read_beacon(std::string_view datagram) {
  // Each member once: a repeated one is refused, not overwritten.
  constexpr std::array<std::string_view, 4> MEMBERS{"app", "id", "name",
                                                    "port"};
  json::Reader reader(datagram);
  if (reader.next() != json::Token::begin_object) return std::nullopt;
  Beacon beacon;
  std::array<std::string*, 3> texts{&beacon.app, &beacon.id, &beacon.name};
  std::array<bool, 4> seen{};
  json::Token token;
  while ((token = reader.next()) != json::Token::end_object) {
    if (token != json::Token::key) return std::nullopt;
    const std::size_t member =
        std::find(MEMBERS.begin(), MEMBERS.end(), reader.string()) -
        MEMBERS.begin();
    const json::Token value = reader.next();
    if (member == MEMBERS.size()) {
      // Another member: its value may be anything.
      if (!reader.skip()) return std::nullopt;
      continue;
    }
    if (seen[member]) return std::nullopt;
    seen[member] = true;
    if (member < texts.size()) {
      if (value != json::Token::string) return std::nullopt;
      *texts[member] = reader.string();
      continue;
    }
    const std::optional<std::uint64_t> port =
        value == json::Token::number ? json::to_uint64(reader.number())
                                     : std::nullopt;
    if (!port || *port > 0xFFFF) return std::nullopt;
    beacon.port = static_cast<std::uint16_t>(*port);
  }
  if (std::find(seen.begin(), seen.end(), false) != seen.end()) {
    return std::nullopt;
  }
  // Only white space may follow the object.
  if (datagram.find_first_not_of(" \t\n\r", reader.end()) !=
      std::string_view::npos) {
    return std::nullopt;
  }
  return beacon;
}

}  // namespace burrowlink
