#include "secure/primitives.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"
#include "text/hex.h"

namespace burrowlink::secure {
namespace {

Key key_from_hex(const std::string& hex) {
  Key key{};
  EXPECT_TRUE(text::from_hex(hex, key)) << hex;
  return key;
}

TEST(Primitives, X25519RefusesLowOrderPoints) {
  const Key mine = key_from_hex(
      "e61ef9919cde45dd5f82166404bd08e38bceb5dfdfded0a34c8df7ed542214d1");
  const struct {
    const char* name;
    const char* point;
  } cases[] = {
      {"zero",
       "0000000000000000000000000000000000000000000000000000000000000000"},
      {"one",
       "0100000000000000000000000000000000000000000000000000000000000000"},
      {"order 8",
       "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"},
      {"order 8, other",
       "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157"},
      {"p - 1",
       "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
      {"p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
  };
  for (const auto& c : cases) {
    Result<Key> shared = x25519(mine, key_from_hex(c.point));
    ASSERT_FALSE(shared.ok()) << c.name;
    EXPECT_EQ(shared.error().kind, ErrorKind::invalid_data) << c.name;
  }
  // A proper key still agrees both ways.
  Result<Key> theirs_public = x25519_public(key_from_hex(std::string(64, '7')));
  ASSERT_OK(theirs_public);
  EXPECT_OK(x25519(mine, *theirs_public));
}

TEST(Primitives, AeadRefusesAnyDamage) {
  const Key key = key_from_hex(std::string(64, 'a'));
  const Buffer ad = {1, 2, 3};
  for (const Buffer& plaintext : {Buffer{}, Buffer(100, 0x42)}) {
    Result<Buffer> sealed = aead_encrypt(key, 7, ad, plaintext);
    ASSERT_OK(sealed);
    ASSERT_EQ(sealed->size(), plaintext.size() + TAG_SIZE);
    Result<Buffer> opened = aead_decrypt(key, 7, ad, *sealed);
    ASSERT_OK(opened);
    EXPECT_EQ(*opened, plaintext);

    Buffer first_bit = *sealed, last_bit = *sealed;
    first_bit.front() ^= 1;
    last_bit.back() ^= 0x80;
    const Buffer truncated(sealed->begin(), sealed->end() - 1);
    const struct {
      const char* name;
      std::uint64_t nonce;
      Buffer ad;
      Buffer sealed;
    } cases[] = {
        {"first bit", 7, ad, first_bit},
        {"last bit", 7, ad, last_bit},
        {"truncated", 7, ad, truncated},
        {"other nonce", 8, ad, *sealed},
        {"other ad", 7, {1, 2}, *sealed},
        {"tag only", 7, ad, Buffer(sealed->end() - TAG_SIZE, sealed->end())},
    };
    for (const auto& c : cases) {
      if (plaintext.empty() && std::string(c.name) == "tag only") continue;
      Result<Buffer> refused = aead_decrypt(key, c.nonce, c.ad, c.sealed);
      ASSERT_FALSE(refused.ok()) << c.name << ", " << plaintext.size();
      EXPECT_EQ(refused.error().kind, ErrorKind::invalid_data) << c.name;
    }
  }
}

}  // namespace
}  // namespace burrowlink::secure
