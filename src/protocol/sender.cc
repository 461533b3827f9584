#include "protocol/sender.h"

#include <algorithm>

#include "platform/files.h"
#include "protocol/hashing_ring.h"
#include "protocol/wire.h"

namespace burrowlink {

using platform::TcpStream;

namespace {

// The file phase, on a stream whose offer was accepted.
Status send_files(TcpStream& stream, const Offer& offer, const PathOf& path_of,
                  const SenderEvents& events) {
  (void)stream.set_read_timeout(FILE_PHASE_TIMEOUT);
  (void)stream.set_write_timeout(FILE_PHASE_TIMEOUT);
  HashingRing ring(TRANSFER_BUFFER_BYTES, TRANSFER_RING_SLOTS);

  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    const FileInfo& info = offer.files[i];
    const std::string path = path_of(i);
    Result<platform::File> opened = platform::File::open_read(path);
    if (!opened.ok()) {
      return Error{path + ": " + opened.error().message};
    }
    platform::File& file = opened.value();
    auto started = std::chrono::steady_clock::now();

    ring.start_file();
    std::uint64_t due = info.size;
    std::span<std::uint8_t> buffer = ring.next_slot();
    std::size_t last = 0;  // bytes of the final chunk still in `buffer`
    while (due > 0) {
      std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(due, buffer.size()));
      Result<std::size_t> got = file.read(buffer.first(want));
      if (!got.ok()) return std::move(got).error();
      if (*got == 0) return Error{changed_while_sending_text(path)};
      auto chunk = std::span<const std::uint8_t>(buffer).first(*got);
      // Hashed on the ring's thread while it goes out on this one.
      ring.hash(chunk);
      due -= *got;
      if (due == 0 && chunk.size() + DIGEST_BYTES <= buffer.size()) {
        last = chunk.size();  // leaves below, in one write with the digest
        break;
      }
      // The last chunk is corked so that it leaves together with the digest.
      if (Status sent = stream.write_all(chunk, due == 0); !sent.ok()) {
        return Error{connection_lost_text(sent.error().message)};
      }
      if (events.progress) events.progress(i, info.size - due);
      if (due > 0) buffer = ring.next_slot();
    }
    // Every chunk is hashed and sent, so the slot is free for the digest.
    Digest sum = ring.finish_file();
    std::copy(sum.begin(), sum.end(),
              buffer.begin() + static_cast<std::ptrdiff_t>(last));
    std::size_t written = 0;
    Status sent =
        stream.write_all(buffer.first(last + DIGEST_BYTES), false, &written);
    if (!sent.ok()) {
      // Only a failure within the file's own bytes counts as a lost
      // connection; one within the digest is reported as it is.
      if (written < last)
        return Error{connection_lost_text(sent.error().message)};
      return sent;
    }
    // Every byte due is read: closing now costs the receiver's time, not
    // the round trip's.
    (void)file.close();

    std::uint8_t verdict = 0;
    if (Status read = stream.read_exact({&verdict, 1}, platform::Expect::reply);
        !read.ok()) {
      return Error{connection_lost_text(read.error().message)};
    }
    if (verdict != VERDICT_KEPT) return Error{damaged_text(info.name)};
    if (events.verified) {
      events.verified(i, std::chrono::steady_clock::now() - started);
    }
  }
  return {};
}

}  // namespace

Status run_sender(const SocketAddress& to, const Offer& offer,
                  const PathOf& path_of, const SenderEvents& events) {
  Result<TcpStream> connected = TcpStream::connect(to, CONNECT_LIMIT);
  if (!connected.ok()) {
    return Error{
        cannot_connect_text(format_address(to), connected.error().message)};
  }
  TcpStream& stream = connected.value();
  (void)stream.set_no_delay();  // the one-byte elements must not linger
  stream.set_spin(REPLY_SPIN);

  if (Status written = write_offer(stream, offer); !written.ok()) {
    return written;
  }
  if (events.offered) events.offered();

  if (Status set = stream.set_read_timeout(ANSWER_TIMEOUT); !set.ok()) {
    return set;
  }
  std::uint8_t answer = 0;
  if (Status read = stream.read_exact({&answer, 1}, platform::Expect::reply);
      !read.ok()) {
    return Error{no_answer_text(read.error().message)};
  }
  if (answer != ANSWER_ACCEPT) return Error{std::string(DECLINED_TEXT)};
  if (offer.text) return {};
  return send_files(stream, offer, path_of, events);
}

}  // namespace burrowlink
