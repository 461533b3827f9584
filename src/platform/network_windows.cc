// Sockets on Windows: Windows Sockets 2, sockets without inheritance, the
// listener's port held exclusively, and GetAdaptersAddresses.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>
// clang-format on

#include <algorithm>

#include "platform/native_address.h"
#include "platform/network.h"
#include "platform/win32.h"

namespace burrowlink::platform {

using win32::last_socket_error;
using win32::os_error;
using win32::start_winsock;
using win32::tag_socket;
using win32::untag_socket;

namespace {

Status set_timeout(SOCKET s, int option, std::chrono::milliseconds timeout) {
  DWORD ms = static_cast<DWORD>(timeout.count());
  if (setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms),
                 sizeof ms) != 0) {
    return last_socket_error();
  }
  return {};
}

sockaddr_storage to_native(const SocketAddress& a, int& len) {
  return native::from_address(a, len);
}

SocketAddress from_native(const sockaddr_storage& storage) {
  return native::to_address(storage);
}

Result<SOCKET> new_socket(int family, int type, int protocol) {
  start_winsock();
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return last_socket_error();
  return s;
}

Status set_blocking(SOCKET s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return last_socket_error();
  return {};
}

}  // namespace

void TcpStream::close() { m_handle.reset(); }

Result<TcpStream> TcpStream::connect(const SocketAddress& to,
                                     std::chrono::milliseconds limit) {
  Result<SOCKET> made =
      new_socket(to.is_v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!made.ok()) return std::move(made).error();
  SOCKET s = *made;
  TcpStream stream(tag_socket(s));
  if (Status status = set_blocking(s, false); !status.ok())
    return status.error();
  int len = 0;
  sockaddr_storage native = to_native(to, len);
  if (::connect(s, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return last_socket_error();
    // A refused connection shows in the except set, not the write set.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    auto seconds = limit.count() / 1000;
    timeval tv{static_cast<long>(seconds),
               static_cast<long>((limit.count() % 1000) * 1000)};
    int ready = select(0, nullptr, &writable, &failed, &tv);
    if (ready == SOCKET_ERROR) return last_socket_error();
    if (ready == 0) return Error{"connection timed out", ErrorKind::timed_out};
    if (FD_ISSET(s, &failed)) {
      int error = 0;
      int error_len = sizeof error;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &error_len) != 0) {
        return last_socket_error();
      }
      return os_error(static_cast<DWORD>(error != 0 ? error : WSAECONNREFUSED));
    }
  }
  if (Status status = set_blocking(s, true); !status.ok())
    return status.error();
  return stream;
}

Result<std::pair<TcpStream, TcpStream>> TcpStream::pair() {
  Result<TcpListener> listener = TcpListener::listen_v4(0, 1);
  if (!listener.ok()) return std::move(listener).error();
  Result<std::uint16_t> port = listener->local_port();
  if (!port.ok()) return std::move(port).error();
  Result<TcpStream> ours = connect(SocketAddress::v4({127, 0, 0, 1}, *port),
                                   std::chrono::milliseconds(5000));
  if (!ours.ok()) return std::move(ours).error();
  Result<TcpStream> theirs = listener->accept();
  if (!theirs.ok()) return std::move(theirs).error();
  return std::pair<TcpStream, TcpStream>(std::move(ours).value(),
                                         std::move(theirs).value());
}

Status TcpStream::set_no_delay() {
  BOOL on = TRUE;
  if (setsockopt(untag_socket(m_handle.get()), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return last_socket_error();
  }
  return {};
}

Status TcpStream::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(untag_socket(m_handle.get()), SO_RCVTIMEO, timeout);
}

Status TcpStream::set_write_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(untag_socket(m_handle.get()), SO_SNDTIMEO, timeout);
}

