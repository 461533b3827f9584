#include "protocol/secure_link.h"

#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <thread>

#include "test_util.h"

namespace burrowlink {
namespace {

using testing::ScopedTempDir;

secure::KeyPair key_pair(std::uint8_t seed) {
  secure::Key key{};
  key.fill(seed);
  Result<secure::KeyPair> made = secure::key_pair_from(key);
  EXPECT_TRUE(made.ok());
  return *made;
}

secure::Peer peer(std::uint8_t seed, std::string card) {
  return {key_pair(seed).public_key, secure::Buffer(card.begin(), card.end())};
}

// One device's contacts in order, each with what it must come to.
TEST(SecureLink, KeysArePinnedAtFirstContactAndHeldToAfter) {
  ScopedTempDir home;
  const LocalDevice local{key_pair(1), "me", "Me", home.path()};
  const std::string bob = R"({"id":"bob-id","name":"Bob"})";
  const std::string path = home.file(KNOWN_DEVICES_FILE_NAME);
  struct Contact {
    const char* what;
    secure::Peer peer;
    std::optional<std::string> receives_at;
    std::optional<secure::Key> announced;
    std::string error;  // empty: admitted
    bool new_device = false;
  };
  const Contact contacts[] = {
      {"a card without an id",
       peer(2, R"({"name":"Bob"})"),
       {},
       {},
       "did not say which device"},
      {"a new device whose key is not the one expected there", peer(2, bob),
       "10.0.0.2:45455", key_pair(3).public_key,
       "Bob is not the device expected there (key " +
           fingerprint(key_pair(3).public_key) + " expected, " +
           fingerprint(key_pair(2).public_key) + " presented)"},
      {"the first contact, sending to it", peer(2, bob), "10.0.0.2:45455",
       key_pair(2).public_key, "", true},
      {"a connection from it", peer(2, bob), std::nullopt, {}, "", false},
      {"another key for its id",
       peer(3, bob),
       "10.0.0.2:45455",
       {},
       "Bob presented another key than the one pinned at first contact "
       "(pinned " +
           fingerprint(key_pair(2).public_key) + ", presented " +
           fingerprint(key_pair(3).public_key) +
           "), so the connection was refused. If its key changed on "
           "purpose, remove its lines from " +
           path},
      {"another device with that key",
       peer(2, R"({"id":"eve","name":"E"})"),
       {},
       {},
       "",
       true},
  };
  for (const Contact& c : contacts) {
    SCOPED_TRACE(c.what);
    Result<Admission> admitted =
        admit_peer(local, c.peer, c.receives_at, c.announced);
    if (!c.error.empty()) {
      ASSERT_FALSE(admitted.ok());
      EXPECT_NE(std::string::npos, admitted.error().message.find(c.error))
          << admitted.error().message;
      continue;
    }
    ASSERT_TRUE(admitted.ok()) << admitted.error().message;
    EXPECT_EQ(c.new_device, admitted->peer.new_device);
    EXPECT_EQ(c.peer.key, admitted->peer.key);
    pin(*admitted, false);
  }
  // Where it was sent to stays its address when it connects from
  // elsewhere.
  const KnownDevices known = KnownDevices::load(home.path());
  const KnownDevice* found = known.find_at("10.0.0.2:45455");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("bob-id", found->id);
  EXPECT_EQ(key_pair(2).public_key, found->key);
  EXPECT_EQ(nullptr, known.find_at("10.0.0.2"));
}

TEST(SecureLink, TheKnownDevicesFileTakesItsLastLineForEachDevice) {
  KnownDevice bob{"bob", key_pair(2).public_key, "Bob \"B\"", 10, 20, "a:1"};
  const std::string line = known_device_line(bob);
  std::optional<KnownDevice> read =
      read_known_device(std::string_view(line).substr(0, line.size() - 1));
  ASSERT_TRUE(read);
  EXPECT_EQ(bob.name, read->name);
  EXPECT_EQ(bob.key, read->key);
  EXPECT_EQ(20, read->last_seen);

  ScopedTempDir home;
  KnownDevice later = bob;
  later.key = key_pair(3).public_key;
  later.verified = true;
  testing::write_whole(
      home.file(KNOWN_DEVICES_FILE_NAME),
      known_device_line(bob) + "not a line\n" +
          R"({"id":"x","key":"00","name":"","address":"","first":1,"last":1})" +
          "\n" + known_device_line(later));
  const KnownDevices known = KnownDevices::load(home.path());
  ASSERT_NE(nullptr, known.find("bob"));
  EXPECT_EQ(later.key, known.find("bob")->key);
  EXPECT_TRUE(known.find("bob")->verified);
  EXPECT_EQ(nullptr, known.find("x"));

  // A full file pins no one more, rather than forget what lies past its
  // limit; the devices in it are still held to their keys.
  testing::write_whole(home.file(KNOWN_DEVICES_FILE_NAME),
                       known_device_line(bob) + std::string(4 << 20, '\n'));
  const LocalDevice local{key_pair(1), "me", "Me", home.path()};
  Result<Admission> stranger =
      admit_peer(local, peer(4, R"({"id":"new","name":"N"})"), {}, {});
  ASSERT_FALSE(stranger.ok());
  EXPECT_NE(std::string::npos,
            stranger.error().message.find("cannot pin a new device"));
  EXPECT_TRUE(
      admit_peer(local, peer(2, R"({"id":"bob","name":"B"})"), {}, {}).ok());
  EXPECT_FALSE(
      admit_peer(local, peer(3, R"({"id":"bob","name":"B"})"), {}, {}).ok());
}

// Both sides of a connection that compares codes, the responder's nonce
// revealed as `revealed` (it committed to another in the bad row), each
// user answering as told. Only a device both users confirmed is pinned,
// and as verified.
TEST(SecureLink, CodesAreComparedOnlyAfterTheResponderCommitted) {
  struct Case {
    const char* what;
    bool initiator_says_yes, responder_says_yes;
    bool reveal_another;  // a responder choosing after seeing the other's
    std::string initiator_error, responder_error;  // empty: confirmed
  };
  const Case cases[] = {
      {"both users confirm", true, true, false, "", ""},
      {"the sending user does not", false, true, false, "were not confirmed",
       "Alice did not confirm"},
      {"the receiving user does not", true, false, false, "Bob did not confirm",
       "were not confirmed"},
      {"a responder that reveals another number than it committed to", true,
       true, true, "Bob revealed another number than it committed to",
       "Alice did not confirm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTempDir alice_home, bob_home;
    const LocalDevice alice{key_pair(1), "alice-id", "Alice",
                            alice_home.path()};
    const LocalDevice bob{key_pair(2), "bob-id", "Bob", bob_home.path()};
    auto pair = platform::TcpStream::pair();
    ASSERT_TRUE(pair.ok());
    const Nonce alice_nonce = *draw_nonce(), committed = *draw_nonce();
    const Nonce revealed = c.reveal_another ? *draw_nonce() : committed;
    std::string alice_code, bob_code;
    Status bob_result;
    std::thread responder([&] {
      std::array<std::uint8_t, 4> preamble{};
      ASSERT_TRUE(pair->second.read_exact(preamble).ok());
      DeviceCard card = card_of(bob);
      card.commit = commitment_to(committed);
      const std::string text = device_card(card);
      std::optional<Admission> admitted;
      Result<secure::SecureChannel> channel = secure::respond(
          pair->second, bob.key,
          {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
          [&](const secure::Peer& peer) -> Status {
            Result<Admission> admission = admit_peer(bob, peer, {}, {});
            if (admission.ok()) admitted.emplace(std::move(admission).value());
            return {};
          });
      ASSERT_TRUE(channel.ok() && admitted);
      bob_result = compare_codes(*channel, *admitted, secure::Role::responder,
                                 revealed, [&](std::string_view code) {
                                   bob_code = code;
                                   return c.responder_says_yes;
                                 });
    });
    std::optional<Admission> admitted;
    Result<secure::SecureChannel> channel = secure::initiate(
        pair->first, alice.key,
        [&](const secure::Peer& peer) -> Result<secure::Buffer> {
          Result<Admission> admission =
              admit_peer(alice, peer, "10.0.0.2:45455", {});
          if (!admission.ok()) return std::move(admission).error();
          admitted.emplace(std::move(admission).value());
          DeviceCard card = card_of(alice);
          card.verify = true;
          card.nonce = alice_nonce;
          const std::string text = device_card(card);
          return secure::Buffer(text.begin(), text.end());
        });
    ASSERT_TRUE(channel.ok() && admitted);
    Status alice_result =
        compare_codes(*channel, *admitted, secure::Role::initiator, alice_nonce,
                      [&](std::string_view code) {
                        alice_code = code;
                        return c.initiator_says_yes;
                      });
    if (!alice_result.ok()) channel->close();
    responder.join();
    for (auto [result, expected] :
         {std::pair{&alice_result, &c.initiator_error},
          {&bob_result, &c.responder_error}}) {
      if (expected->empty()) {
        EXPECT_TRUE(result->ok()) << result->error().message;
      } else {
        ASSERT_FALSE(result->ok());
        EXPECT_NE(std::string::npos, result->error().message.find(*expected))
            << result->error().message;
      }
    }
    if (!c.reveal_another) {
      EXPECT_EQ(alice_code, bob_code);
      EXPECT_TRUE(std::regex_match(alice_code, std::regex("[0-9]{3} [0-9]{3}")))
          << alice_code;
    }
    const bool confirmed = c.initiator_error.empty();
    const KnownDevices alice_pins = KnownDevices::load(alice.known_folder);
    const KnownDevices bob_pins = KnownDevices::load(bob.known_folder);
    EXPECT_EQ(confirmed, alice_pins.find("bob-id") != nullptr);
    EXPECT_EQ(confirmed, bob_pins.find("alice-id") != nullptr);
    if (confirmed) {
      EXPECT_TRUE(alice_pins.find("bob-id")->verified);
      EXPECT_TRUE(bob_pins.find("alice-id")->verified);
    }
  }
}

}  // namespace
}  // namespace burrowlink
