#include "secure/noise.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace burrowlink::secure {
namespace {

// A token of a message pattern. The two halves of a DH token name the
// initiator's key and then the responder's: es is the initiator's
// ephemeral with the responder's static.
enum class Token { e, s, ee, es, se, ss };

using MessagePattern = std::vector<Token>;

const std::vector<MessagePattern>& messages_of(Pattern pattern) {
  using enum Token;
  static const std::vector<MessagePattern> NN = {{e}, {e, ee}};
  static const std::vector<MessagePattern> XX = {{e}, {e, ee, s, es}, {s, se}};
  return pattern == Pattern::nn ? NN : XX;
}

std::string_view protocol_name(Pattern pattern) {
  return pattern == Pattern::nn ? "Noise_NN_25519_ChaChaPoly_SHA256"
                                : "Noise_XX_25519_ChaChaPoly_SHA256";
}

Error handshake_error(std::string what) {
  return Error{"secure handshake: " + std::move(what), ErrorKind::invalid_data};
}

Error nonces_used_up() {
  return Error{"secure channel: the session has used up its nonces",
               ErrorKind::invalid_data};
}

// Noise's HKDF with two outputs, from HMAC-SHA256.
Result<std::pair<Hash, Hash>> hkdf(const Hash& chaining_key, ConstBytes input) {
  Result<Hash> temp = hmac_sha256(chaining_key, input);
  if (!temp.ok()) return temp.error();
  static constexpr std::uint8_t ONE[] = {1}, TWO[] = {2};
  Result<Hash> first = hmac_sha256(*temp, ONE);
  Result<Hash> second =
      first.ok() ? hmac_sha256(*temp, *first, TWO) : first.error();
  wipe(*temp);
  if (!second.ok()) return second.error();
  return std::pair{*first, *second};
}

void append(Buffer& out, ConstBytes bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

Result<KeyPair> key_pair_from(const Key& private_key) {
  KeyPair pair;
  pair.private_key = private_key;
  Result<Key> public_key = x25519_public(private_key);
  if (!public_key.ok()) return public_key.error();
  pair.public_key = *public_key;
  return pair;
}

Result<KeyPair> generate_key_pair() {
  Key private_key{};
  RETURN_IF_ERROR(random_fill(private_key));
  Result<KeyPair> pair = key_pair_from(private_key);
  wipe(private_key);
  return pair;
}

Result<Buffer> CipherState::encrypt_with_ad(ConstBytes ad,
                                            ConstBytes plaintext) {
  if (!m_has_key) return Buffer(plaintext.begin(), plaintext.end());
  if (m_nonce >= NONCE_LIMIT) return nonces_used_up();
  Result<Buffer> out = aead_encrypt(m_key, m_nonce, ad, plaintext);
  if (out.ok()) ++m_nonce;
  return out;
}

Result<Buffer> CipherState::decrypt_with_ad(ConstBytes ad,
                                            ConstBytes ciphertext) {
  if (!m_has_key) return Buffer(ciphertext.begin(), ciphertext.end());
  if (m_nonce >= NONCE_LIMIT) return nonces_used_up();
  Result<Buffer> out = aead_decrypt(m_key, m_nonce, ad, ciphertext);
  if (out.ok()) ++m_nonce;
  return out;
}

Result<Handshake> Handshake::start(Pattern pattern, Role role,
                                   ConstBytes prologue,
                                   std::optional<KeyPair> local_static,
                                   std::optional<KeyPair> ephemeral) {
  if (pattern == Pattern::xx && !local_static) {
    return handshake_error("XX needs this device's static key");
  }
  Handshake state;
  state.m_pattern = pattern;
  state.m_role = role;
  state.m_static = std::move(local_static);
  state.m_ephemeral = std::move(ephemeral);
  // A name of at most HASH_SIZE bytes is used as it is, zero-padded.
  std::string_view name = protocol_name(pattern);
  static_assert(HASH_SIZE >= 32);
  std::copy(name.begin(), name.end(), state.m_hash.begin());
  state.m_chaining_key = state.m_hash;
  RETURN_IF_ERROR(state.mix_hash(prologue));
  return state;
}

Status Handshake::mix_key(ConstBytes input_key) {
  Result<std::pair<Hash, Hash>> keys = hkdf(m_chaining_key, input_key);
  if (!keys.ok()) return keys.error();
  m_chaining_key = keys->first;
  m_cipher = CipherState(keys->second);
  wipe(keys->first);
  wipe(keys->second);
  return {};
}

Status Handshake::mix_hash(ConstBytes data) {
  Result<Hash> hash = sha256(m_hash, data);
  if (!hash.ok()) return hash.error();
  m_hash = *hash;
  return {};
}

Result<Buffer> Handshake::encrypt_and_hash(ConstBytes plaintext) {
  Result<Buffer> out = m_cipher.encrypt_with_ad(m_hash, plaintext);
  if (out.ok()) RETURN_IF_ERROR(mix_hash(*out));
  return out;
}

Result<Buffer> Handshake::decrypt_and_hash(ConstBytes ciphertext) {
  Result<Buffer> out = m_cipher.decrypt_with_ad(m_hash, ciphertext);
  if (out.ok()) RETURN_IF_ERROR(mix_hash(ciphertext));
  return out;
}

Status Handshake::mix_dh(bool local_ephemeral, bool remote_ephemeral) {
  const std::optional<KeyPair>& local =
      local_ephemeral ? m_ephemeral : m_static;
  const std::optional<Key>& remote =
      remote_ephemeral ? m_remote_ephemeral : m_remote_static;
  if (!local || !remote) return handshake_error("a key is missing");
  Result<Key> shared = x25519(local->private_key, *remote);
  if (!shared.ok()) return handshake_error(shared.error().message);
  Status mixed = mix_key(*shared);
  wipe(*shared);
  return mixed;
}

Status Handshake::ready_for(bool writing) const {
  if (m_failed) return handshake_error("it has already failed");
  if (finished()) return handshake_error("it is already finished");
  if (my_turn() != writing) {
    return handshake_error(writing ? "it is the peer's turn to write"
                                   : "it is this side's turn to write");
  }
  return {};
}

// The tokens of the next message: written to `out`, or read from `in`
// (which is left at the payload).
Status Handshake::process_tokens(bool writing, Buffer& out, ConstBytes& in) {
  const bool initiator = m_role == Role::initiator;
  for (Token token : messages_of(m_pattern)[m_next]) {
    switch (token) {
      case Token::e:
        if (writing) {
          if (!m_ephemeral) {
            Result<KeyPair> pair = generate_key_pair();
            if (!pair.ok()) return pair.error();
            m_ephemeral = std::move(*pair);
          }
          append(out, m_ephemeral->public_key);
          RETURN_IF_ERROR(mix_hash(m_ephemeral->public_key));
        } else {
          if (in.size() < KEY_SIZE) return handshake_error("message too short");
          m_remote_ephemeral.emplace();
          std::copy_n(in.begin(), KEY_SIZE, m_remote_ephemeral->begin());
          in = in.subspan(KEY_SIZE);
          RETURN_IF_ERROR(mix_hash(*m_remote_ephemeral));
        }
        break;
      case Token::s:
        if (writing) {
          Result<Buffer> sealed = encrypt_and_hash(m_static->public_key);
          if (!sealed.ok()) return sealed.error();
          append(out, *sealed);
        } else {
          std::size_t size = KEY_SIZE + (m_cipher.has_key() ? TAG_SIZE : 0);
          if (in.size() < size) return handshake_error("message too short");
          Result<Buffer> key = decrypt_and_hash(in.first(size));
          if (!key.ok()) return handshake_error(key.error().message);
          m_remote_static.emplace();
          std::copy_n(key->begin(), KEY_SIZE, m_remote_static->begin());
          in = in.subspan(size);
        }
        break;
      case Token::ee:
        RETURN_IF_ERROR(mix_dh(true, true));
        break;
      case Token::es:
        RETURN_IF_ERROR(mix_dh(initiator, !initiator));
        break;
      case Token::se:
        RETURN_IF_ERROR(mix_dh(!initiator, initiator));
        break;
      case Token::ss:
        RETURN_IF_ERROR(mix_dh(false, false));
        break;
    }
  }
  return {};
}

Result<Buffer> Handshake::write_message(ConstBytes payload) {
  RETURN_IF_ERROR(ready_for(true));
  m_failed = true;  // until the message is complete
  Buffer out;
  ConstBytes no_input;
  RETURN_IF_ERROR(process_tokens(true, out, no_input));
  Result<Buffer> body = encrypt_and_hash(payload);
  if (!body.ok()) return body.error();
  append(out, *body);
  if (out.size() > MESSAGE_MAX) return handshake_error("payload too large");
  m_failed = false;
  ++m_next;
  return out;
}

Result<Buffer> Handshake::read_message(ConstBytes message) {
  RETURN_IF_ERROR(ready_for(false));
  m_failed = true;  // until the message has been read
  if (message.size() > MESSAGE_MAX) return handshake_error("message too long");
  Buffer no_output;
  RETURN_IF_ERROR(process_tokens(false, no_output, message));
  Result<Buffer> payload = decrypt_and_hash(message);
  if (!payload.ok()) return handshake_error(payload.error().message);
  m_failed = false;
  ++m_next;
  return payload;
}

bool Handshake::finished() const {
  return m_next == messages_of(m_pattern).size();
}

bool Handshake::my_turn() const {
  return (m_next % 2 == 0) == (m_role == Role::initiator);
}

Result<Transport> Handshake::split() const {
  if (m_failed || !finished()) return handshake_error("it is not finished");
  Result<std::pair<Hash, Hash>> keys = hkdf(m_chaining_key, {});
  if (!keys.ok()) return keys.error();
  const bool initiator = m_role == Role::initiator;
  Transport transport{
      .send = CipherState(initiator ? keys->first : keys->second),
      .receive = CipherState(initiator ? keys->second : keys->first),
      .handshake_hash = m_hash,
      .remote_static = m_remote_static,
  };
  wipe(keys->first);
  wipe(keys->second);
  return transport;
}

}  // namespace burrowlink::secure
