// The beacon reader on datagrams, and the writer on any fields: what one
// writes, the other reads back, unchanged where the fields were valid UTF-8.
#include "discovery/beacon.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz.h"
#include "text/unicode.h"

namespace {

using namespace burrowlink;

bool same(const Beacon& a, const Beacon& b) {
  return a.app == b.app && a.id == b.id && a.name == b.name && a.port == b.port;
}

// Splits off the text before the first `separator` (all of it when there is
// none).
std::string_view take_field(std::string_view& rest, char separator) {
  const std::size_t end = rest.find(separator);
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  if (std::optional<Beacon> beacon = read_beacon(datagram)) {
    FUZZ_CHECK(text::is_valid_utf8(beacon->app));
    FUZZ_CHECK(text::is_valid_utf8(beacon->id));
    FUZZ_CHECK(text::is_valid_utf8(beacon->name));
    const std::optional<Beacon> again = read_beacon(write_beacon(*beacon));
    FUZZ_CHECK(again && same(*again, *beacon));
  }

  // The same bytes as the fields of a beacon to send: the port, then app, id
  // and name separated by 0xFF, a byte that no UTF-8 text holds. Any fields
  // go out readable (a name from the environment need not be UTF-8): each
  // invalid byte as U+FFFD.
  if (size < 2) return 0;
  Beacon sent;
  sent.port = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
  std::string_view rest = datagram.substr(2);
  sent.app = take_field(rest, '\xFF');
  sent.id = take_field(rest, '\xFF');
  sent.name = rest;
  const Beacon readable{text::to_valid_utf8(sent.app),
                        text::to_valid_utf8(sent.id),
                        text::to_valid_utf8(sent.name), sent.port};
  const std::optional<Beacon> received = read_beacon(write_beacon(sent));
  FUZZ_CHECK(received && same(*received, readable));
  return 0;
}
