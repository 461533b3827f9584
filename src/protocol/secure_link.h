#pragma once

// What the secure channel means to a transfer: who this device is on it,
// who the peer is, and whether its key is the one pinned for it.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "identity/device_key.h"
#include "identity/identity.h"
#include "secure/channel.h"

namespace burrowlink {

// This device on the secure channel.
struct LocalDevice {
  secure::KeyPair key;
  DeviceId id;
  std::string name;
  // Where the known-devices file is.
  std::string known_folder;
};

// This device with its key, its file made when missing.
Result<LocalDevice> load_local_device(DeviceId id, std::string name);

// The device at the other end, as the handshake authenticated it.
struct Authenticated {
  DeviceId id;
  std::string name;  // cut to DEVICE_NAME_MAX
  secure::Key key{};
  // Its key was pinned by this contact.
  bool new_device = false;
};

// "Secure connection from NAME, a new device (key FINGERPRINT)", or
// without "a new device" for a known one; `direction` is "from" or "to".
std::string secured_text(std::string_view direction, const Authenticated& peer);

// A number drawn for one comparison of codes.
using Nonce = secure::Hash;
Result<Nonce> draw_nonce();
// What the responder's handshake message binds it to: the SHA-256 of
// "burrowlink commitment" and its nonce.
secure::Hash commitment_to(const Nonce& nonce);
// The code both users compare: from the SHA-256 of "burrowlink code", the
// handshake hash and both nonces, its first 8 bytes (big-endian) modulo
// 1,000,000, as six digits in two groups ("042 917"); empty when the
// digest cannot be had.
std::string verification_code(const secure::Hash& handshake_hash,
                              const Nonce& initiator, const Nonce& responder);

// What a handshake message carries: {"id":..,"name":..}, and what
// comparing codes needs.
struct DeviceCard {
  DeviceId id;
  std::string name;
  bool verify = false;                 // its user asked to compare codes
  std::optional<secure::Hash> commit;  // the responder's, to its nonce
  std::optional<Nonce> nonce;          // the initiator's, when comparing
};
std::string device_card(const DeviceCard& card);
DeviceCard card_of(const LocalDevice& device);
std::optional<DeviceCard> read_device_card(secure::ConstBytes payload);

// The failure of a device whose key is not the one pinned for its id in
// the known-devices file at `path`.
std::string key_changed_text(std::string_view name, const secure::Key& pinned,
                             const secure::Key& presented,
                             std::string_view path);

// A handshake's peer taken as the device it says it is, not yet pinned.
struct Admission {
  Authenticated peer;
  DeviceCard card;
  KnownDevices known;
  KnownDevice seen;  // its line once pinned
};

// Takes the handshake's peer as the device it says it is: refused when
// its key is not the pinned one, or when, new, it does not hold
// `expected`; refused too when the file of pins is full. Its sighting
// carries `receives_at` when this side connected to it (an address with
// its port): a connection from it tells no address it can be reached at.
Result<Admission> admit_peer(const LocalDevice& local, const secure::Peer& peer,
                             const std::optional<std::string>& receives_at,
                             const std::optional<secure::Key>& expected);
// Pins the admitted device, or notes its sighting, as `verified` when both
// users confirmed the code. A home that cannot be written to only costs
// the pin: the next contact is a first one again, and says so.
void pin(Admission& admission, bool verified);

// Shows the code to the user and returns whether they confirmed it.
using AskCode = std::function<bool(std::string_view code)>;
// Within the longest a user takes to compare.
inline constexpr std::chrono::seconds CONFIRM_LIMIT{130};

// The comparison of codes once the handshake is done: the responder
// reveals its nonce, which the initiator checks against the commitment;
// each user is asked; each side that confirmed says so with one byte and
// waits for the other's. Pins the device as verified when both did.
Status compare_codes(secure::SecureChannel& channel, Admission& admission,
                     secure::Role role, const Nonce& mine, const AskCode& ask);

// The offer's claimed sender id, which must be the authenticated one.
Status check_claimed_id(const Authenticated& peer,
                        const std::optional<std::string>& from_id);

}  // namespace burrowlink
