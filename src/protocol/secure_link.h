#pragma once

// What the secure channel means to a transfer: who this device is on it,
// who the peer is, and whether its key is the one pinned for it.

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

// What a handshake message carries: {"id":..,"name":..}.
std::string device_card(const LocalDevice& device);
struct DeviceCard {
  DeviceId id;
  std::string name;
};
std::optional<DeviceCard> read_device_card(secure::ConstBytes payload);

// The failure of a device whose key is not the one pinned for its id in
// the known-devices file at `path`.
std::string key_changed_text(std::string_view name, const secure::Key& pinned,
                             const secure::Key& presented,
                             std::string_view path);

// Takes the handshake's peer as the device it says it is: pinned on first
// contact, refused when its key is not the pinned one, or when, new, it
// does not hold `expected`; refused too when the file of pins is full. Its
// sighting is noted, with
// `receives_at` when this side connected to it (an address with its port):
// a connection from it tells no address it can be reached at.
Result<Authenticated> admit_peer(const LocalDevice& local,
                                 const secure::Peer& peer,
                                 const std::optional<std::string>& receives_at,
                                 const std::optional<secure::Key>& expected);

// The offer's claimed sender id, which must be the authenticated one.
Status check_claimed_id(const Authenticated& peer,
                        const std::optional<std::string>& from_id);

}  // namespace burrowlink