Result<std::size_t> TcpStream::read_some(Bytes buffer, Expect expect) {
  SOCKET s = untag_socket(m_handle.get());
  if (expect == Expect::reply && m_spin.count() > 0) {
    // Watch the receive queue until something is there or the time is up.
    auto until = std::chrono::steady_clock::now() + m_spin;
    bool hit = false;
    do {
      u_long queued = 0;
      if (ioctlsocket(s, FIONREAD, &queued) != 0) break;
      hit = queued > 0;
    } while (!hit && std::chrono::steady_clock::now() < until);
    if (hit) {
      m_spin_misses = 0;
    } else if (++m_spin_misses >= SPIN_MISSES) {
      m_spin = {};
    }
  }
  int want = static_cast<int>(std::min<std::size_t>(buffer.size(), 1u << 30));
  // No MSG_WAITALL: where its time-out passes, Winsock fails the call and
  // drops what it had taken, so a slow link would lose data.
  int n = ::recv(s, reinterpret_cast<char*>(buffer.data()), want, 0);
  if (n == SOCKET_ERROR) {
    // A shut-down connection is the end of the stream, as on POSIX.
    if (WSAGetLastError() == WSAESHUTDOWN) return std::size_t{0};
    return last_socket_error();
  }
  return static_cast<std::size_t>(n);
}

Result<std::size_t> TcpStream::read_available(Bytes buffer) {
  SOCKET s = untag_socket(m_handle.get());
  WSAPOLLFD watch{s, POLLRDNORM, 0};
  const int ready = WSAPoll(&watch, 1, 0);
  if (ready == SOCKET_ERROR) return last_socket_error();
  if (ready == 0 || buffer.empty()) return std::size_t{0};
  int want = static_cast<int>(std::min<std::size_t>(buffer.size(), 1u << 30));
  int n = ::recv(s, reinterpret_cast<char*>(buffer.data()), want, 0);
  if (n == SOCKET_ERROR) {
    if (WSAGetLastError() == WSAEWOULDBLOCK) return std::size_t{0};
    if (WSAGetLastError() != WSAESHUTDOWN) return last_socket_error();
    n = 0;
  }
  if (n == 0) {
    return Error{std::string(FILL_BUFFER_TEXT), ErrorKind::unexpected_eof};
  }
  return static_cast<std::size_t>(n);
}

Result<SocketAddress> TcpStream::peer_address() const {
  sockaddr_storage native{};
  int len = sizeof native;
  if (getpeername(untag_socket(m_handle.get()),
                  reinterpret_cast<sockaddr*>(&native), &len) != 0) {
    return last_socket_error();
  }
  return from_native(native);
}

