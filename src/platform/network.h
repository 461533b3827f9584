#pragma once

// Sockets: TCP streams and listeners, UDP for the announcements, and the
// local IPv4 interfaces that announcements go out on.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "net/address.h"
#include "platform/handle.h"

namespace burrowlink::platform {

// Text of a stream that ended before a fixed number of bytes arrived.
inline constexpr std::string_view FILL_BUFFER_TEXT =
    "failed to fill whole buffer";

// What a receive waits for.
enum class Expect {
  data,   // whatever has arrived
  reply,  // a short reply that the peer sends as soon as it has read ours
  all,    // bulk data that fills the buffer: where the system takes it
          // whole within the time-out, one wake-up, not one per packet
};

class TcpStream;

// The bytes exchanged with a peer: a TCP stream, or a channel over one.
// Each call behaves as TcpStream's of the same name.
class Connection {
 public:
  virtual ~Connection() = default;

  virtual Result<std::size_t> read_some(Bytes buffer,
                                        Expect expect = Expect::data) = 0;
  virtual Status read_exact(Bytes buffer, Expect expect = Expect::data) = 0;
  virtual Result<std::size_t> read_available(Bytes buffer) = 0;
  virtual Status write_all(ConstBytes data, bool more = false,
                           std::size_t* written = nullptr) = 0;
  virtual Status set_read_timeout(std::chrono::milliseconds timeout) = 0;
  virtual Status set_write_timeout(std::chrono::milliseconds timeout) = 0;
  virtual void set_spin(std::chrono::microseconds spin) = 0;
  // The TCP connection underneath.
  virtual TcpStream& socket() = 0;
};

// A connected TCP stream, closed when it goes out of scope.
class TcpStream final : public Connection {
 public:
  TcpStream() = default;

  // Connects within `limit`; kind timed_out with "connection timed out"
  // when no answer comes in time.
  static Result<TcpStream> connect(const SocketAddress& to,
                                   std::chrono::milliseconds limit);
  // Two connected local streams, for tests.
  static Result<std::pair<TcpStream, TcpStream>> pair();

  Status set_no_delay();
  // Bounds each single receive / send call.
  Status set_read_timeout(std::chrono::milliseconds timeout) override;
  Status set_write_timeout(std::chrono::milliseconds timeout) override;
  // Receives of a reply poll for up to `spin` before they sleep: a peer that
  // answers within it is met without the cost of waking this thread up.
  // After SPIN_MISSES polls in a row found nothing (a link slower than this
  // CPU) the stream stops polling for good.
  void set_spin(std::chrono::microseconds spin) override {
    m_spin = spin;
    m_spin_misses = 0;
  }
  bool spinning() const { return m_spin.count() > 0; }
  static constexpr int SPIN_MISSES = 3;

  // Receives what one call delivers, at most `buffer.size()`; 0 when the
  // peer closed. `expect` reply: a short answer is due, worth a poll; all:
  // may wait until the buffer is full, unless the stream ends, fails or the
  // time-out passes first (then with what it has).
  Result<std::size_t> read_some(Bytes buffer,
                                Expect expect = Expect::data) override;
  // Fails with FILL_BUFFER_TEXT (kind unexpected_eof) when the peer closes
  // first.
  Status read_exact(Bytes buffer, Expect expect = Expect::data) override;
  // Receives what has arrived, at most `buffer.size()`, without waiting: 0
  // when nothing has. The peer's close fails with FILL_BUFFER_TEXT (kind
  // unexpected_eof), as bytes were still owed.
  Result<std::size_t> read_available(Bytes buffer) override;
  // `more`: further bytes follow at once, so they may share a segment.
  // `written`, when given, receives how many bytes went out, also on failure.
  Status write_all(ConstBytes data, bool more = false,
                   std::size_t* written = nullptr) override;
  TcpStream& socket() override { return *this; }
  void close();

  // The address of the other end.
  Result<SocketAddress> peer_address() const;

  // The system's socket, for the backend's own waits.
  std::intptr_t native() const { return m_handle.get(); }

 private:
  friend class TcpListener;
  explicit TcpStream(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
  std::chrono::microseconds m_spin{0};
  int m_spin_misses = 0;
};

// A listening TCP socket on every local IPv4 interface.
class TcpListener {
 public:
  TcpListener() = default;

  // Listens on 0.0.0.0:`port` (0: the system picks one).
  static Result<TcpListener> listen_v4(std::uint16_t port, int backlog);
  Result<std::uint16_t> local_port() const;
  Result<TcpStream> accept();
  void close();

  // The system's socket, for waits of the caller's own.
  std::intptr_t native() const { return m_handle.get(); }

 private:
  explicit TcpListener(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
};

// An IPv4 UDP socket, closed when it goes out of scope.
class UdpSocket {
 public:
  UdpSocket() = default;

  // Binds to `ip`:`port` without any address-reuse option.
  static Result<UdpSocket> bind_v4(Ipv4 ip, std::uint16_t port);
  Status enable_broadcast();
  Status set_read_timeout(std::chrono::milliseconds timeout);
  Status send_to(ConstBytes payload, const SocketAddress& to);

  struct Datagram {
    std::size_t size = 0;
    bool truncated = false;  // longer than the buffer; its bytes are partial
    SocketAddress from;
  };
  // Receives one datagram into `buffer`.
  Result<Datagram> receive_from(Bytes buffer);

 private:
  explicit UdpSocket(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
};

// Every local IPv4 address on an interface that is up and running, with
// its directed broadcast address, in the system's order, duplicates kept;
// only addresses that `is_announced_from` takes.
struct Ipv4Interface {
  Ipv4 address{};
  Ipv4 broadcast{};
};
Result<std::vector<Ipv4Interface>> ipv4_interfaces();
// The broadcast addresses of `ipv4_interfaces`, in its order.
Result<std::vector<Ipv4>> ipv4_broadcast_addresses();

}  // namespace burrowlink::platform
