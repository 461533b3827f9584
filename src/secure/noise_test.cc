#include "secure/noise.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_util.h"
#include "text/hex.h"

namespace burrowlink::secure {
namespace {

struct Vector {
  const char* name;
  Pattern pattern;
  std::size_t handshake_messages;
  const char* prologue;
  const char* initiator_static;  // nullptr: none
  const char* initiator_ephemeral;
  const char* responder_static;
  const char* responder_ephemeral;
  const char* handshake_hash;
  std::vector<std::pair<const char*, const char*>> messages;  // payload, sent
};

// From the public-domain vector file vectors/cacophony.txt of the cacophony
// project (haskell-cryptography/cacophony, commit 8ee9d41e).
const Vector VECTORS[] = {
    {"Noise_XX_25519_ChaChaPoly_SHA256",
     Pattern::xx,
     3,
     "4a6f686e2047616c74",
     "e61ef9919cde45dd5f82166404bd08e38bceb5dfdfded0a34c8df7ed542214d1",
     "893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a",
     "4a3acbfdb163dec651dfa3194dece676d437029c62a408b4c5ea9114246e4893",
     "bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b",
     "c8e5f64e846193be2a834104c2a009868d6c9f3bd3c186299888b488b2f1f58e",
     {{"4c756477696720766f6e204d69736573",
       "ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c79444c7564"
       "77696720766f6e204d69736573"},
      {"4d757272617920526f746862617264",
       "95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f14480884381cbad"
       "1f276e038c48378ffce2b65285e08d6b68aaa3629a5a8639392490e5b9bd5269c2f1e4"
       "f488ed8831161f19b7815528f8982ffe09be9b5c412f8a0db50f8814c7194e83f23dbd"
       "8d162c9326ad"},
      {"462e20412e20486179656b",
       "c7195ffacac1307ff99046f219750fc47693e23c3cb08b89c2af808b444850a80ae475"
       "b9df0f169ae80a89be0865b57f58c9fea0d4ec82a286427402f113e4b6ae769a1d9594"
       "1d49b25030"},
      {"4361726c204d656e676572",
       "96763ed773f8e47bb3712f0e29b3060ffc956ffc146cee53d5e1df"},
      {"4a65616e2d426170746973746520536179",
       "3e40f15f6f3a46ae446b253bf8b1d9ffb6ed9b174d272328ff91a7e2e5c79c07f5"},
      {"457567656e2042f6686d20766f6e2042617765726b",
       "eb3f3515110702e047a6c9da4478b6ead94873c11c0f2d710ddb3f09fce024b3a58502"
       "ae3f"}}},
    {"Noise_NN_25519_ChaChaPoly_SHA256",
     Pattern::nn,
     2,
     "4a6f686e2047616c74",
     nullptr,
     "893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a",
     nullptr,
     "bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b",
     "9223fec1b892ec9d0dc2fb3bbeb261f170d1ea679f9c44ccf34aa131b4f5d97e",
     {{"4c756477696720766f6e204d69736573",
       "ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c79444c7564"
       "77696720766f6e204d69736573"},
      {"4d757272617920526f746862617264",
       "95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f144808843a0ff96"
       "bdf86b579ef7dbf94e812a7470b903c20a85a87e3a1fe863264ae547"},
      {"462e20412e20486179656b",
       "eb1a3e3d80c1792b1bb9cb0e1382f8d8322bfb1ca7c4c8517bb686"},
      {"4361726c204d656e676572",
       "c781b198d2a974eb1da2c7d518c000cf6396de87ca540963c03713"},
      {"4a65616e2d426170746973746520536179",
       "c77048eb6919fdfe8fe45842bfc5b8d1ff50d1e20c717453ccdfe6176d805b996d"},
      {"457567656e2042f6686d20766f6e2042617765726b",
       "61834d7069dcfb7a1adf8d5ac910f83fa04c73a67789895c6f5f995c5db2ce88e49b12"
       "4178"}}},
};

Buffer bytes(const std::string& hex) {
  Buffer out(hex.size() / 2);
  EXPECT_TRUE(text::from_hex(hex, out)) << hex;
  return out;
}

std::optional<KeyPair> pair(const char* hex, std::optional<Key> public_key) {
  if (!hex) return std::nullopt;
  Key private_key{};
  EXPECT_TRUE(text::from_hex(hex, private_key));
  Result<KeyPair> made = key_pair_from(private_key);
  EXPECT_TRUE(made.ok());
  if (public_key) made->public_key = *public_key;  // a forged static key
  return *made;
}

// What can go wrong on the way: `damage` changes each message as sent, and
// a side may claim a static public key that is not its own.
struct Faults {
  std::function<void(std::size_t, Buffer&)> damage;
  std::optional<Key> initiator_public, responder_public;
};

struct Exchange {
  std::vector<Buffer> sent, received;
  std::size_t failed_at = SIZE_MAX;  // the message whose write or read failed
  std::string error;
  std::optional<Transport> initiator, responder;
};

// Both sides of `v` exchanging all its messages, sent alternately.
Exchange run(const Vector& v, const Faults& faults = {}) {
  Exchange r;
  Result<Handshake> sides[] = {
      Handshake::start(v.pattern, Role::initiator, bytes(v.prologue),
                       pair(v.initiator_static, faults.initiator_public),
                       pair(v.initiator_ephemeral, {})),
      Handshake::start(v.pattern, Role::responder, bytes(v.prologue),
                       pair(v.responder_static, faults.responder_public),
                       pair(v.responder_ephemeral, {}))};
  if (!sides[0].ok() || !sides[1].ok()) return r;
  for (std::size_t i = 0; i < v.messages.size(); ++i) {
    Handshake& writer = *sides[i % 2];
    Handshake& reader = *sides[1 - i % 2];
    std::optional<Transport>& send = i % 2 ? r.responder : r.initiator;
    std::optional<Transport>& receive = i % 2 ? r.initiator : r.responder;
    const Buffer payload = bytes(v.messages[i].first);
    Result<Buffer> message = i < v.handshake_messages
                                 ? writer.write_message(payload)
                                 : send->send.encrypt_with_ad({}, payload);
    if (!message.ok())
      return r.failed_at = i, r.error = message.error().message, r;
    r.sent.push_back(*message);
    if (faults.damage) faults.damage(i, *message);
    Result<Buffer> read = i < v.handshake_messages
                              ? reader.read_message(*message)
                              : receive->receive.decrypt_with_ad({}, *message);
    if (!read.ok()) return r.failed_at = i, r.error = read.error().message, r;
    r.received.push_back(*read);
    if (i + 1 == v.handshake_messages) {
      EXPECT_TRUE(writer.finished() && reader.finished());
      r.initiator = *sides[0]->split();
      r.responder = *sides[1]->split();
    }
  }
  return r;
}

TEST(Noise, Vectors) {
  for (const Vector& v : VECTORS) {
    Exchange r = run(v);
    ASSERT_EQ(r.failed_at, SIZE_MAX) << v.name;
    for (std::size_t i = 0; i < v.messages.size(); ++i) {
      EXPECT_EQ(text::to_hex(r.sent[i]), v.messages[i].second) << v.name << i;
      EXPECT_EQ(text::to_hex(r.received[i]), v.messages[i].first) << v.name;
    }
    EXPECT_EQ(text::to_hex(r.initiator->handshake_hash), v.handshake_hash);
    EXPECT_EQ(text::to_hex(r.responder->handshake_hash), v.handshake_hash);
    // Each side learnt the other's static key (XX) or none (NN).
    EXPECT_EQ(r.initiator->remote_static.has_value(),
              v.responder_static != nullptr);
    if (v.responder_static) {
      EXPECT_EQ(*r.initiator->remote_static,
                pair(v.responder_static, {})->public_key);
      EXPECT_EQ(*r.responder->remote_static,
                pair(v.initiator_static, {})->public_key);
    }
  }
}

TEST(Noise, DamagedMessagesFail) {
  const Vector& xx = VECTORS[0];
  const struct {
    const char* name;
    std::function<void(Buffer&)> change;
  } damages[] = {
      {"first bit", [](Buffer& m) { m.front() ^= 1; }},
      {"middle bit", [](Buffer& m) { m[m.size() / 2] ^= 0x10; }},
      {"last bit", [](Buffer& m) { m.back() ^= 0x80; }},
      {"one byte short", [](Buffer& m) { m.pop_back(); }},
      {"one byte more", [](Buffer& m) { m.push_back(0); }},
      {"cut in the first key", [](Buffer& m) { m.resize(KEY_SIZE - 1); }},
  };
  for (std::size_t target = 0; target < xx.messages.size(); ++target) {
    for (const auto& d : damages) {
      Faults faults;
      faults.damage = [&](std::size_t i, Buffer& m) {
        if (i == target) d.change(m);
      };
      // The first message goes in clear: its damage shows when the answer,
      // bound to it through the handshake hash, is read. A cut key at once.
      const std::size_t fails_at = target == 0 && d.name[0] != 'c' ? 1 : target;
      EXPECT_EQ(run(xx, faults).failed_at, fails_at)
          << d.name << " in message " << target;
    }
  }
}

TEST(Noise, LowOrderKeysAreRefused) {
  const Vector& xx = VECTORS[0];
  // Points of small order, and two that reduce to them (p - 1, p).
  for (const char* hex :
       {"0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
        "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"}) {
    Key low{};
    ASSERT_TRUE(text::from_hex(hex, low));
    const auto as_ephemeral_in = [&](std::size_t message) {
      Faults faults;
      faults.damage = [&, message](std::size_t i, Buffer& m) {
        if (i == message) std::copy(low.begin(), low.end(), m.begin());
      };
      return faults;
    };
    const struct {
      const char* name;
      Faults faults;
      std::size_t fails_at;
    } cases[] = {
        // The responder's answer mixes it in: the write fails.
        {"initiator's ephemeral", as_ephemeral_in(0), 1},
        {"responder's ephemeral", as_ephemeral_in(1), 1},
        {"initiator's static", {{}, low, {}}, 2},
        {"responder's static", {{}, {}, low}, 1},
    };
    for (const auto& c : cases) {
      Exchange r = run(xx, c.faults);
      EXPECT_EQ(r.failed_at, c.fails_at) << c.name << " " << hex;
      EXPECT_NE(r.error.find("low order"), std::string::npos) << r.error;
    }
  }
}

TEST(Noise, LastNonceIsNeverUsed) {
  CipherState sender(Key{1}), receiver(Key{1});
  sender.set_nonce(NONCE_LIMIT - 1);
  receiver.set_nonce(NONCE_LIMIT - 1);
  Result<Buffer> last = sender.encrypt_with_ad({}, Buffer{1, 2, 3});
  ASSERT_OK(last);
  ASSERT_OK(receiver.decrypt_with_ad({}, *last));
  EXPECT_FALSE(sender.encrypt_with_ad({}, Buffer{1, 2, 3}).ok());
  EXPECT_FALSE(receiver.decrypt_with_ad({}, *last).ok());
}

TEST(Noise, MisuseFails) {
  const Vector& xx = VECTORS[0];
  EXPECT_FALSE(Handshake::start(Pattern::xx, Role::initiator, {}, {}).ok());
  Result<Handshake> responder = Handshake::start(
      Pattern::xx, Role::responder, {}, pair(xx.responder_static, {}));
  ASSERT_OK(responder);
  EXPECT_FALSE(responder->write_message({}).ok());  // the initiator begins
  Result<Handshake> initiator = Handshake::start(
      Pattern::xx, Role::initiator, {}, pair(xx.initiator_static, {}));
  ASSERT_OK(initiator);
  EXPECT_FALSE(initiator->split().ok());
  EXPECT_FALSE(initiator->write_message(Buffer(MESSAGE_MAX)).ok());
  EXPECT_FALSE(initiator->write_message({}).ok());  // a failed one stays so
}

}  // namespace
}  // namespace burrowlink::secure
