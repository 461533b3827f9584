#pragma once

// Ports, limits and time-outs that both ends of a transfer share.
// A connection carries: offer frame (4-byte big-endian length + JSON body),
// answer (1 byte), then per file: data (size bytes), SHA-256 digest
// (32 bytes), verdict (1 byte).

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/coding.h"

namespace burrowlink {

inline constexpr std::uint16_t DISCOVERY_PORT = 45454;
inline constexpr std::uint16_t TRANSFER_PORT = 45455;

inline constexpr std::uint32_t MAX_OFFER_BYTES = 1'048'576;
inline constexpr std::size_t MAX_OFFER_FILES = 1000;
inline constexpr std::size_t DIGEST_BYTES = 32;
inline constexpr std::size_t TRANSFER_BUFFER_BYTES = 262'144;
// Slots of TRANSFER_BUFFER_BYTES in a file phase's ring: one being moved,
// others being hashed.
inline constexpr std::size_t TRANSFER_RING_SLOTS = 4;

inline constexpr std::uint8_t ANSWER_ACCEPT = 0x01;
inline constexpr std::uint8_t ANSWER_DECLINE = 0x00;
inline constexpr std::uint8_t VERDICT_KEPT = 0x01;
inline constexpr std::uint8_t VERDICT_DISCARDED = 0x00;

inline constexpr std::chrono::seconds CONNECT_LIMIT{5};
inline constexpr std::chrono::seconds OFFER_READ_TIMEOUT{10};
inline constexpr std::chrono::seconds ANSWER_TIMEOUT{130};
inline constexpr std::chrono::seconds FILE_PHASE_TIMEOUT{60};
// How long a wait for a reply (the answer, a verdict, the next file after a
// verdict) polls before it sleeps; covers one small file's round trip.
inline constexpr std::chrono::microseconds REPLY_SPIN{200};

// Integers on the wire are big-endian.
inline std::array<std::uint8_t, 8> u64_bytes(std::uint64_t value) {
  return encode_fixed64(value);
}
inline std::uint64_t u64_of(std::span<const std::uint8_t, 8> bytes) {
  return decode_fixed64(bytes);
}

}  // namespace burrowlink
