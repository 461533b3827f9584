#include "protocol/secure_link.h"

#include <chrono>

#include "platform/files.h"
#include "text/json_members.h"
#include "text/unicode.h"

namespace burrowlink {

Result<LocalDevice> load_local_device(DeviceId id, std::string name) {
  Result<secure::KeyPair> key = load_device_key();
  if (!key.ok()) return std::move(key).error();
  return LocalDevice{*key, std::move(id), std::move(name), device_folder()};
}

std::string secured_text(std::string_view direction,
                         const Authenticated& peer) {
  return "Secure connection " + std::string(direction) + " " + peer.name +
         (peer.new_device ? ", a new device" : "") + " (key " +
         fingerprint(peer.key) + ")";
}

std::string device_card(const LocalDevice& device) {
  std::string out = "{\"id\":";
  text::json::append_string(out, device.id);
  out += ",\"name\":";
  text::json::append_string(out, device.name);
  out += '}';
  return out;
}

std::optional<DeviceCard> read_device_card(secure::ConstBytes payload) {
  constexpr text::json::Member MEMBERS[] = {{"id", true}, {"name", true}};
  const std::string_view text(reinterpret_cast<const char*>(payload.data()),
                              payload.size());
  text::json::Reader reader(text);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  DeviceCard card;
  std::string* const texts[] = {&card.id, &card.name};
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {}, [&](std::size_t member, text::json::Token value) {
        return text::json::take_plain(reader, member, value, texts, {});
      });
  if (!read.ok() || reader.next() != text::json::Token::end ||
      card.id.empty()) {
    return std::nullopt;
  }
  return card;
}

std::string key_changed_text(std::string_view name, const secure::Key& pinned,
                             const secure::Key& presented,
                             std::string_view path) {
  return std::string(name) +
         " presented another key than the one pinned at first contact "
         "(pinned " +
         fingerprint(pinned) + ", presented " + fingerprint(presented) +
         "), so the connection was refused. If its key changed on purpose, "
         "remove its lines from " +
         std::string(path);
}

Result<Authenticated> admit_peer(const LocalDevice& local,
                                 const secure::Peer& peer,
                                 const std::optional<std::string>& receives_at,
                                 const std::optional<secure::Key>& expected) {
  std::optional<DeviceCard> card = read_device_card(peer.payload);
  if (!card) {
    return Error{"the peer's handshake did not say which device it is",
                 ErrorKind::invalid_data};
  }
  const std::string name(text::first_scalars(card->name, DEVICE_NAME_MAX));
  KnownDevices known = KnownDevices::load(local.known_folder);
  const KnownDevice* pinned = known.find(card->id);
  if (pinned && pinned->key != peer.key) {
    return Error{key_changed_text(
        name, pinned->key, peer.key,
        platform::join_path(local.known_folder, KNOWN_DEVICES_FILE_NAME))};
  }
  if (!pinned && expected && *expected != peer.key) {
    return Error{name + " is not the device expected there (key " +
                 fingerprint(*expected) + " expected, " +
                 fingerprint(peer.key) +
                 " presented), so the connection was refused"};
  }
  if (!pinned && known.full()) {
    return Error{
        "cannot pin a new device: " +
        platform::join_path(local.known_folder, KNOWN_DEVICES_FILE_NAME) +
        " is full; remove the lines of devices no longer met"};
  }
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count();
  KnownDevice seen;
  if (pinned) {
    seen = *pinned;
  } else {
    seen.id = card->id;
    seen.key = peer.key;
    seen.first_seen = now;
  }
  seen.name = name;
  seen.last_seen = now;
  if (receives_at) seen.address = *receives_at;
  // A home that cannot be written to only costs the pin: the next contact
  // is a first one again, and says so.
  (void)known.remember(seen);
  return Authenticated{card->id, name, peer.key, pinned == nullptr};
}

Status check_claimed_id(const Authenticated& peer,
                        const std::optional<std::string>& from_id) {
  if (from_id && *from_id == peer.id) return {};
  return Error{"refused an offer from " + peer.name +
                   " that claims to come from another device (" +
                   (from_id ? "\"" + *from_id + "\"" : std::string("no id")) +
                   ")",
               ErrorKind::invalid_data};
}

}  // namespace burrowlink
