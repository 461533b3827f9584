#include "identity/identity.h"

#include <array>
#include <cstdint>

#include "platform/files.h"
#include "platform/process.h"
#include "text/unicode.h"

namespace burrowlink {

namespace {

// The first of `names` that is set and holds valid text, even when empty.
std::optional<std::string> first_usable_env(
    std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::optional<std::string> value = platform::get_env(name);
    if (value && text::is_valid_utf8(*value)) return value;
  }
  return std::nullopt;
}

}  // namespace

std::string identity_file_path() {
  std::string home = platform::home_folder().value_or(".");
  return platform::join_path(home, IDENTITY_FILE_NAME);
}

DeviceId new_device_id() {
  std::array<std::uint8_t, 16> bytes{};
  Status status = platform::random_bytes(bytes);
  if (!status.ok()) {
    platform::fatal("could not retrieve random bytes for uuid: " +
                    status.error().message);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  static constexpr char HEX[] = "0123456789abcdef";
  DeviceId id;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += HEX[bytes[i] >> 4];
    id += HEX[bytes[i] & 0x0F];
  }
  return id;
}

DeviceId load_device_id() {
  std::string path = identity_file_path();
  Result<std::string> content = platform::read_file(path);
  if (content.ok() && text::is_valid_utf8(*content)) {
    std::string_view trimmed = text::trim_white_space(*content);
    if (!trimmed.empty()) return DeviceId(trimmed);
  }
  DeviceId id = new_device_id();
  // A home we cannot write to only costs a stable identity.
  (void)platform::write_file(path, id);
  return id;
}

std::string device_name(const std::optional<std::string>& override_name) {
  std::optional<std::string> candidate = override_name;
  if (!candidate) {
    candidate = first_usable_env({"COMPUTERNAME", "HOSTNAME", "HOST"});
  }
  // HOSTNAME is a shell variable that is seldom exported: the system's own
  // name tells two computers apart where no variable does.
  if (!candidate) candidate = platform::host_name();
  if (!candidate || !text::is_valid_utf8(*candidate)) {
    candidate = "Command line";
  }
  return std::string(text::first_scalars(*candidate, DEVICE_NAME_MAX));
}

}  // namespace burrowlink
