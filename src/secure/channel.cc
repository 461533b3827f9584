#include "secure/channel.h"

#include <algorithm>
#include <cstring>

#include "base/coding.h"

namespace burrowlink::secure {
namespace {

using platform::Expect;
using platform::TcpStream;
using Clock = std::chrono::steady_clock;

constexpr std::size_t LENGTH_BYTES = 2;
// Sealed records go to the socket once this much is sealed: a full record
// goes at once, as a socket sends full segments of corked bytes. The input
// holds a whole record and the next one's length.
constexpr std::size_t BATCH_BYTES = RECORD_SEALED_MAX;
constexpr std::size_t IN_CAPACITY = 2 * LENGTH_BYTES + RECORD_SEALED_MAX;

Error handshake_failed(std::string_view reason,
                       ErrorKind kind = ErrorKind::invalid_data) {
  return Error{"secure handshake failed: " + std::string(reason), kind};
}

std::size_t length_at(const std::uint8_t* at) {
  return static_cast<std::size_t>(at[0]) << 8 | at[1];
}

// Writes one handshake message behind its 2-byte length, after `before`.
Status write_message(TcpStream& tcp, ConstBytes message, ConstBytes before) {
  Buffer out(before.begin(), before.end());
  out.push_back(static_cast<std::uint8_t>(message.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(message.size()));
  out.insert(out.end(), message.begin(), message.end());
  if (Status sent = tcp.write_all(out); !sent.ok()) {
    return handshake_failed(sent.error().message, sent.error().kind);
  }
  return {};
}

// Reads one handshake message of at most HANDSHAKE_MESSAGE_MAX bytes,
// before `deadline`.
Result<Buffer> read_message(TcpStream& tcp, Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  if (left.count() <= 0) {
    return handshake_failed("it took longer than 10 s", ErrorKind::timed_out);
  }
  RETURN_IF_ERROR(tcp.set_read_timeout(left));
  std::array<std::uint8_t, LENGTH_BYTES> length{};
  Status read = tcp.read_exact(length, Expect::reply);
  Buffer message;
  if (read.ok()) {
    const std::size_t size = length_at(length.data());
    if (size == 0 || size > HANDSHAKE_MESSAGE_MAX) {
      return handshake_failed("a message of " + std::to_string(size) +
                              " bytes");
    }
    message.resize(size);
    read = tcp.read_exact(message, Expect::reply);
  }
  if (!read.ok()) {
    if (read.error().kind == ErrorKind::timed_out) {
      return handshake_failed("it took longer than 10 s", ErrorKind::timed_out);
    }
    return handshake_failed(read.error().message, read.error().kind);
  }
  return message;
}

Result<Peer> peer_of(const Handshake& handshake, Result<Buffer> payload) {
  if (!payload.ok()) return handshake_failed(payload.error().message);
  if (!handshake.remote_static()) return handshake_failed("no static key");
  return Peer{*handshake.remote_static(), std::move(payload).value()};
}

Result<SecureChannel> channel_of(TcpStream& tcp, const Handshake& handshake) {
  Result<Transport> transport = handshake.split();
  if (!transport.ok()) return handshake_failed(transport.error().message);
  return SecureChannel::over(tcp, *transport);
}

}  // namespace

Result<SecureChannel> SecureChannel::over(TcpStream& tcp,
                                          const Transport& transport) {
  Result<SealingKey> send = SealingKey::make(transport.send.key());
  if (!send.ok()) return send.error();
  Result<SealingKey> receive = SealingKey::make(transport.receive.key());
  if (!receive.ok()) return receive.error();
  SecureChannel channel(tcp, std::move(send).value(),
                        std::move(receive).value(), transport.handshake_hash);
  // The output grows as far as writes take it: a receiver's stays small.
  channel.m_in.resize(IN_CAPACITY);
  return channel;
}

Status SecureChannel::fail_write(Error error) {
  if (!m_write_failed) m_write_failed = error;
  return error;
}

Status SecureChannel::fail_read(Error error) {
  if (!m_read_failed) m_read_failed = error;
  return error;
}

Status SecureChannel::seal(std::uint8_t type) {
  if (m_send_nonce == NONCE_LIMIT) {
    return fail_write(Error{"the channel's nonces are used up"});
  }
  const std::size_t start = m_out.size() - m_gathered - 1 - LENGTH_BYTES;
  const std::size_t sealed = 1 + m_gathered + TAG_SIZE;
  m_out[start] = static_cast<std::uint8_t>(sealed >> 8);
  m_out[start + 1] = static_cast<std::uint8_t>(sealed);
  m_out[start + LENGTH_BYTES] = type;
  const std::size_t body = start + LENGTH_BYTES;
  m_out.resize(m_out.size() + TAG_SIZE);
  std::span<std::uint8_t> tag(m_out.data() + body + 1 + m_gathered, TAG_SIZE);
  if (Status sealed_ok =
          m_send.seal(m_send_nonce, {m_out.data() + body, 1 + m_gathered},
                      tag.first<TAG_SIZE>());
      !sealed_ok.ok()) {
    return fail_write(sealed_ok.error());
  }
  ++m_send_nonce;
  m_gathered = 0;
  m_open = false;
  return {};
}

Status SecureChannel::flush(bool more) {
  if (m_out.empty()) return {};
  Status sent = m_tcp->write_all(m_out, more);
  m_out.clear();
  if (!sent.ok()) return fail_write(sent.error());
  return {};
}

Status SecureChannel::send_gathered() {
  if (m_open && m_gathered > 0) RETURN_IF_ERROR(seal(RECORD_DATA));
  return flush(false);
}

Status SecureChannel::write_all(ConstBytes data, bool more,
                                std::size_t* written) {
  if (written) *written = 0;
  if (m_write_failed) return *m_write_failed;
  if (m_closed) return Error{"the secure channel is closed"};
  const std::size_t size = data.size();
  while (!data.empty()) {
    if (!m_open) {
      m_out.resize(m_out.size() + LENGTH_BYTES + 1);
      m_open = true;
    }
    const std::size_t chunk =
        std::min(data.size(), RECORD_PAYLOAD_MAX - m_gathered);
    m_out.insert(m_out.end(), data.begin(),
                 data.begin() + static_cast<std::ptrdiff_t>(chunk));
    m_gathered += chunk;
    data = data.subspan(chunk);
    if (m_gathered == RECORD_PAYLOAD_MAX) RETURN_IF_ERROR(seal(RECORD_DATA));
    // Uncorked: the record's last segment must not wait for the next one.
    if (m_out.size() >= BATCH_BYTES && !m_open) RETURN_IF_ERROR(flush(false));
  }
  if (!more) {
    if (m_open) RETURN_IF_ERROR(seal(RECORD_DATA));
    RETURN_IF_ERROR(flush(false));
  }
  if (written) *written = size;
  return {};
}

void SecureChannel::close() {
  // A channel moved from has nothing left to close.
  if (m_closed || m_write_failed || !m_send.valid()) return;
  m_closed = true;
  if (m_open && m_gathered > 0 && !seal(RECORD_DATA).ok()) return;
  if (!m_open) {
    m_out.resize(m_out.size() + LENGTH_BYTES + 1);
    m_open = true;
  }
  // A peer that is gone cannot be told; there is no one left to tell.
  if (seal(RECORD_CLOSE).ok()) (void)flush(false);
}

Result<bool> SecureChannel::open_record() {
  std::uint8_t* start = m_in.data() + m_in_start;
  const std::size_t sealed = length_at(start);
  std::span<std::uint8_t> body(start + LENGTH_BYTES, sealed - TAG_SIZE);
  std::span<const std::uint8_t, TAG_SIZE> tag(body.data() + body.size(),
                                              TAG_SIZE);
  if (m_receive_nonce == NONCE_LIMIT) {
    return fail_read(Error{"the channel's nonces are used up"}).error();
  }
  if (Status opened = m_receive.open(m_receive_nonce, body, tag);
      !opened.ok()) {
    return fail_read(Error{"a record failed its authentication",
                           ErrorKind::invalid_data})
        .error();
  }
  ++m_receive_nonce;
  m_in_start += LENGTH_BYTES + sealed;
  if (body[0] == RECORD_CLOSE && body.size() == 1) {
    m_peer_closed = true;
    return true;
  }
  if (body[0] != RECORD_DATA) {
    return fail_read(
               Error{"a record of an unknown kind", ErrorKind::invalid_data})
        .error();
  }
  m_plain_start = static_cast<std::size_t>(body.data() + 1 - m_in.data());
  m_plain_end = m_plain_start + body.size() - 1;
  return true;
}

Result<bool> SecureChannel::next_record(bool wait, Expect expect,
                                        std::size_t want) {
  while (true) {
    const std::size_t held = m_in_end - m_in_start;
    std::size_t missing = LENGTH_BYTES - std::min(held, LENGTH_BYTES);
    if (held >= LENGTH_BYTES) {
      const std::size_t sealed = length_at(m_in.data() + m_in_start);
      if (sealed < 1 + TAG_SIZE) {
        return fail_read(Error{"a record shorter than its tag",
                               ErrorKind::invalid_data})
            .error();
      }
      if (held >= LENGTH_BYTES + sealed) return open_record();
      missing = LENGTH_BYTES + sealed - held;
    }
    // The plaintext read is taken, so the partial record moves to the front.
    std::memmove(m_in.data(), m_in.data() + m_in_start, held);
    m_in_start = 0;
    m_in_end = held;
    Bytes room(m_in.data() + m_in_end, m_in.size() - m_in_end);
    Result<std::size_t> got = std::size_t{0};
    // A write that failed shows at the next write; what the peer sent
    // before is still read, as from a socket.
    if (wait) (void)send_gathered();
    if (!wait) {
      got = m_tcp->read_available(room);
      if (got.ok() && *got == 0) return false;
    } else if (expect == Expect::all) {
      // Only bytes surely owed: the record's rest, or the plaintext asked
      // for less what the partial record here may carry.
      const std::size_t owed = std::max(missing, want > held ? want - held : 0);
      got = m_tcp->read_some(room.first(std::min(room.size(), owed)),
                             Expect::all);
    } else {
      got = m_tcp->read_some(room, expect);
    }
    if (!got.ok()) {
      if (got.error().kind == ErrorKind::unexpected_eof) {
        return fail_read(
                   Error{std::string(CUT_LINK_TEXT), ErrorKind::unexpected_eof})
            .error();
      }
      // A time-out leaves the stream as it was, to be read on.
      if (got.error().kind == ErrorKind::timed_out) return got.error();
      return fail_read(got.error()).error();
    }
    if (*got == 0) {
      return fail_read(
                 Error{std::string(CUT_LINK_TEXT), ErrorKind::unexpected_eof})
          .error();
    }
    m_in_end += *got;
  }
}

std::size_t SecureChannel::take(Bytes buffer) {
  const std::size_t n = std::min(buffer.size(), m_plain_end - m_plain_start);
  std::memcpy(buffer.data(), m_in.data() + m_plain_start, n);
  m_plain_start += n;
  return n;
}

Result<std::size_t> SecureChannel::read_some(Bytes buffer, Expect expect) {
  if (m_read_failed) return *m_read_failed;
  std::size_t done = take(buffer);
  while (done < buffer.size() && !m_peer_closed) {
    // Records already here are taken without a wait; more are waited for
    // only while nothing was taken, or all of `buffer` is asked for.
    const bool wait = done == 0 || expect == Expect::all;
    Result<bool> next = next_record(wait, expect, buffer.size() - done);
    if (!next.ok()) {
      if (done > 0 && !wait) break;
      return next.error();
    }
    if (!*next) break;
    done += take(buffer.subspan(done));
  }
  return done;
}

Status SecureChannel::read_exact(Bytes buffer, Expect expect) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    Result<std::size_t> got = read_some(buffer.subspan(done), expect);
    if (!got.ok()) return got.error();
    if (*got == 0) {
      return Error{std::string(platform::FILL_BUFFER_TEXT),
                   ErrorKind::unexpected_eof};
    }
    done += *got;
  }
  return {};
}