Status TcpStream::write_all(ConstBytes data, bool, std::size_t* written) {
  SOCKET s = untag_socket(m_handle.get());
  std::size_t ignored = 0;
  std::size_t& done = written ? *written : ignored;
  done = 0;
  while (done < data.size()) {
    int chunk =
        static_cast<int>(std::min<std::size_t>(data.size() - done, 1u << 30));
    int n =
        ::send(s, reinterpret_cast<const char*>(data.data() + done), chunk, 0);
    if (n == SOCKET_ERROR) return last_socket_error();
    if (n == 0) return Error{"failed to write whole buffer"};
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// --- TcpListener ---------------------------------------------------------

void TcpListener::close() { m_handle.reset(); }

Result<TcpListener> TcpListener::listen_v4(std::uint16_t port, int backlog) {
  Result<SOCKET> made = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!made.ok()) return std::move(made).error();
  SOCKET s = *made;
  TcpListener listener(tag_socket(s));
  // Exclusive use: Windows would otherwise let a wildcard bind succeed over
  // a socket bound to one address, and a same-user program bind one address
  // over this wildcard listener and take its traffic. A restart while old
  // connections linger then falls back to a free port.
  BOOL exclusive = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  int len = 0;
  sockaddr_storage native =
      to_native(SocketAddress::v4({0, 0, 0, 0}, port), len);
  if (::bind(s, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_socket_error();
  }
  if (::listen(s, backlog) != 0) return last_socket_error();
  return listener;
}

Result<std::uint16_t> TcpListener::local_port() const {
  sockaddr_storage native{};
  int len = sizeof native;
  if (getsockname(untag_socket(m_handle.get()),
                  reinterpret_cast<sockaddr*>(&native), &len) != 0) {
    return last_socket_error();
  }
  return from_native(native).port;
}

Result<TcpStream> TcpListener::accept() {
  SOCKET s = ::accept(untag_socket(m_handle.get()), nullptr, nullptr);
  if (s == INVALID_SOCKET) return last_socket_error();
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return TcpStream(tag_socket(s));
}

// --- UdpSocket -----------------------------------------------------------

Result<UdpSocket> UdpSocket::bind_v4(Ipv4 ip, std::uint16_t port) {
  Result<SOCKET> made = new_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (!made.ok()) return std::move(made).error();
  SOCKET s = *made;
  UdpSocket socket(tag_socket(s));
  int len = 0;
  sockaddr_storage native = to_native(SocketAddress::v4(ip, port), len);
  if (::bind(s, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_socket_error();
  }
  return socket;
}

Status UdpSocket::enable_broadcast() {
  BOOL on = TRUE;
  if (setsockopt(untag_socket(m_handle.get()), SOL_SOCKET, SO_BROADCAST,
                 reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return last_socket_error();
  }
  return {};
}

Status UdpSocket::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(untag_socket(m_handle.get()), SO_RCVTIMEO, timeout);
}

Status UdpSocket::send_to(ConstBytes payload, const SocketAddress& to) {
  int len = 0;
  sockaddr_storage native = to_native(to, len);
  int n = ::sendto(untag_socket(m_handle.get()),
                   reinterpret_cast<const char*>(payload.data()),
                   static_cast<int>(payload.size()), 0,
                   reinterpret_cast<sockaddr*>(&native), len);
  if (n == SOCKET_ERROR) return last_socket_error();
  return {};
}

Result<UdpSocket::Datagram> UdpSocket::receive_from(Bytes buffer) {
  sockaddr_storage native{};
  int len = sizeof native;
  int n = ::recvfrom(untag_socket(m_handle.get()),
                     reinterpret_cast<char*>(buffer.data()),
                     static_cast<int>(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&native), &len);
  Datagram datagram;
  if (n == SOCKET_ERROR) {
    // A datagram longer than the buffer fills it and reports this error.
    if (WSAGetLastError() != WSAEMSGSIZE) return last_socket_error();
    datagram.size = buffer.size();
    datagram.truncated = true;
  } else {
    datagram.size = static_cast<std::size_t>(n);
  }
  datagram.from = from_native(native);
  return datagram;
}

Result<std::vector<Ipv4Interface>> ipv4_interfaces() {
  start_winsock();
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                      GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
  std::vector<std::uint8_t> storage(16 * 1024);
  ULONG size = static_cast<ULONG>(storage.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW;
       ++attempt) {
    storage.resize(size);
    result = GetAdaptersAddresses(
        AF_INET, flags, nullptr,
        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
  }
  if (result == ERROR_NO_DATA) return std::vector<Ipv4Interface>{};
  if (result != NO_ERROR) return os_error(result);
  std::vector<Ipv4Interface> found;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data());
       adapter != nullptr; adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      // Tentative, duplicate and deprecated addresses are not ready for use.
      if (unicast->DadState != IpDadStatePreferred) continue;
      const sockaddr* sa = unicast->Address.lpSockaddr;
      if (sa == nullptr || sa->sa_family != AF_INET) continue;
      const Ipv4 address = ipv4_of(
          ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr));
      if (!is_announced_from(address)) continue;
      const unsigned prefix =
          std::min<unsigned>(unicast->OnLinkPrefixLength, 32);
      found.push_back({address, directed_broadcast(address, prefix)});
    }
  }
  return found;
}

}  // namespace burrowlink::platform
