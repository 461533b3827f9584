#include "protocol/sender.h"

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <memory>

#include "platform/files.h"
#include "protocol/extensions.h"
#include "protocol/hashing_ring.h"
#include "protocol/wire.h"
#include "storage/store.h"

namespace burrowlink {

using platform::TcpStream;
using Clock = std::chrono::steady_clock;

namespace {

// Where a file the receiver offered to resume starts: 0, or the offered
// offset once the prefix here is the one there, with its digest going on.
struct Start {
  std::uint64_t offset = 0;
  std::unique_ptr<Sha256> prefix;  // the digest of the bytes before it
};
// Per file of the offer that the receiver's answer names; files it does
// not name have no start on the wire.
using Starts = std::map<std::size_t, Start>;

// The starts for `offered`: each prefix hashed here and compared with the
// receiver's. A prefix that differs, or cannot be read, starts at 0.
Starts plan_starts(const Offer& offer, const std::vector<ResumeAt>& offered,
                   const PathOf& path_of, const SenderEvents& events) {
  Starts starts;
  for (const ResumeAt& at : offered) {
    if (at.index >= offer.files.size() || starts.contains(at.index)) continue;
    Start& start = starts[at.index];
    if (at.offset == 0 || at.offset > offer.files[at.index].size) continue;
    Result<platform::File> file = platform::File::open_read(path_of(at.index));
    if (!file.ok()) continue;
    auto sha = std::make_unique<Sha256>();
    if (!hash_prefix(*file, at.offset, *sha).ok()) continue;
    Sha256 check;
    check.copy_from(*sha);
    if (check.finish() != at.prefix) continue;
    start.offset = at.offset;
    start.prefix = std::move(sha);
    if (events.resuming) events.resuming(at.index, at.offset);
  }
  return starts;
}

// Streams file `index`: its offered bytes from `start`, when the receiver
// named the file, then the digest of all of them. `more`: the next file
// follows at once, so its bytes may share the last segment.
Status send_file(TcpStream& stream, HashingRing& ring, const Offer& offer,
                 std::size_t index, const std::string& path, bool more,
                 const SenderEvents& events, const Start* start = nullptr) {
  const FileInfo& info = offer.files[index];
  Result<platform::File> opened = platform::File::open_read(path);
  if (!opened.ok()) {
    return Error{path + ": " + opened.error().message};
  }
  platform::File& file = opened.value();

  std::uint64_t due = info.size;
  if (start != nullptr) {
    std::array<std::uint8_t, 8> header{};
    for (int i = 0; i < 8; ++i) {
      header[static_cast<std::size_t>(i)] =
          static_cast<std::uint8_t>(start->offset >> (56 - 8 * i));
    }
    if (Status sent = stream.write_all(header, true); !sent.ok()) {
      return Error{connection_lost_text(sent.error().message)};
    }
    if (start->prefix) {
      if (Status moved = file.seek(start->offset); !moved.ok()) return moved;
      due -= start->offset;
    }
  }
  if (start != nullptr && start->prefix) {
    ring.start_file(*start->prefix);
  } else {
    ring.start_file();
  }
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
    if (events.progress) events.progress(index, info.size - due);
    if (due > 0) buffer = ring.next_slot();
  }
  // Every chunk is hashed and sent, so the slot is free for the digest.
  Digest sum = ring.finish_file();
  std::copy(sum.begin(), sum.end(),
            buffer.begin() + static_cast<std::ptrdiff_t>(last));
  std::size_t written = 0;
  Status sent =
      stream.write_all(buffer.first(last + DIGEST_BYTES), more, &written);
  if (!sent.ok()) {
    // Only a failure within the file's own bytes counts as a lost
    // connection; one within the digest is reported as it is.
    if (written < last)
      return Error{connection_lost_text(sent.error().message)};
    return sent;
  }
  // Every byte due is read: closing now costs the receiver's time, not the
  // round trip's.
  (void)file.close();
  return {};
}

// One file after the other, each after the verdict on the one before.
Status send_in_lockstep(TcpStream& stream, HashingRing& ring,
                        const Offer& offer, const PathOf& path_of,
                        const SenderEvents& events) {
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    const auto opened = Clock::now();
    if (Status sent =
            send_file(stream, ring, offer, i, path_of(i), false, events);
        !sent.ok()) {
      return sent;
    }
    std::uint8_t verdict = 0;
    if (Status read = stream.read_exact({&verdict, 1}, platform::Expect::reply);
        !read.ok()) {
      return Error{connection_lost_text(read.error().message)};
    }
    if (verdict != VERDICT_KEPT)
      return Error{damaged_text(offer.files[i].name)};
    if (events.verified) events.verified(i, Clock::now() - opened);
    if (events.settled) events.settled();
  }
  return {};
}

// The files sent and not yet judged, oldest first, and their verdicts as
// they arrive.
class Verdicts {
 public:
  Verdicts(TcpStream& stream, const Offer& offer, const SenderEvents& events)
      : m_stream(stream), m_offer(offer), m_events(events) {}

  std::size_t files() const { return m_pending.size(); }
  std::uint64_t bytes() const { return m_bytes; }

  void sent(std::size_t index, Clock::time_point opened) {
    m_pending.push_back({index, opened});
    m_bytes += m_offer.files[index].size;
  }

