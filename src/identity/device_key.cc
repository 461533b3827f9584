#include "identity/device_key.h"

#include <chrono>
#include <thread>

#include "identity/identity.h"
#include "platform/files.h"
#include "platform/process.h"
#include "text/hex.h"
#include "text/json_members.h"
#include "text/unicode.h"

namespace burrowlink {

namespace {

constexpr std::size_t KNOWN_DEVICES_BYTES = 4 << 20;
constexpr std::int64_t SIGHTING_STEP = 86400;

Result<secure::KeyPair> read_key(std::string_view text) {
  secure::Key key{};
  if (!text::from_hex(text::trim_white_space(text), key)) {
    return Error{device_key_path() +
                 ": not a key (64 hexadecimal digits expected)"};
  }
  Result<secure::KeyPair> pair = secure::key_pair_from(key);
  secure::wipe(key);
  return pair;
}

}  // namespace

std::string device_folder() { return platform::home_folder().value_or("."); }

std::string device_key_path() {
  return platform::join_path(device_folder(), DEVICE_KEY_FILE_NAME);
}

std::string known_devices_path() {
  return platform::join_path(device_folder(), KNOWN_DEVICES_FILE_NAME);
}

Result<secure::KeyPair> load_device_key() {
  Result<platform::Directory> folder =
      platform::Directory::open(device_folder());
  if (!folder.ok()) {
    return Error{device_folder() + ": " + folder.error().message};
  }
  // A second process may be making it meanwhile: then its key is taken.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (std::optional<std::string> text =
            folder->read_small(DEVICE_KEY_FILE_NAME, 256)) {
      // Another process may have made it and not yet written it.
      for (int wait = 0; wait < 20 && text->size() < 2 * secure::KEY_SIZE;
           ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        text = folder->read_small(DEVICE_KEY_FILE_NAME, 256);
        if (!text) text.emplace();
      }
      Result<secure::KeyPair> pair = read_key(*text);
      secure::wipe(
          {reinterpret_cast<std::uint8_t*>(text->data()), text->size()});
      return pair;
    }
    Result<secure::KeyPair> made = secure::generate_key_pair();
    if (!made.ok()) return made.error();
    std::string hex = text::to_hex(made->private_key);
    Status written = folder->write_new(DEVICE_KEY_FILE_NAME, hex);
    secure::wipe({reinterpret_cast<std::uint8_t*>(hex.data()), hex.size()});
    if (written.ok()) return made;
    if (written.error().kind != ErrorKind::already_exists) {
      return Error{device_key_path() + ": " + written.error().message};
    }
  }
  return Error{device_key_path() + ": cannot be read"};
}

std::string fingerprint(const secure::Key& key) {
  Result<secure::Hash> hash = secure::sha256(key);
  if (!hash.ok()) return "?";
  const std::string hex = text::to_hex(std::span(hash->data(), 10));
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 4) {
    if (i > 0) out += ' ';
    out += hex.substr(i, 4);
  }
  return out;
}

std::string known_device_line(const KnownDevice& device) {
  std::string out = "{\"id\":";
  text::json::append_string(out, device.id);
  out += ",\"key\":\"" + text::to_hex(device.key) + "\",\"name\":";
  text::json::append_string(out, device.name);
  out += ",\"address\":";
  text::json::append_string(out, device.address);
  out += ",\"first\":" + std::to_string(device.first_seen) +
         ",\"last\":" + std::to_string(device.last_seen) +
         (device.verified ? ",\"verified\":1" : "") + "}\n";
  return out;
}

std::optional<KnownDevice> read_known_device(std::string_view line) {
  constexpr text::json::Member MEMBERS[] = {
      {"id", true},    {"key", true},  {"name", true}, {"address", true},
      {"first", true}, {"last", true}, {"verified"}};
  text::json::Reader reader(line);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  KnownDevice device;
  std::string key;
  std::string* const texts[] = {&device.id, &key, &device.name,
                                &device.address};
  std::uint64_t numbers[3] = {};
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {}, [&](std::size_t member, text::json::Token value) {
        return text::json::take_plain(reader, member, value, texts, numbers);
      });
  if (!read.ok() || reader.next() != text::json::Token::end ||
      !text::from_hex(key, device.key) || numbers[0] > INT64_MAX ||
      numbers[1] > INT64_MAX) {
    return std::nullopt;
  }
  device.first_seen = static_cast<std::int64_t>(numbers[0]);
  device.last_seen = static_cast<std::int64_t>(numbers[1]);
  device.verified = numbers[2] == 1;
  return device;
}

KnownDevices KnownDevices::load(std::string folder) {
  KnownDevices known;
  known.m_folder = std::move(folder);
  Result<platform::Directory> opened =
      platform::Directory::open(known.m_folder);
  if (!opened.ok()) return known;
  std::optional<std::string> text =
      opened->read_small(KNOWN_DEVICES_FILE_NAME, KNOWN_DEVICES_BYTES);
  if (!text) return known;
  known.m_full = text->size() >= KNOWN_DEVICES_BYTES;
  std::string_view rest = *text;
  for (std::size_t end; (end = rest.find('\n')) != rest.npos;
       rest.remove_prefix(end + 1)) {
    std::optional<KnownDevice> device = read_known_device(rest.substr(0, end));
    if (!device) continue;
    if (KnownDevice* same = known.find_mutable(device->id)) {
      *same = std::move(*device);
    } else {
      known.m_devices.push_back(std::move(*device));
    }
  }
  return known;
}

KnownDevice* KnownDevices::find_mutable(std::string_view id) {
  for (KnownDevice& device : m_devices) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

const KnownDevice* KnownDevices::find(std::string_view id) const {
  for (const KnownDevice& device : m_devices) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

const KnownDevice* KnownDevices::find_at(std::string_view address) const {
  const KnownDevice* latest = nullptr;
  for (const KnownDevice& device : m_devices) {
    if (device.address == address &&
        (!latest || device.last_seen >= latest->last_seen)) {
      latest = &device;
    }
  }
  return latest;
}

const KnownDevice* KnownDevices::find_named(std::string_view name) const {
  const std::string wanted = text::to_lower(name);
  for (const KnownDevice& device : m_devices) {
    if (text::to_lower(device.name) == wanted) return &device;
  }
  return nullptr;
}

Status KnownDevices::remember(const KnownDevice& device) {
  KnownDevice* same = find_mutable(device.id);
  if (m_full ||
      (same && same->key == device.key && same->name == device.name &&
       same->address == device.address && same->verified == device.verified &&
       device.last_seen - same->last_seen < SIGHTING_STEP)) {
    return {};
  }
  const std::string path =
      platform::join_path(m_folder, KNOWN_DEVICES_FILE_NAME);
  Result<platform::Directory> folder = platform::Directory::open(m_folder);
  if (!folder.ok()) return Error{path + ": " + folder.error().message};
  if (Status added =
          folder->append(KNOWN_DEVICES_FILE_NAME, known_device_line(device));
      !added.ok()) {
    return Error{path + ": " + added.error().message};
  }
  if (same) {
    *same = device;
  } else {
    m_devices.push_back(device);
  }
  return {};
}

}  // namespace burrowlink
