#include "base/coding.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace burrowlink {
namespace {

TEST(Coding, Fixed32IsBigEndian) {
  const std::pair<std::uint32_t, std::array<std::uint8_t, 4>> cases[] = {
      {0, {0, 0, 0, 0}},
      {1, {0, 0, 0, 1}},
      {0x01020304, {1, 2, 3, 4}},
      {0x800000FF, {0x80, 0, 0, 0xFF}},
      {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [value, bytes] : cases) {
    EXPECT_EQ(bytes, encode_fixed32(value)) << value;
    EXPECT_EQ(value, decode_fixed32(bytes)) << value;
  }
}

TEST(Coding, Fixed64IsBigEndian) {
  const std::pair<std::uint64_t, std::array<std::uint8_t, 8>> cases[] = {
      {0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {1, {0, 0, 0, 0, 0, 0, 0, 1}},
      {0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
      {0x80000000000000FF, {0x80, 0, 0, 0, 0, 0, 0, 0xFF}},
      {0xFFFFFFFFFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [value, bytes] : cases) {
    EXPECT_EQ(bytes, encode_fixed64(value)) << value;
    EXPECT_EQ(value, decode_fixed64(bytes)) << value;
  }
}

}  // namespace
}  // namespace burrowlink
