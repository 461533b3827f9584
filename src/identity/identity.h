#pragma once

// This device's persistent identifier and its display name.

#include <optional>
#include <string>

namespace burrowlink {

// The text of a device's persistent identifier.
using DeviceId = std::string;

inline constexpr const char* IDENTITY_FILE_NAME = ".burrowlink-cli-id";
inline constexpr std::size_t DEVICE_NAME_MAX = 40;

// The identifier kept in the identity file in the home folder, making and
// storing a new UUID v4 when the file is missing, unreadable or empty. Never
// fails; a file that cannot be written is ignored.
DeviceId load_device_id();

// The display name: `override` when given (even empty), else COMPUTERNAME,
// HOSTNAME or HOST, else "Command line"; cut to 40 scalar values.
std::string device_name(const std::optional<std::string>& override_name);

// Where the identity file lives: USERPROFILE, else HOME, else ".".
std::string identity_file_path();

// A new random version 4 UUID in lowercase hyphenated form.
DeviceId new_device_id();

}  // namespace burrowlink
