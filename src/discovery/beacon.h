#pragma once

// The announcement record that every discovery participant shares, and its
// datagram form: one compact JSON object, nothing before or after it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace burrowlink {

// The `app` value of every announcement of this protocol.
inline constexpr std::string_view APP_TAG = "warrenet";

struct Beacon {
  std::string app;
  std::string id;
  std::string name;
  std::uint16_t port = 0;
  // The device's static key for the secure channel, as 64 lowercase
  // hexadecimal digits; empty when it has none.
  std::string key = {};
};

// The member that carries Beacon::key; other readers skip it.
inline constexpr std::string_view BEACON_KEY_MEMBER = "staticKey";

// The datagram bytes: {"app":..,"id":..,"name":..,"port":N}, then
// "staticKey" when there is a key; compact, with JSON string escaping and
// non-ASCII text as raw UTF-8.
std::string write_beacon(const Beacon& beacon);

// The Beacon in `datagram`, or nullopt unless it is exactly one JSON object
// with string "app", "id", "name" and integer "port" (0-65535), each once.
// A "staticKey" that is not 64 lowercase hexadecimal digits leaves the key
// empty. Other members are ignored.
std::optional<Beacon> read_beacon(std::string_view datagram);

}  // namespace burrowlink