Result<std::size_t> SecureChannel::read_available(Bytes buffer) {
  if (m_read_failed) return *m_read_failed;
  std::size_t done = take(buffer);
  while (done < buffer.size() && !m_peer_closed) {
    Result<bool> next = next_record(false, Expect::data, 0);
    if (!next.ok()) return next.error();
    if (!*next) break;
    done += take(buffer.subspan(done));
  }
  if (done == 0 && m_peer_closed) {
    return Error{std::string(platform::FILL_BUFFER_TEXT),
                 ErrorKind::unexpected_eof};
  }
  return done;
}

Result<SecureChannel> initiate(TcpStream& tcp, const KeyPair& local,
                               const ReplyTo& reply, bool preamble_read) {
  const Clock::time_point deadline = Clock::now() + HANDSHAKE_LIMIT;
  Result<Handshake> started =
      Handshake::start(Pattern::xx, Role::initiator, PREAMBLE, local);
  if (!started.ok()) return handshake_failed(started.error().message);
  Handshake& handshake = *started;
  Result<Buffer> first = handshake.write_message({});
  if (!first.ok()) return handshake_failed(first.error().message);
  RETURN_IF_ERROR(write_message(
      tcp, *first, preamble_read ? ConstBytes() : ConstBytes(PREAMBLE)));

  Result<Buffer> second = read_message(tcp, deadline);
  if (!second.ok()) return second.error();
  Result<Peer> peer = peer_of(handshake, handshake.read_message(*second));
  if (!peer.ok()) return peer.error();
  Result<Buffer> payload = reply(*peer);
  if (!payload.ok()) return payload.error();

  Result<Buffer> third = handshake.write_message(*payload);
  if (!third.ok()) return handshake_failed(third.error().message);
  RETURN_IF_ERROR(write_message(tcp, *third, {}));
  return channel_of(tcp, handshake);
}

Result<SecureChannel> respond(TcpStream& tcp, const KeyPair& local,
                              ConstBytes payload, const PeerCheck& check) {
  const Clock::time_point deadline = Clock::now() + HANDSHAKE_LIMIT;
  Result<Handshake> started =
      Handshake::start(Pattern::xx, Role::responder, PREAMBLE, local);
  if (!started.ok()) return handshake_failed(started.error().message);
  Handshake& handshake = *started;
  Result<Buffer> first = read_message(tcp, deadline);
  if (!first.ok()) return first.error();
  if (Result<Buffer> read = handshake.read_message(*first); !read.ok()) {
    return handshake_failed(read.error().message);
  }
  Result<Buffer> second = handshake.write_message(payload);
  if (!second.ok()) return handshake_failed(second.error().message);
  RETURN_IF_ERROR(write_message(tcp, *second, {}));

  Result<Buffer> third = read_message(tcp, deadline);
  if (!third.ok()) return third.error();
  Result<Peer> peer = peer_of(handshake, handshake.read_message(*third));
  if (!peer.ok()) return peer.error();
  RETURN_IF_ERROR(check(*peer));
  return channel_of(tcp, handshake);
}

}  // namespace burrowlink::secure
