#pragma once

// The Noise handshake (revision 34) with X25519, ChaCha20-Poly1305 and
// SHA-256: Noise_XX for devices that learn each other's static keys during
// the handshake, and Noise_NN (no static keys). Every failure ends the
// handshake; the caller drops the connection.

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"
#include "secure/primitives.h"

namespace burrowlink::secure {

// Noise keeps the largest nonce for rekeying; messages never use it.
inline constexpr std::uint64_t NONCE_LIMIT = UINT64_MAX;
// The largest handshake or transport message, tag included.
inline constexpr std::size_t MESSAGE_MAX = 65535;

// An X25519 key pair; wiped when it ends.
struct KeyPair {
  Key private_key{};
  Key public_key{};
  ~KeyPair() { wipe(private_key); }
};

// The pair of `private_key`.
Result<KeyPair> key_pair_from(const Key& private_key);
// A new pair from the strong random generator.
Result<KeyPair> generate_key_pair();

// A key and the nonce of the next message (Noise's CipherState). Without a
// key it passes data through unchanged.
class CipherState {
 public:
  CipherState() = default;
  explicit CipherState(const Key& key) : m_key(key), m_has_key(true) {}
  ~CipherState() { wipe(m_key); }
  CipherState(const CipherState&) = default;
  CipherState& operator=(const CipherState&) = default;

  bool has_key() const { return m_has_key; }
  const Key& key() const { return m_key; }
  void set_nonce(std::uint64_t nonce) { m_nonce = nonce; }
  // `plaintext` encrypted with `ad` under the next nonce. Fails when the
  // nonces are used up.
  Result<Buffer> encrypt_with_ad(ConstBytes ad, ConstBytes plaintext);
  // The plaintext of `ciphertext`; the nonce moves on only on success.
  Result<Buffer> decrypt_with_ad(ConstBytes ad, ConstBytes ciphertext);

 private:
  Key m_key{};
  bool m_has_key = false;
  std::uint64_t m_nonce = 0;
};

// The two directions of a finished handshake.
struct Transport {
  CipherState send;
  CipherState receive;
  Hash handshake_hash{};  // identical on both sides; binds the session
  std::optional<Key> remote_static;  // the peer's static key (XX)
};

enum class Pattern { nn, xx };
enum class Role { initiator, responder };

// One side of a handshake (Noise's HandshakeState and SymmetricState).
class Handshake {
 public:
  // Starts `pattern` as `role`, mixing in `prologue`. XX needs
  // `local_static`. `ephemeral` is drawn at random when absent (tests give
  // it).
  ~Handshake() { wipe(m_chaining_key); }
  Handshake(const Handshake&) = default;
  Handshake& operator=(const Handshake&) = default;

  static Result<Handshake> start(Pattern pattern, Role role,
                                 ConstBytes prologue,
                                 std::optional<KeyPair> local_static,
                                 std::optional<KeyPair> ephemeral = {});

  // The next message, carrying `payload`. Fails when it is the peer's turn,
  // when the handshake is over or has failed, or the message would exceed
  // MESSAGE_MAX.
  Result<Buffer> write_message(ConstBytes payload);
  // The payload of the peer's next `message`. Fails when it is damaged or
  // cut, holds a low-order key, or is not the peer's turn; any failure ends
  // the handshake.
  Result<Buffer> read_message(ConstBytes message);

  bool finished() const;
  bool my_turn() const;
  // The peer's static key, once its message carrying it was read.
  const std::optional<Key>& remote_static() const { return m_remote_static; }
  // The keys for the transport messages; fails before `finished()`.
  Result<Transport> split() const;

 private:
  Handshake() = default;
  Status mix_key(ConstBytes input_key);
  Status mix_hash(ConstBytes data);
  Result<Buffer> encrypt_and_hash(ConstBytes plaintext);
  Result<Buffer> decrypt_and_hash(ConstBytes ciphertext);
  Status mix_dh(bool local_ephemeral, bool remote_ephemeral);
  Status ready_for(bool writing) const;
  Status process_tokens(bool writing, Buffer& out, ConstBytes& in);

  Pattern m_pattern = Pattern::xx;
  Role m_role = Role::initiator;
  Hash m_chaining_key{};
  Hash m_hash{};
  CipherState m_cipher;
  std::optional<KeyPair> m_static;
  std::optional<KeyPair> m_ephemeral;
  std::optional<Key> m_remote_static;
  std::optional<Key> m_remote_ephemeral;
  std::size_t m_next = 0;  // index of the next message in the pattern
  bool m_failed = false;
};

}  // namespace burrowlink::secure
