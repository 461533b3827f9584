#pragma once

// What the fuzz targets share: a check that aborts in every build (NDEBUG
// included), so that libFuzzer and the test suite's replay both see a broken
// invariant, and decoding that does not rely on the code under test.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace burrowlink::fuzz {

// The file being replayed, named when a check fails; empty under libFuzzer,
// which saves the input itself.
inline std::string& current_input() {
  static std::string name;
  return name;
}

[[noreturn]] inline void check_failed(const char* condition, const char* file,
                                      int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  if (!current_input().empty()) {
    std::fprintf(stderr, "input: %s\n", current_input().c_str());
  }
  std::abort();
}

// The scalars of valid UTF-8 `text`, decoded here rather than by the code
// under test.
inline std::vector<char32_t> decode(std::string_view text) {
  std::vector<char32_t> scalars;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                                             : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    scalars.push_back(c);
    i += length;
  }
  return scalars;
}

// The byte length of a raw control character (C0, DEL, C1) or bidirectional
// control at the start of `bytes`, judged byte by byte so that it also holds
// for text that is not valid UTF-8; 0 when there is none.
inline std::size_t raw_control_length(std::string_view bytes) {
  auto at = [&](std::size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
  };
  if (bytes.empty()) return 0;
  if (at(0) < 0x20 || at(0) == 0x7F) return 1;
  if (at(0) == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) return 2;
  if (at(0) == 0xD8 && at(1) == 0x9C) return 2;
  if (at(0) == 0xE2 && at(1) == 0x80 &&
      (at(2) == 0x8E || at(2) == 0x8F || (at(2) >= 0xAA && at(2) <= 0xAE))) {
    return 3;
  }
  if (at(0) == 0xE2 && at(1) == 0x81 && at(2) >= 0xA6 && at(2) <= 0xA9) {
    return 3;
  }
  return 0;
}

}  // namespace burrowlink::fuzz

#define FUZZ_CHECK(condition) \
  ((condition)                \
       ? (void)0              \
       : ::burrowlink::fuzz::check_failed(#condition, __FILE__, __LINE__))
