#pragma once

// The encrypted channel between two devices of ours: a preamble, a
// Noise_XX handshake, then records. A record is a 2-byte big-endian length
// and that many bytes: a type byte and its payload, sealed with
// ChaCha20-Poly1305 under the direction's key and next nonce.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "base/result.h"
#include "platform/network.h"
#include "secure/noise.h"

namespace burrowlink::secure {

using platform::Bytes;

// What a secure connection starts with, where a clear offer's length
// would be: 0x574E5301 is past every offer's limit, so a receiver that
// knows only the clear exchange refuses it as too large.
inline constexpr std::array<std::uint8_t, 4> PREAMBLE = {'W', 'N', 'S', 0x01};
// A handshake message, as its length prefix may announce it.
inline constexpr std::size_t HANDSHAKE_MESSAGE_MAX = 1024;
// The whole handshake, from the preamble on.
inline constexpr std::chrono::seconds HANDSHAKE_LIMIT{10};
// A record's sealed bytes (type, payload, tag) fit its 2-byte length.
inline constexpr std::size_t RECORD_SEALED_MAX = 65535;
inline constexpr std::size_t RECORD_PAYLOAD_MAX =
    RECORD_SEALED_MAX - 1 - TAG_SIZE;

inline constexpr std::uint8_t RECORD_DATA = 0x01;
// The last record of a direction: the stream ended as its writer meant.
inline constexpr std::uint8_t RECORD_CLOSE = 0x02;

// Text of a connection that ended without its closing record.
inline constexpr std::string_view CUT_LINK_TEXT =
    "the connection was cut (no closing record)";

// The peer as the handshake authenticated it: its static key and what its
// handshake message carried.
struct Peer {
  Key key{};
  Buffer payload;
};
// Decides whether to go on with `peer`: a failure ends the handshake with
// its text, before this side's identity is sent where it has not been yet.
using PeerCheck = std::function<Status(const Peer& peer)>;
// The initiator's check, which also gives what its last message carries:
// that may depend on what the responder's said.
using ReplyTo = std::function<Result<Buffer>(const Peer& peer)>;

// The records of an authenticated connection, read and written as one
// stream of bytes. Writes gather into records until a write that has no
// `more` to follow, or a read that waits; the closing record goes when the
// channel is closed or ends, unless a failure broke it first.
class SecureChannel final : public platform::Connection {
 public:
  static Result<SecureChannel> over(platform::TcpStream& tcp,
                                    const Transport& transport);
  SecureChannel(SecureChannel&&) noexcept = default;
  SecureChannel& operator=(SecureChannel&&) = delete;
  ~SecureChannel() override { close(); }

  Result<std::size_t> read_some(
      Bytes buffer, platform::Expect expect = platform::Expect::data) override;
  Status read_exact(Bytes buffer,
                    platform::Expect expect = platform::Expect::data) override;
  Result<std::size_t> read_available(Bytes buffer) override;
  Status write_all(ConstBytes data, bool more = false,
                   std::size_t* written = nullptr) override;
  Status set_read_timeout(std::chrono::milliseconds timeout) override {
    return m_tcp->set_read_timeout(timeout);
  }
  Status set_write_timeout(std::chrono::milliseconds timeout) override {
    return m_tcp->set_write_timeout(timeout);
  }
  void set_spin(std::chrono::microseconds spin) override {
    m_tcp->set_spin(spin);
  }
  platform::TcpStream& socket() override { return *m_tcp; }
  // The same on both ends of one handshake, and on no other.
  const Hash& handshake_hash() const { return m_handshake_hash; }

  // Sends what is gathered and the closing record; later writes fail.
  void close();

 private:
  SecureChannel(platform::TcpStream& tcp, SealingKey send, SealingKey receive,
                const Hash& handshake_hash)
      : m_tcp(&tcp),
        m_send(std::move(send)),
        m_receive(std::move(receive)),
        m_handshake_hash(handshake_hash) {}

  // Seals the gathered payload into a record of `type` behind the others.
  Status seal(std::uint8_t type);
  Status flush(bool more);
  // What was written with `more` goes before a read waits: as with a
  // socket's own, held data must not wait on the peer's reply to it.
  Status send_gathered();
  // Opens the next whole record in the input into m_plain. `wait`: reads
  // until one is whole; else only what has arrived. False when none is.
  // `want`: plaintext bytes the caller still asks for.
  Result<bool> next_record(bool wait, platform::Expect expect,
                           std::size_t want);
  Result<bool> open_record();
  // Copies from m_plain.
  std::size_t take(Bytes buffer);
  // A failure of one direction ends it; the other goes on, as a socket's
  // does, until it fails itself.
  Status fail_write(Error error);
  Status fail_read(Error error);

  platform::TcpStream* m_tcp;
  SealingKey m_send, m_receive;
  Hash m_handshake_hash;
  std::uint64_t m_send_nonce = 0, m_receive_nonce = 0;
  // Out: sealed records, then the payload being gathered at its end.
  Buffer m_out;
  bool m_open = false;         // a record is being gathered at m_out's end
  std::size_t m_gathered = 0;  // its payload bytes
  // In: bytes from the socket, from m_in_start to m_in_end; the last
  // opened record's payload, not yet read, from m_plain_start to
  // m_plain_end, before them.
  Buffer m_in;
  std::size_t m_in_start = 0, m_in_end = 0;
  std::size_t m_plain_start = 0, m_plain_end = 0;
  bool m_peer_closed = false;
  bool m_closed = false;
  std::optional<Error> m_write_failed, m_read_failed;
};

// The initiator's side: writes the preamble, then the handshake, sending
// in its last message what `reply` gives once it took the responder.
// `preamble_read`: the responder sent the preamble already (answering an
// offer that asked for the channel); the handshake's first message goes
// alone.
Result<SecureChannel> initiate(platform::TcpStream& tcp, const KeyPair& local,
                               const ReplyTo& reply,
                               bool preamble_read = false);
// The responder's side, the preamble already read: sends `payload` in its
// message, then hands the initiator to `check`.
Result<SecureChannel> respond(platform::TcpStream& tcp, const KeyPair& local,
                              ConstBytes payload, const PeerCheck& check);

}  // namespace burrowlink::secure
