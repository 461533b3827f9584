#include "secure/primitives.h"

#include <gcrypt.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace burrowlink::secure {
namespace {

Error gcrypt_error(const char* what, gcry_error_t code) {
  return Error{std::string(what) + ": " + gcry_strerror(code)};
}

Error invalid(const char* what) { return Error{what, ErrorKind::invalid_data}; }

// libgcrypt's notes stay out of our output (its Windows entropy gatherer
// asks for disk statistics to be enabled); only its errors reach stderr.
void log_errors_only(void*, int level, const char* format, va_list args) {
  if (level < GCRY_LOG_ERROR || level == GCRY_LOG_DEBUG) return;
  std::fputs("burrowlink: libgcrypt: ", stderr);
  std::vfprintf(stderr, format, args);
}

Status start_library() {
  // Something else in the process may have started it already.
  if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return {};
  if (!gcry_check_version(GCRYPT_VERSION)) {
    return Error{std::string("libgcrypt ") + GCRYPT_VERSION +
                 " or newer is needed, this system has " +
                 gcry_check_version(nullptr)};
  }
  // No secure memory: our keys live in our own buffers, which we wipe,
  // and the pool would need mlock rights (and print warnings without them)
  // while protecting only libgcrypt's short-lived internal copies.
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_set_log_handler(log_errors_only, nullptr);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  return {};
}

// An open cipher or MAC handle, closed however the function ends.
struct Cipher {
  gcry_cipher_hd_t handle = nullptr;
  ~Cipher() { gcry_cipher_close(handle); }
};
struct Mac {
  gcry_mac_hd_t handle = nullptr;
  ~Mac() { gcry_mac_close(handle); }
};

// A ChaCha20-Poly1305 handle keyed with `key`.
Status open_keyed(gcry_cipher_hd_t& handle, const Key& key) {
  RETURN_IF_ERROR(initialize());
  if (gcry_error_t e = gcry_cipher_open(&handle, GCRY_CIPHER_CHACHA20,
                                        GCRY_CIPHER_MODE_POLY1305, 0)) {
    return gcrypt_error("ChaCha20-Poly1305", e);
  }
  if (gcry_error_t e = gcry_cipher_setkey(handle, key.data(), key.size()))
    return gcrypt_error("ChaCha20-Poly1305 key", e);
  return {};
}

// Starts a message on a keyed handle: `nonce` set, `ad` taken in.
Status start_message(gcry_cipher_hd_t handle, std::uint64_t nonce,
                     ConstBytes ad) {
  std::array<std::uint8_t, 12> iv{};
  for (std::size_t i = 0; i < 8; ++i) {
    iv[4 + i] = static_cast<std::uint8_t>(nonce >> (8 * i));
  }
  if (gcry_error_t e = gcry_cipher_setiv(handle, iv.data(), iv.size()))
    return gcrypt_error("ChaCha20-Poly1305 nonce", e);
  if (gcry_error_t e = gcry_cipher_authenticate(handle, ad.data(), ad.size())) {
    return gcrypt_error("ChaCha20-Poly1305 associated data", e);
  }
  return {};
}

Status open_aead(Cipher& cipher, const Key& key, std::uint64_t nonce,
                 ConstBytes ad) {
  RETURN_IF_ERROR(open_keyed(cipher.handle, key));
  return start_message(cipher.handle, nonce, ad);
}

bool all_zero(const Key& key) {
  std::uint8_t any = 0;
  for (std::uint8_t b : key) any |= b;
  return any == 0;
}

}  // namespace

Status initialize() {
  // Thread-safe once: the first caller starts the library, the rest wait.
  static const Status started = start_library();
  return started;
}

