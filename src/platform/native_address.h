#pragma once

// Socket addresses in the system's own structures, for both backends. The
// includer brings the system's socket headers first; the layouts are the
// same on POSIX and in Windows Sockets.

#include <cstring>

#include "net/address.h"

namespace burrowlink::platform::native {

// `a` as a sockaddr_in or sockaddr_in6; `len` receives its size.
template <typename Length>
sockaddr_storage from_address(const SocketAddress& a, Length& len) {
  sockaddr_storage storage{};
  if (a.is_v6) {
    auto* s = reinterpret_cast<sockaddr_in6*>(&storage);
    s->sin6_family = AF_INET6;
    s->sin6_port = htons(a.port);
    s->sin6_flowinfo = htonl(a.flow_info);
    s->sin6_scope_id = a.scope_id;
    std::memcpy(&s->sin6_addr, a.ip.data(), 16);
    len = sizeof(sockaddr_in6);
  } else {
    auto* s = reinterpret_cast<sockaddr_in*>(&storage);
    s->sin_family = AF_INET;
    s->sin_port = htons(a.port);
    std::memcpy(&s->sin_addr, a.ip.data(), 4);
    len = sizeof(sockaddr_in);
  }
  return storage;
}

inline SocketAddress to_address(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET6) {
    const auto* s = reinterpret_cast<const sockaddr_in6*>(&storage);
    Ipv6 ip;
    std::memcpy(ip.data(), &s->sin6_addr, 16);
    SocketAddress a =
        SocketAddress::v6(ip, ntohs(s->sin6_port), s->sin6_scope_id);
    a.flow_info = ntohl(s->sin6_flowinfo);
    return a;
  }
  const auto* s = reinterpret_cast<const sockaddr_in*>(&storage);
  Ipv4 ip;
  std::memcpy(ip.data(), &s->sin_addr, 4);
  return SocketAddress::v4(ip, ntohs(s->sin_port));
}

}  // namespace burrowlink::platform::native
