#pragma once

// The cryptographic primitives of the secure channel, from libgcrypt:
// X25519, ChaCha20-Poly1305, SHA-256 and HMAC-SHA256. This is the only
// part of the tool that talks to libgcrypt.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/result.h"

struct gcry_cipher_handle;

namespace burrowlink::secure {

inline constexpr std::size_t KEY_SIZE = 32;   // X25519 keys, cipher keys
inline constexpr std::size_t HASH_SIZE = 32;  // SHA-256
inline constexpr std::size_t TAG_SIZE = 16;   // Poly1305

using Key = std::array<std::uint8_t, KEY_SIZE>;
using Hash = std::array<std::uint8_t, HASH_SIZE>;
using ConstBytes = std::span<const std::uint8_t>;
using Buffer = std::vector<std::uint8_t>;

// Starts libgcrypt once per process (any thread may call it, any number of
// times); every function below calls it first. Fails when the library is
// older than the one built against.
Status initialize();

// Overwrites `bytes` with zeros in a way the compiler keeps.
void wipe(std::span<std::uint8_t> bytes);

// `out` filled from libgcrypt's strong random generator.
Status random_fill(std::span<std::uint8_t> out);

// The X25519 public key of `private_key`.
Result<Key> x25519_public(const Key& private_key);

// The X25519 shared secret of `private_key` and `public_key`. Fails when the
// result is all zeros, which a low-order `public_key` forces.
Result<Key> x25519(const Key& private_key, const Key& public_key);

// ChaCha20-Poly1305 with nonce `nonce` (4 zero bytes, then the counter
// little-endian): the ciphertext of `plaintext` followed by its tag.
Result<Buffer> aead_encrypt(const Key& key, std::uint64_t nonce, ConstBytes ad,
                            ConstBytes plaintext);

// The plaintext of `ciphertext` (with its tag at the end); fails, returning
// no plaintext at all, when the tag does not match or is missing.
Result<Buffer> aead_decrypt(const Key& key, std::uint64_t nonce, ConstBytes ad,
                            ConstBytes ciphertext);

// ChaCha20-Poly1305 under one key for a stream of messages, each sealed or
// opened in place: the cipher of the records after the handshake.
class SealingKey {
 public:
  static Result<SealingKey> make(const Key& key);
  SealingKey(SealingKey&& other) noexcept
      : m_handle(std::exchange(other.m_handle, nullptr)) {}
  SealingKey& operator=(SealingKey&& other) noexcept;
  ~SealingKey();
  // False once moved from.
  bool valid() const { return m_handle != nullptr; }

  // Encrypts `data` in place under `nonce` (as aead_encrypt numbers it)
  // and writes its tag to `tag`.
  Status seal(std::uint64_t nonce, std::span<std::uint8_t> data,
              std::span<std::uint8_t, TAG_SIZE> tag);
  // Decrypts `data` in place; when `tag` does not match, fails with `data`
  // wiped, so that no unchecked plaintext is left to use.
  Status open(std::uint64_t nonce, std::span<std::uint8_t> data,
              std::span<const std::uint8_t, TAG_SIZE> tag);

 private:
  SealingKey() = default;
  gcry_cipher_handle* m_handle = nullptr;
};

// SHA-256 of `first` followed by `second`.
Result<Hash> sha256(ConstBytes first, ConstBytes second = {});

// HMAC-SHA256 under `key` of `first` followed by `second`.
Result<Hash> hmac_sha256(const Hash& key, ConstBytes first,
                         ConstBytes second = {});

}  // namespace burrowlink::secure
