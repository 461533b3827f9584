#pragma once

// Fixed-width integers as bytes, most significant first (big-endian), as
// the wire and the store's names have them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace burrowlink {

// The 4 or 8 bytes of `value`, most significant first.
constexpr std::array<std::uint8_t, 4> encode_fixed32(std::uint32_t value);
constexpr std::array<std::uint8_t, 8> encode_fixed64(std::uint64_t value);

// The value whose bytes, most significant first, are `bytes`.
constexpr std::uint32_t decode_fixed32(std::span<const std::uint8_t, 4> bytes);
constexpr std::uint64_t decode_fixed64(std::span<const std::uint8_t, 8> bytes);

// --- Inline implementations ---

namespace coding_detail {

template <typename T, std::size_t N>
constexpr std::array<std::uint8_t, N> encode(T value) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * (N - 1 - i)));
  }
  return bytes;
}

template <typename T, std::size_t N>
constexpr T decode(std::span<const std::uint8_t, N> bytes) {
  T value = 0;
  for (std::uint8_t byte : bytes) value = static_cast<T>(value << 8 | byte);
  return value;
}

}  // namespace coding_detail

constexpr std::array<std::uint8_t, 4> encode_fixed32(std::uint32_t value) {
  return coding_detail::encode<std::uint32_t, 4>(value);
}
constexpr std::array<std::uint8_t, 8> encode_fixed64(std::uint64_t value) {
  return coding_detail::encode<std::uint64_t, 8>(value);
}
constexpr std::uint32_t decode_fixed32(std::span<const std::uint8_t, 4> bytes) {
  return coding_detail::decode<std::uint32_t, 4>(bytes);
}
constexpr std::uint64_t decode_fixed64(std::span<const std::uint8_t, 8> bytes) {
  return coding_detail::decode<std::uint64_t, 8>(bytes);
}

}  // namespace burrowlink
