#pragma once

// This device's static key for the secure channel, and the devices whose
// keys it has pinned, both kept beside the identity file for this user
// alone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "secure/noise.h"

namespace burrowlink {

inline constexpr const char* DEVICE_KEY_FILE_NAME = ".burrowlink-cli-key";
inline constexpr const char* KNOWN_DEVICES_FILE_NAME =
    ".burrowlink-cli-known-devices";

// The key pair kept in the key file (its private key as 64 hexadecimal
// digits), made and kept there when the file is missing. Fails when it
// cannot be read or made, or holds anything else.
Result<secure::KeyPair> load_device_key();

// The folder both files are in: the identity file's.
std::string device_folder();
std::string device_key_path();
std::string known_devices_path();

// A short form of `key` for people to compare: the first 10 bytes of its
// SHA-256 in hexadecimal, in groups of four digits.
std::string fingerprint(const secure::Key& key);

// A device whose key was pinned at its first contact.
struct KnownDevice {
  std::string id;
  secure::Key key{};
  std::string name;
  std::int64_t first_seen = 0;  // seconds since 1970 (UTC)
  std::int64_t last_seen = 0;
  // Where it last received from this device ("192.168.1.20:45455"); empty
  // while it never did.
  std::string address;
  // Its user and ours compared the code of a connection to it.
  bool verified = false;
};

// The known-devices file: one JSON object per line, appended to; for each
// device id the last line counts. Unreadable lines are skipped.
class KnownDevices {
 public:
  // Reads the file in `folder`; a missing file knows no device.
  static KnownDevices load(std::string folder);

  const KnownDevice* find(std::string_view id) const;
  // At its size limit: it pins no more devices, so that none is read past
  // the limit and silently met anew.
  bool full() const { return m_full; }
  // The device last reached at `address`, the latest when several were.
  const KnownDevice* find_at(std::string_view address) const;
  // A device of that display name, ignoring case.
  const KnownDevice* find_named(std::string_view name) const;
  // Notes `device` (appending its line), unless only its last sighting
  // moved, and by less than a day: the file grows by contacts that tell
  // something.
  Status remember(const KnownDevice& device);

 private:
  KnownDevice* find_mutable(std::string_view id);

  std::string m_folder;
  std::vector<KnownDevice> m_devices;
  bool m_full = false;
};

// The line of `device`, and the device of a line.
std::string known_device_line(const KnownDevice& device);
std::optional<KnownDevice> read_known_device(std::string_view line);

}  // namespace burrowlink
