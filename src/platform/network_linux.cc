// Sockets on Linux: accept4(2), MSG_MORE and SOCK_NONBLOCK at creation.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/native_address.h"
#include "platform/network.h"
#include "platform/posix.h"

namespace burrowlink::platform {

using posix::fd_of;
using posix::last_os_error;
using posix::os_error;

namespace {

Status set_timeout(int fd, int option, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
    return last_os_error();
  }
  return {};
}

sockaddr_storage to_native(const SocketAddress& a, socklen_t& len) {
  return native::from_address(a, len);
}

SocketAddress from_native(const sockaddr_storage& storage) {
  return native::to_address(storage);
}

}  // namespace

// --- TcpStream -----------------------------------------------------------

void TcpStream::close() { m_handle.reset(); }

Result<TcpStream> TcpStream::connect(const SocketAddress& to,
                                     std::chrono::milliseconds limit) {
  int fd = ::socket(to.is_v6 ? AF_INET6 : AF_INET,
                    SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error();
  TcpStream stream(fd);
  socklen_t len = 0;
  sockaddr_storage native = to_native(to, len);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    if (errno != EINPROGRESS) return last_os_error();
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      // Rounded up: a poll never ends before the limit has passed.
      auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return Error{"connection timed out", ErrorKind::timed_out};
      }
      pollfd p{fd, POLLOUT, 0};
      int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return last_os_error();
      if (ready == 0) continue;
      break;
    }
    int error = 0;
    socklen_t error_len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) != 0) {
      return last_os_error();
    }
    if (error != 0) return os_error(error);
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return last_os_error();
  }
  return stream;
}

Result<std::pair<TcpStream, TcpStream>> TcpStream::pair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return last_os_error();
  }
  return std::pair<TcpStream, TcpStream>(TcpStream(fds[0]), TcpStream(fds[1]));
}

Status TcpStream::set_no_delay() {
  int on = 1;
  if (setsockopt(fd_of(m_handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) !=
      0) {
    return last_os_error();
  }
  return {};
}

Status TcpStream::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(fd_of(m_handle), SO_RCVTIMEO, timeout);
}

Status TcpStream::set_write_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(fd_of(m_handle), SO_SNDTIMEO, timeout);
}

Result<std::size_t> TcpStream::read_some(Bytes buffer, Expect expect) {
  if (expect == Expect::reply && m_spin.count() > 0) {
    auto until = std::chrono::steady_clock::now() + m_spin;
    do {
      ssize_t n =
          ::recv(fd_of(m_handle), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n >= 0) {
        m_spin_misses = 0;
        return static_cast<std::size_t>(n);
      }
      if (errno != EAGAIN && errno != EINTR) return last_os_error();
    } while (std::chrono::steady_clock::now() < until);
    if (++m_spin_misses >= SPIN_MISSES) m_spin = {};
  }
  const int flags = expect == Expect::all ? MSG_WAITALL : 0;
  for (;;) {
    ssize_t n = ::recv(fd_of(m_handle), buffer.data(), buffer.size(), flags);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

Result<std::size_t> TcpStream::read_available(Bytes buffer) {
  for (;;) {
    ssize_t n =
        ::recv(fd_of(m_handle), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0 && !buffer.empty()) {
      return Error{std::string(FILL_BUFFER_TEXT), ErrorKind::unexpected_eof};
    }
    if (n == 0 || errno == EAGAIN) return std::size_t{0};
    if (errno != EINTR) return last_os_error();
  }
}

Result<SocketAddress> TcpStream::peer_address() const {
  sockaddr_storage native{};
  socklen_t len = sizeof native;
  if (getpeername(fd_of(m_handle), reinterpret_cast<sockaddr*>(&native),
                  &len) != 0) {
    return last_os_error();
  }
  return from_native(native);
}

Status TcpStream::write_all(ConstBytes data, bool more, std::size_t* written) {
  int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  std::size_t ignored = 0;
  std::size_t& done = written ? *written : ignored;
  done = 0;
  while (done < data.size()) {
    ssize_t n =
        ::send(fd_of(m_handle), data.data() + done, data.size() - done, flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return Error{"failed to write whole buffer"};
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// --- TcpListener ---------------------------------------------------------

void TcpListener::close() { m_handle.reset(); }

Result<TcpListener> TcpListener::listen_v4(std::uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error();
  TcpListener listener(fd);
  // Lets a restarted receiver take its port while old connections linger in
  // TIME_WAIT; a port that another socket listens on still fails.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t len = 0;
  sockaddr_storage native =
      to_native(SocketAddress::v4({0, 0, 0, 0}, port), len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_os_error();
  }
  if (::listen(fd, backlog) != 0) return last_os_error();
  return listener;
}

Result<std::uint16_t> TcpListener::local_port() const {
  sockaddr_storage native{};
  socklen_t len = sizeof native;
  if (getsockname(fd_of(m_handle), reinterpret_cast<sockaddr*>(&native),
                  &len) != 0) {
    return last_os_error();
  }
  return from_native(native).port;
}

Result<TcpStream> TcpListener::accept() {
  for (;;) {
    int fd = ::accept4(fd_of(m_handle), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return TcpStream(fd);
    if (errno != EINTR) return last_os_error();
  }
}

// --- UdpSocket -----------------------------------------------------------

Result<UdpSocket> UdpSocket::bind_v4(Ipv4 ip, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error();
  UdpSocket socket(fd);
  socklen_t len = 0;
  sockaddr_storage native = to_native(SocketAddress::v4(ip, port), len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&native), len) != 0) {
    return last_os_error();
  }
  return socket;
}

Status UdpSocket::enable_broadcast() {
  int on = 1;
  if (setsockopt(fd_of(m_handle), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) !=
      0) {
    return last_os_error();
  }
  return {};
}

Status UdpSocket::set_read_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(fd_of(m_handle), SO_RCVTIMEO, timeout);
}

Status UdpSocket::send_to(ConstBytes payload, const SocketAddress& to) {
  socklen_t len = 0;
  sockaddr_storage native = to_native(to, len);
  ssize_t n = ::sendto(fd_of(m_handle), payload.data(), payload.size(),
                       MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&native), len);
  if (n < 0) return last_os_error();
  return {};
}

Result<UdpSocket::Datagram> UdpSocket::receive_from(Bytes buffer) {
  for (;;) {
    sockaddr_storage native{};
    socklen_t len = sizeof native;
    // MSG_TRUNC makes the kernel report the datagram's real length.
    ssize_t n =
        ::recvfrom(fd_of(m_handle), buffer.data(), buffer.size(), MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&native), &len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    Datagram datagram;
    datagram.size = static_cast<std::size_t>(n);
    datagram.truncated = datagram.size > buffer.size();
    if (datagram.truncated) datagram.size = buffer.size();
    datagram.from = from_native(native);
    return datagram;
  }
}

Result<std::vector<Ipv4Interface>> ipv4_interfaces() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return last_os_error();
  std::vector<Ipv4Interface> result;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr) continue;
    if (entry->ifa_addr->sa_family != AF_INET) continue;
    // Up and with a carrier: a cable pulled out or Wi-Fi not joined is down.
    if ((entry->ifa_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) {
      continue;
    }
    const Ipv4 address = ipv4_of(ntohl(
        reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr));
    const Ipv4 mask = ipv4_of(ntohl(
        reinterpret_cast<sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr));
    if (!is_announced_from(address)) continue;
    result.push_back(
        {address, directed_broadcast(address, prefix_of_mask(mask))});
  }
  freeifaddrs(list);
  return result;
}

}  // namespace burrowlink::platform
