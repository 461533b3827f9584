#include "protocol/secure_link.h"

#include <chrono>

#include "platform/files.h"
#include "secure/primitives.h"
#include "text/hex.h"
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

namespace {

constexpr std::string_view COMMITMENT_LABEL = "burrowlink commitment";
constexpr std::string_view CODE_LABEL = "burrowlink code";
// The byte each side sends once its user confirmed the code.
constexpr std::uint8_t CONFIRMED = 0x01;

secure::ConstBytes bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void append_hex_member(std::string& out, std::string_view name,
                       const std::optional<secure::Hash>& value) {
  if (!value) return;
  out += ",\"" + std::string(name) + "\":\"" + text::to_hex(*value) + '"';
}

bool read_hex(const std::string& text, std::optional<secure::Hash>& out) {
  if (text.empty()) return true;
  secure::Hash value{};
  if (!text::from_hex(text, value)) return false;
  out = value;
  return true;
}

}  // namespace

Result<Nonce> draw_nonce() {
  Nonce nonce{};
  RETURN_IF_ERROR(secure::random_fill(nonce));
  return nonce;
}

secure::Hash commitment_to(const Nonce& nonce) {
  Result<secure::Hash> hash = secure::sha256(bytes_of(COMMITMENT_LABEL), nonce);
  // SHA-256 does not fail once the library is up; a zero commitment would
  // match no nonce.
  return hash.ok() ? *hash : secure::Hash{};
}

std::string verification_code(const secure::Hash& handshake_hash,
                              const Nonce& initiator, const Nonce& responder) {
  secure::Buffer input(handshake_hash.begin(), handshake_hash.end());
  input.insert(input.end(), initiator.begin(), initiator.end());
  input.insert(input.end(), responder.begin(), responder.end());
  Result<secure::Hash> hash = secure::sha256(bytes_of(CODE_LABEL), input);
  if (!hash.ok()) return "";
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = value << 8 | (*hash)[i];
  std::string digits = std::to_string(value % 1'000'000);
  digits.insert(0, 6 - digits.size(), '0');
  return digits.substr(0, 3) + " " + digits.substr(3);
}

std::string device_card(const DeviceCard& card) {
  std::string out = "{\"id\":";
  text::json::append_string(out, card.id);
  out += ",\"name\":";
  text::json::append_string(out, card.name);
  if (card.verify) out += ",\"verify\":1";
  append_hex_member(out, "commit", card.commit);
  append_hex_member(out, "nonce", card.nonce);
  out += '}';
  return out;
}

DeviceCard card_of(const LocalDevice& device) {
  DeviceCard card;
  card.id = device.id;
  card.name = device.name;
  return card;
}

std::optional<DeviceCard> read_device_card(secure::ConstBytes payload) {
  constexpr text::json::Member MEMBERS[] = {
      {"id", true}, {"name", true}, {"commit"}, {"nonce"}, {"verify"}};
  const std::string_view text(reinterpret_cast<const char*>(payload.data()),
                              payload.size());
  text::json::Reader reader(text);
  if (reader.next() != text::json::Token::begin_object) return std::nullopt;
  DeviceCard card;
  std::string commit, nonce;
  std::string* const texts[] = {&card.id, &card.name, &commit, &nonce};
  std::uint64_t verify = 0;
  const text::json::MembersRead read = text::json::read_members(
      reader, MEMBERS, {}, [&](std::size_t member, text::json::Token value) {
        return text::json::take_plain(reader, member, value, texts,
                                      {&verify, 1});
      });
  if (!read.ok() || reader.next() != text::json::Token::end ||
      card.id.empty() || !read_hex(commit, card.commit) ||
      !read_hex(nonce, card.nonce)) {
    return std::nullopt;
  }
  card.verify = verify == 1;
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

Result<Admission> admit_peer(const LocalDevice& local, const secure::Peer& peer,
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
    return Error{key_changed_text(name, pinned->key, peer.key,
                                  platform::join_path(local.known_folder,
                                                      KNOWN_DEVICES_FILE_NAME)),
                 ErrorKind::refused};
  }
  if (!pinned && expected && *expected != peer.key) {
    return Error{name + " is not the device expected there (key " +
                     fingerprint(*expected) + " expected, " +
                     fingerprint(peer.key) +
                     " presented), so the connection was refused",
                 ErrorKind::refused};
  }
  if (!pinned && known.full()) {
    return Error{
        "cannot pin a new device: " +
            platform::join_path(local.known_folder, KNOWN_DEVICES_FILE_NAME) +
            " is full; remove the lines of devices no longer met",
        ErrorKind::refused};
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
  Authenticated authenticated{card->id, name, peer.key, pinned == nullptr};
  return Admission{std::move(authenticated), std::move(*card), std::move(known),
                   std::move(seen)};
}

void pin(Admission& admission, bool verified) {
  if (verified) admission.seen.verified = true;
  (void)admission.known.remember(admission.seen);
}

Status compare_codes(secure::SecureChannel& channel, Admission& admission,
                     secure::Role role, const Nonce& mine, const AskCode& ask) {
  const std::string& name = admission.peer.name;
  Nonce theirs{};
  if (role == secure::Role::responder) {
    if (!admission.card.nonce) {
      return Error{name + " cannot compare codes, so the connection was ended",
                   ErrorKind::refused};
    }
    theirs = *admission.card.nonce;
    RETURN_IF_ERROR(channel.write_all(mine));
  } else {
    RETURN_IF_ERROR(channel.set_read_timeout(secure::HANDSHAKE_LIMIT));
    RETURN_IF_ERROR(channel.read_exact(theirs, platform::Expect::reply));
    // A responder that picked its number after seeing ours could grind
    // the code; it had to commit to it first.
    if (!admission.card.commit ||
        commitment_to(theirs) != *admission.card.commit) {
      return Error{name +
                       " revealed another number than it committed to, so "
                       "the connection was refused",
                   ErrorKind::refused};
    }
  }
  const std::string code =
      role == secure::Role::initiator
          ? verification_code(channel.handshake_hash(), mine, theirs)
          : verification_code(channel.handshake_hash(), theirs, mine);
  if (code.empty() || !ask(code)) {
    return Error{
        "the codes were not confirmed, so the connection was ended "
        "and nothing was pinned",
        ErrorKind::refused};
  }
  RETURN_IF_ERROR(channel.write_all({&CONFIRMED, 1}));
  RETURN_IF_ERROR(channel.set_read_timeout(CONFIRM_LIMIT));
  std::uint8_t confirmed = 0;
  if (!channel.read_exact({&confirmed, 1}, platform::Expect::reply).ok() ||
      confirmed != CONFIRMED) {
    return Error{name +
                     " did not confirm the code, so the connection was ended "
                     "and nothing was pinned",
                 ErrorKind::refused};
  }
  pin(admission, true);
  return {};
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