  // Takes the verdicts that have arrived; with `wait`, at least one.
  // Without it, looks at most once a millisecond, as a look costs a system
  // call and small files come far faster.
  Status take(bool wait) {
    if (m_pending.empty()) return {};
    const Clock::time_point now = Clock::now();
    if (!wait && now - m_looked < LOOK_INTERVAL) return {};
    m_looked = now;
    std::uint8_t verdicts[256];
    const std::size_t room = std::min(m_pending.size(), sizeof verdicts);
    Result<std::size_t> got = m_stream.read_available({verdicts, room});
    if (got.ok() && *got == 0 && wait) {
      Status read = m_stream.read_exact({verdicts, 1});
      got = read.ok() ? Result<std::size_t>(1) : std::move(read).error();
    }
    if (!got.ok()) return Error{connection_lost_text(got.error().message)};
    Status judged;
    for (std::size_t i = 0; i < *got && judged.ok(); ++i) {
      judged = judge(verdicts[i]);
    }
    if (*got > 0 && m_events.settled) m_events.settled();
    return judged;
  }

 private:
  struct Pending {
    std::size_t index;
    Clock::time_point opened;
  };

  Status judge(std::uint8_t verdict) {
    const Pending file = m_pending.front();
    m_pending.pop_front();
    const FileInfo& info = m_offer.files[file.index];
    m_bytes -= info.size;
    if (verdict != VERDICT_KEPT) return Error{damaged_text(info.name)};
    const Clock::time_point now = Clock::now();
    // Overlapping files share the time: each counts from the later of its
    // opening and the verdict before, so that the times add up.
    const Clock::time_point from = std::max(file.opened, m_last_verdict);
    m_last_verdict = now;
    if (m_events.verified) m_events.verified(file.index, now - from);
    return {};
  }

  TcpStream& m_stream;
  const Offer& m_offer;
  const SenderEvents& m_events;
  std::deque<Pending> m_pending;
  std::uint64_t m_bytes = 0;
  Clock::time_point m_last_verdict{};
  Clock::time_point m_looked{};
  static constexpr std::chrono::milliseconds LOOK_INTERVAL{1};
};

// Files back to back, the verdicts read as they come, at most `window`
// ahead of them. The verdicts still owed never exceed the window's files,
// far less than any socket buffer, so the receiver never waits to write
// one while this side waits to write data.
Status send_streamed(TcpStream& stream, HashingRing& ring, const Offer& offer,
                     const PathOf& path_of, StreamWindow window,
                     const Starts& starts, const SenderEvents& events) {
  Verdicts verdicts(stream, offer, events);
  const std::size_t count = offer.files.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t size = offer.files[i].size;
    auto full = [&] {
      return verdicts.files() > 0 && (verdicts.files() >= window.files ||
                                      verdicts.bytes() + size > window.bytes);
    };
    while (full()) {
      if (Status taken = verdicts.take(true); !taken.ok()) return taken;
    }
    const bool more = i + 1 < count && verdicts.files() + 1 < window.files;
    const auto opened = Clock::now();
    const auto start = starts.find(i);
    if (Status sent =
            send_file(stream, ring, offer, i, path_of(i), more, events,
                      start == starts.end() ? nullptr : &start->second);
        !sent.ok()) {
      return sent;
    }
    verdicts.sent(i, opened);
    if (Status taken = verdicts.take(false); !taken.ok()) return taken;
  }
  while (verdicts.files() > 0) {
    if (Status taken = verdicts.take(true); !taken.ok()) return taken;
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
  // The extended answer counts only where it was asked for; to anyone else
  // every answer but 0x01 is a decline.
  std::optional<StreamWindow> window;
  std::vector<ResumeAt> offered;
  if (answer == ANSWER_ACCEPT_EXTENDED && offer.extensions) {
    Result<std::optional<ExtensionAnswer>> read = read_extension_answer(stream);
    if (!read.ok()) return Error{no_answer_text(read.error().message)};
    // Closed before any frame byte: a receiver that meant a decline.
    if (!*read) return Error{std::string(DECLINED_TEXT)};
    ExtensionAnswer& extended = **read;
    if (extended.token && events.token) {
      events.token(*extended.token, extended.next_files);
    }
    if (extended.stream) {
      window =
          StreamWindow{std::min(extended.stream->files, STREAM_WINDOW.files),
                       std::min(extended.stream->bytes, STREAM_WINDOW.bytes)};
      if (extended.resume && offer.extensions->resume > 0) {
        offered = std::move(*extended.resume);
        if (events.resumable) events.resumable();
      }
    }
  } else if (answer != ANSWER_ACCEPT) {
    return Error{std::string(DECLINED_TEXT)};
  }
  if (offer.text) return {};

  (void)stream.set_read_timeout(FILE_PHASE_TIMEOUT);
  (void)stream.set_write_timeout(FILE_PHASE_TIMEOUT);
  HashingRing ring(TRANSFER_BUFFER_BYTES, TRANSFER_RING_SLOTS);
  if (window) {
    const Starts starts = plan_starts(offer, offered, path_of, events);
    return send_streamed(stream, ring, offer, path_of, *window, starts, events);
  }
  return send_in_lockstep(stream, ring, offer, path_of, events);
}

}  // namespace burrowlink
