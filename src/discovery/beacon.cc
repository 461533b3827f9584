#include "discovery/beacon.h"

#include <cstddef>

#include "text/json.h"

namespace burrowlink {

namespace {

// Takes the four members of the top-level object and refuses the datagram at
// the first fault. A SAX reader, because a DOM keeps only the last of
// repeated members.
class BeaconReader : public json::Reader {
 public:
  enum class Member { none, app, id, name, port, other };

  bool complete() const { return m_app && m_id && m_name && m_port; }
  std::size_t taken() const { return m_taken; }

  // Values of other members, whatever they are.
  bool skips_next_value() const override {
    return m_depth > 1 || (m_depth == 1 && m_member == Member::other);
  }
  Beacon take() { return std::move(m_beacon); }

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override {
    return scalar();  // only negative numbers arrive here
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (m_depth == 1 && m_member == Member::port) {
      if (value > 0xFFFF) return false;
      m_beacon.port = static_cast<std::uint16_t>(value);
      m_member = Member::none;
      return true;
    }
    return scalar();
  }
  bool number_float(number_float_t, const string_t&) override {
    return scalar();
  }
  bool string(string_t& value) override {
    if (m_depth != 1) return m_depth > 1;
    switch (m_member) {
      case Member::app:
        m_beacon.app = std::move(value);
        break;
      case Member::id:
        m_beacon.id = std::move(value);
        break;
      case Member::name:
        m_beacon.name = std::move(value);
        break;
      case Member::port:
        return false;
      default:
        break;
    }
    m_member = Member::none;
    return true;
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return open(); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override {
    if (m_depth == 0) return false;
    return open();
  }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    if (m_depth != 1) return true;
    m_member = Member::other;
    bool* seen = nullptr;
    if (name == "app") {
      m_member = Member::app;
      seen = &m_app;
    } else if (name == "id") {
      m_member = Member::id;
      seen = &m_id;
    } else if (name == "name") {
      m_member = Member::name;
      seen = &m_name;
    } else if (name == "port") {
      m_member = Member::port;
      seen = &m_port;
    }
    if (seen == nullptr) return true;
    if (*seen) return false;  // a repeated member
    *seen = true;
    return true;
  }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::json::exception&) override {
    return false;
  }

 private:
  // A value that is not an object, string or port: fine only for members
  // we ignore.
  bool scalar() {
    if (m_depth != 1) return m_depth > 1;
    bool ignored = m_member == Member::other;
    m_member = Member::none;
    return ignored;
  }
  bool open() {
    if (m_depth == 1) {
      if (m_member != Member::other) return false;
      m_member = Member::none;
    }
    ++m_depth;
    return true;
  }
  bool close() {
    --m_depth;
    return true;
  }

  std::size_t m_depth = 0;
  Member m_member = Member::none;
  bool m_app = false;
  bool m_id = false;
  bool m_name = false;
  bool m_port = false;
  Beacon m_beacon;
};

}  // namespace

std::string write_beacon(const Beacon& beacon) {
  std::string out = "{\"app\":";
  json::append_string(out, beacon.app);
  out += ",\"id\":";
  json::append_string(out, beacon.id);
  out += ",\"name\":";
  json::append_string(out, beacon.name);
  out += ",\"port\":";
  out += std::to_string(beacon.port);
  out += '}';
  return out;
}

std::optional<Beacon> read_beacon(std::string_view datagram) {
  // The parser skips a byte order mark and stops at a NUL byte; neither
  // belongs in the datagram.
  if (datagram.starts_with("\xEF\xBB\xBF") ||
      datagram.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  BeaconReader reader;
  if (!json::parse(datagram, reader) || !reader.complete()) return std::nullopt;
  // Only white space may follow the object.
  if (datagram.find_first_not_of(" \t\n\r", reader.taken()) !=
      std::string_view::npos) {
    return std::nullopt;
  }
  return reader.take();
}

}  // namespace burrowlink