void wipe(std::span<std::uint8_t> bytes) {
  volatile std::uint8_t* p = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

Status random_fill(std::span<std::uint8_t> out) {
  RETURN_IF_ERROR(initialize());
  gcry_randomize(out.data(), out.size(), GCRY_STRONG_RANDOM);
  return {};
}

Result<Key> x25519_public(const Key& private_key) {
  static constexpr Key BASE_POINT = {9};
  return x25519(private_key, BASE_POINT);
}

Result<Key> x25519(const Key& private_key, const Key& public_key) {
  RETURN_IF_ERROR(initialize());
  Key scalar = private_key;
  // Clamped here as X25519 defines it, whatever the library does.
  scalar[0] &= 248;
  scalar[31] &= 127;
  scalar[31] |= 64;
  Key shared{};
  gpg_error_t e = gcry_ecc_mul_point(GCRY_ECC_CURVE25519, shared.data(),
                                     scalar.data(), public_key.data());
  wipe(scalar);
  if (e) return gcrypt_error("X25519", e);
  // The library reports no error for a low-order point, only zeros.
  if (all_zero(shared)) return invalid("X25519: the peer's key has low order");
  return shared;
}

Result<Buffer> aead_encrypt(const Key& key, std::uint64_t nonce, ConstBytes ad,
                            ConstBytes plaintext) {
  Cipher cipher;
  RETURN_IF_ERROR(open_aead(cipher, key, nonce, ad));
  Buffer out(plaintext.size() + TAG_SIZE);
  if (!plaintext.empty()) {
    if (gcry_error_t e =
            gcry_cipher_encrypt(cipher.handle, out.data(), plaintext.size(),
                                plaintext.data(), plaintext.size())) {
      return gcrypt_error("ChaCha20-Poly1305 encryption", e);
    }
  }
  if (gcry_error_t e = gcry_cipher_gettag(
          cipher.handle, out.data() + plaintext.size(), TAG_SIZE)) {
    return gcrypt_error("ChaCha20-Poly1305 tag", e);
  }
  return out;
}

Result<Buffer> aead_decrypt(const Key& key, std::uint64_t nonce, ConstBytes ad,
                            ConstBytes ciphertext) {
  if (ciphertext.size() < TAG_SIZE) {
    return invalid("the message is shorter than its tag");
  }
  Cipher cipher;
  RETURN_IF_ERROR(open_aead(cipher, key, nonce, ad));
  const std::size_t size = ciphertext.size() - TAG_SIZE;
  Buffer out(size);
  if (size != 0) {
    if (gcry_error_t e = gcry_cipher_decrypt(cipher.handle, out.data(), size,
                                             ciphertext.data(), size)) {
      wipe(out);
      return gcrypt_error("ChaCha20-Poly1305 decryption", e);
    }
  }
  // The plaintext leaves only once its tag has been checked.
  if (gcry_cipher_checktag(cipher.handle, ciphertext.data() + size, TAG_SIZE)) {
    wipe(out);
    return invalid("the message failed its authentication");
  }
  return out;
}

Result<SealingKey> SealingKey::make(const Key& key) {
  SealingKey made;
  RETURN_IF_ERROR(open_keyed(made.m_handle, key));
  return made;
}

SealingKey& SealingKey::operator=(SealingKey&& other) noexcept {
  if (this != &other) {
    gcry_cipher_close(m_handle);
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

SealingKey::~SealingKey() { gcry_cipher_close(m_handle); }

Status SealingKey::seal(std::uint64_t nonce, std::span<std::uint8_t> data,
                        std::span<std::uint8_t, TAG_SIZE> tag) {
  RETURN_IF_ERROR(start_message(m_handle, nonce, {}));
  if (gcry_error_t e =
          gcry_cipher_encrypt(m_handle, data.data(), data.size(), nullptr, 0)) {
    return gcrypt_error("ChaCha20-Poly1305 encryption", e);
  }
  if (gcry_error_t e = gcry_cipher_gettag(m_handle, tag.data(), tag.size())) {
    return gcrypt_error("ChaCha20-Poly1305 tag", e);
  }
  return {};
}

Status SealingKey::open(std::uint64_t nonce, std::span<std::uint8_t> data,
                        std::span<const std::uint8_t, TAG_SIZE> tag) {
  RETURN_IF_ERROR(start_message(m_handle, nonce, {}));
  if (gcry_error_t e =
          gcry_cipher_decrypt(m_handle, data.data(), data.size(), nullptr, 0)) {
    wipe(data);
    return gcrypt_error("ChaCha20-Poly1305 decryption", e);
  }
  if (gcry_cipher_checktag(m_handle, tag.data(), tag.size())) {
    wipe(data);
    return invalid("the message failed its authentication");
  }
  return {};
}

Result<Hash> sha256(ConstBytes first, ConstBytes second) {
  RETURN_IF_ERROR(initialize());
  gcry_buffer_t parts[2] = {};
  parts[0].len = first.size();
  parts[0].data = const_cast<std::uint8_t*>(first.data());
  parts[1].len = second.size();
  parts[1].data = const_cast<std::uint8_t*>(second.data());
  Hash out{};
  if (gpg_error_t e =
          gcry_md_hash_buffers(GCRY_MD_SHA256, 0, out.data(), parts, 2)) {
    return gcrypt_error("SHA-256", e);
  }
  return out;
}

Result<Hash> hmac_sha256(const Hash& key, ConstBytes first, ConstBytes second) {
  RETURN_IF_ERROR(initialize());
  Mac mac;
  if (gcry_error_t e =
          gcry_mac_open(&mac.handle, GCRY_MAC_HMAC_SHA256, 0, nullptr)) {
    return gcrypt_error("HMAC-SHA256", e);
  }
  if (gcry_error_t e = gcry_mac_setkey(mac.handle, key.data(), key.size()))
    return gcrypt_error("HMAC-SHA256 key", e);
  for (ConstBytes part : {first, second}) {
    if (gcry_error_t e = gcry_mac_write(mac.handle, part.data(), part.size()))
      return gcrypt_error("HMAC-SHA256", e);
  }
  Hash out{};
  std::size_t size = out.size();
  if (gcry_error_t e = gcry_mac_read(mac.handle, out.data(), &size))
    return gcrypt_error("HMAC-SHA256", e);
  return out;
}

}  // namespace burrowlink::secure
