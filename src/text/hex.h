#pragma once

// Bytes as lowercase hexadecimal text, and back: digests, tokens and names
// that must be plain ASCII.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace burrowlink::text {

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes.size());
  for (std::uint8_t byte : bytes) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 0x0F];
  }
  return text;
}

// Fills `out` from exactly 2 * out.size() lowercase hexadecimal digits;
// false for anything else.
inline bool from_hex(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() != 2 * out.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const int value = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (value < 0) return false;
    out[i / 2] = static_cast<std::uint8_t>(out[i / 2] << 4 | value);
  }
  return true;
}

}  // namespace burrowlink::text
