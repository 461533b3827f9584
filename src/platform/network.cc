// What every backend's sockets do alike, on top of their own calls.
#include "platform/network.h"

namespace burrowlink::platform {

Status TcpStream::read_exact(Bytes buffer, Expect expect) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    // Only the first bytes of a reply are worth a poll.
    Result<std::size_t> n =
        read_some(buffer.subspan(done), done == 0 ? expect : Expect::data);
    if (!n.ok()) return std::move(n).error();
    if (*n == 0) {
      return Error{std::string(FILL_BUFFER_TEXT), ErrorKind::unexpected_eof};
    }
    done += *n;
  }
  return {};
}

Result<std::vector<Ipv4>> ipv4_broadcast_addresses() {
  Result<std::vector<Ipv4Interface>> interfaces = ipv4_interfaces();
  if (!interfaces.ok()) return std::move(interfaces).error();
  std::vector<Ipv4> broadcasts;
  for (const Ipv4Interface& interface : *interfaces) {
    broadcasts.push_back(interface.broadcast);
  }
  return broadcasts;
}

}  // namespace burrowlink::platform
