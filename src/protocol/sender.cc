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

using platform::Connection;
using platform::TcpStream;
using Clock = std::chrono::steady_clock;

namespace {

// The stretches the receiver holds of each file its answer names, by
// index; none where the entry cannot be used, and the file starts at 0.
// The first entry for an index counts.
using HeldStretches = std::map<std::size_t, std::vector<std::uint64_t>>;

HeldStretches held_stretches(const Offer& offer,
                             const std::vector<ResumeAt>& entries) {
  HeldStretches held;
  for (const ResumeAt& at : entries) {
    if (at.index >= offer.files.size() || held.contains(at.index)) continue;
    std::vector<std::uint64_t>& ends = held[at.index];
    if (at.offset() > 0 && at.offset() <= offer.files[at.index].size) {
      ends = at.ends;
    }
  }
  return held;
}

// Fails when the open file is no longer as `source` was listed with
// `size` bytes: it grew, or was written to. One that got shorter is found
// by the read that comes up short.
Status check_unchanged(const platform::File& file, const Source& source,
                       std::uint64_t size) {
  Result<platform::FileStatus> now = file.status();
  if (!now.ok()) return Error{source.path + ": " + now.error().message};
  if (now->size != size ||
      (source.modified && now->modified != *source.modified)) {
    return Error{changed_while_sending_text(source.path)};
  }
  return {};
}

// Hashes the first `ends.back()` bytes of `file`, one digest per stretch,
// writing how far it got at least once a second: the receiver waits on
// no single read for long, however big the prefix. A file shorter than
// that gives digests that cannot match. A proof of the whole file is one
// of the file as offered, or none.
Status prove_prefix(Connection& stream, platform::File& file,
                    const std::vector<std::uint64_t>& ends,
                    const Source& source, std::uint64_t size) {
  const std::uint64_t prefix_bytes = ends.back();
  std::vector<std::uint8_t> buffer(TRANSFER_BUFFER_BYTES);
  std::string digests;
  platform::Sha256 sha;
  std::uint64_t at = 0;
  auto last_word = Clock::now();
  for (std::uint64_t end : ends) {
    while (at < end) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(end - at, buffer.size()));
      Result<std::size_t> got = file.read({buffer.data(), want});
      if (!got.ok()) return std::move(got).error();
      if (*got == 0) break;
      sha.update({buffer.data(), *got});
      at += *got;
      if (at < prefix_bytes && Clock::now() - last_word >= PROOF_WORD_EVERY) {
        last_word = Clock::now();
        if (Status sent = stream.write_all(u64_bytes(at)); !sent.ok()) {
          return Error{connection_lost_text(sent.error().message)};
        }
      }
    }
    platform::Digest digest = sha.finish();
    if (at < end) digest = platform::Digest{};
    digests.append(digest.begin(), digest.end());
    sha.reset();
  }
  if (prefix_bytes == size) {
    if (Status same = check_unchanged(file, source, size); !same.ok()) {
      return same;
    }
  }
  std::string proof(
      reinterpret_cast<const char*>(u64_bytes(prefix_bytes).data()), 8);
  proof += digests;
  if (Status sent = stream.write_all(
          {reinterpret_cast<const std::uint8_t*>(proof.data()), proof.size()});
      !sent.ok()) {
    return Error{connection_lost_text(sent.error().message)};
  }
  return {};
}

// Streams file `index`: its offered bytes from `offset`, where the receiver
// holds the ones before, then the digest of all of them. `next_follows`:
// the next file follows at once, so its bytes may share the last segment.
Status send_file(Connection& stream, HashingRing& ring, const Offer& offer,
                 std::size_t index, const Source& source, platform::File& file,
                 bool next_follows, SenderEvents& events,
                 std::uint64_t offset = 0) {
  const FileInfo& info = offer.files[index];
  std::uint64_t unread = info.size - offset;
  if (offset > 0) {
    if (Status moved = file.seek(offset); !moved.ok()) return moved;
  }
  ring.start_file();
  std::span<std::uint8_t> buffer = ring.next_slot();
  std::size_t unsent = 0;  // bytes of the final chunk still in `buffer`
  while (unread > 0) {
    std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(unread, buffer.size()));
    Result<std::size_t> got = file.read(buffer.first(want));
    if (!got.ok()) return std::move(got).error();
    if (*got == 0) return Error{changed_while_sending_text(source.path)};
    auto chunk = std::span<const std::uint8_t>(buffer).first(*got);
    // Hashed on the ring's thread while it goes out on this one.
    ring.hash(chunk);
    unread -= *got;
    if (unread == 0 && chunk.size() + DIGEST_BYTES <= buffer.size()) {
      unsent = chunk.size();  // leaves below, in one write with the digest
      break;
    }
    // The last chunk is corked so that it leaves together with the digest.
    if (Status sent = stream.write_all(chunk, unread == 0); !sent.ok()) {
      return Error{connection_lost_text(sent.error().message)};
    }
    events.progress(index, info.size - unread);
    if (unread > 0) buffer = ring.next_slot();
  }
  // Without its digest the receiver keeps nothing of a file that changed;
  // one that did not gets exactly its offered bytes, as any peer expects.
  if (Status same = check_unchanged(file, source, info.size); !same.ok()) {
    return same;
  }
  // Every chunk is hashed and sent, so the slot is free for the digest.
  platform::Digest sum = ring.finish_file();
  std::copy(sum.begin(), sum.end(),
            buffer.begin() + static_cast<std::ptrdiff_t>(unsent));
  std::size_t written = 0;
  Status sent = stream.write_all(buffer.first(unsent + DIGEST_BYTES),
                                 next_follows, &written);
  if (!sent.ok()) {
    // Only a failure within the file's own bytes counts as a lost
    // connection; one within the digest is reported as it is.
    if (written < unsent)
      return Error{connection_lost_text(sent.error().message)};
    return sent;
  }
  // Every byte due is read: closing now costs the receiver's time, not the
  // round trip's. Nothing was written to it, so a failing close loses
  // nothing.
  (void)file.close();
  return {};
}

Result<platform::File> open_source(const std::string& path) {
  Result<platform::File> opened = platform::File::open_read(path);
  if (!opened.ok()) return Error{path + ": " + opened.error().message};
  return opened;
}

// One file after the other, each after the verdict on the one before.
Status send_in_lockstep(Connection& stream, HashingRing& ring,
                        const Offer& offer, const SourceOf& source_of,
                        SenderEvents& events) {
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    const Source source = source_of(i);
    Result<platform::File> file = open_source(source.path);
    if (!file.ok()) return std::move(file).error();
    const auto opened = Clock::now();
    if (Status sent =
            send_file(stream, ring, offer, i, source, *file, false, events);
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
    events.verified(i, Clock::now() - opened);
    events.settled();
  }
  return {};
}

// The files sent and not yet judged, oldest first, and their verdicts as
// they arrive.
class Verdicts {
 public:
  Verdicts(Connection& stream, const Offer& offer, SenderEvents& events)
      : m_stream(stream), m_offer(offer), m_events(events) {}

  std::size_t files() const { return m_pending.size(); }
  std::uint64_t bytes() const { return m_bytes; }

  // File `index` was sent, or with `proved`, shown to be there already.
  void sent(std::size_t index, Clock::time_point opened, bool proved = false) {
    m_pending.push_back({index, opened, proved});
    // Bytes the receiver has yet to take: none for a file it has.
    if (!proved) m_bytes += m_offer.files[index].size;
  }
  // File `index` goes on after its first `offset` bytes.
  void resuming(std::size_t index, std::uint64_t offset) {
    m_events.resuming(index, offset);
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
    if (*got > 0) m_events.settled();
    return judged;
  }

  // Takes the verdicts owed before this side stops: closing with unread
  // bytes resets the connection, which the receiver takes for a broken
  // link, keeping what it has of the file for later. A clean end is a
  // file stopped on purpose, of which it keeps nothing.
  void drain() {
    // Best effort: without the shorter limit the file phase's still ends
    // the wait, and the send fails either way.
    (void)m_stream.set_read_timeout(DRAIN_LIMIT);
    while (!m_pending.empty() && take(true).ok()) {
    }
  }

 private:
  static constexpr std::chrono::seconds DRAIN_LIMIT{5};
  struct Pending {
    std::size_t index;
    Clock::time_point opened;
    bool proved;
  };

  Status judge(std::uint8_t verdict) {
    const Pending file = m_pending.front();
    m_pending.pop_front();
    const FileInfo& info = m_offer.files[file.index];
    if (!file.proved) m_bytes -= info.size;
    if (verdict != VERDICT_KEPT) {
      return Error{file.proved ? not_the_same_text(info.name)
                               : damaged_text(info.name)};
    }
    if (file.proved) resuming(file.index, info.size);
    const Clock::time_point now = Clock::now();
    // Overlapping files share the time: each counts from the later of its
    // opening and the verdict before, so that the times add up.
    const Clock::time_point from = std::max(file.opened, m_last_verdict);
    m_last_verdict = now;
    m_events.verified(file.index, now - from);
    return {};
  }

  Connection& m_stream;
  const Offer& m_offer;
  SenderEvents& m_events;
  std::deque<Pending> m_pending;
  std::uint64_t m_bytes = 0;
  Clock::time_point m_last_verdict{};
  Clock::time_point m_looked{};
  static constexpr std::chrono::milliseconds LOOK_INTERVAL{1};
};

// Where file `index` goes on, for a file the answer named (`held` the
// stretches the receiver holds of it, null where it did not): its start
// word, and for a prefix held there its proof and the receiver's reply.
// The reply follows the verdicts owed, which are taken first.
Result<std::uint64_t> resume_offset(Connection& stream, platform::File& file,
                                    const Source& source, const Offer& offer,
                                    std::size_t index,
                                    const std::vector<std::uint64_t>* held,
                                    Verdicts& verdicts) {
  if (!held) return std::uint64_t{0};
  const std::vector<std::uint64_t>& ends = *held;
  if (ends.empty()) {
    if (Status sent = stream.write_all(u64_bytes(0), true); !sent.ok()) {
      return Error{connection_lost_text(sent.error().message)};
    }
    return std::uint64_t{0};
  }
  if (Status sent = stream.write_all(u64_bytes(ends.back()), true);
      !sent.ok()) {
    return Error{connection_lost_text(sent.error().message)};
  }
  if (Status proved =
          prove_prefix(stream, file, ends, source, offer.files[index].size);
      !proved.ok()) {
    return std::move(proved).error();
  }
  // The whole file: the receiver's word on the proof is its verdict, which
  // comes in turn like any other.
  if (ends.back() == offer.files[index].size) return ends.back();
  while (verdicts.files() > 0) {
    if (Status taken = verdicts.take(true); !taken.ok()) {
      return std::move(taken).error();
    }
  }
  std::uint8_t reply = 0;
  if (Status read = stream.read_exact({&reply, 1}, platform::Expect::reply);
      !read.ok()) {
    return Error{connection_lost_text(read.error().message)};
  }
  if (reply == PROOF_DIFFERS) {
    // From the first byte, after the proof read the prefix.
    if (Status moved = file.seek(0); !moved.ok())
      return std::move(moved).error();
    return std::uint64_t{0};
  }
  if (reply != PROOF_SAME) return Error{damaged_text(offer.files[index].name)};
  verdicts.resuming(index, ends.back());
  return ends.back();
}

// Files back to back, the verdicts read as they come, at most `window`
// ahead of them. The verdicts still owed never exceed the window's files,
// far less than any socket buffer, so the receiver never waits to write
// one while this side waits to write data.
Status send_streamed(Connection& stream, HashingRing& ring, const Offer& offer,
                     const SourceOf& source_of, StreamWindow window,
                     const HeldStretches& held, SenderEvents& events) {
  Verdicts verdicts(stream, offer, events);
  const std::size_t count = offer.files.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t size = offer.files[i].size;
    auto window_full = [&] {
      return verdicts.files() > 0 && (verdicts.files() >= window.files ||
                                      verdicts.bytes() + size > window.bytes);
    };
    while (window_full()) {
      if (Status taken = verdicts.take(true); !taken.ok()) return taken;
    }
    const bool next_follows =
        i + 1 < count && verdicts.files() + 1 < window.files;
    const Source source = source_of(i);
    Result<platform::File> file = open_source(source.path);
    if (!file.ok()) return std::move(file).error();
    const auto opened = Clock::now();
    const auto held_of_file = held.find(i);
    Result<std::uint64_t> offset = resume_offset(
        stream, *file, source, offer, i,
        held_of_file == held.end() ? nullptr : &held_of_file->second, verdicts);
    if (!offset.ok()) return std::move(offset).error();
    if (*offset == size && size > 0) {
      verdicts.sent(i, opened, true);
      if (Status taken = verdicts.take(false); !taken.ok()) return taken;
      continue;
    }
    if (Status sent = send_file(stream, ring, offer, i, source, *file,
                                next_follows, events, *offset);
        !sent.ok()) {
      verdicts.drain();
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

// How the receiver took an offer.
struct Acceptance {
  std::optional<StreamWindow> window;  // none: file after file, in lockstep
  std::vector<ResumeAt> resume_entries;
};

// Reads the answer to `offer`. The extended answer counts only where it
// was asked for; to anyone else every answer but 0x01 is a decline.
Result<Acceptance> read_answer(Connection& stream, const Offer& offer,
                               SenderEvents& events) {
  std::uint8_t answer = 0;
  if (Status read = stream.read_exact({&answer, 1}, platform::Expect::reply);
      !read.ok()) {
    return Error{no_answer_text(read.error().message)};
  }
  Acceptance accepted;
  if (answer == ANSWER_ACCEPT_EXTENDED && offer.extensions) {
    Result<std::optional<ExtensionAnswer>> read = read_extension_answer(stream);
    if (!read.ok()) return Error{no_answer_text(read.error().message)};
    // Closed before any frame byte: a receiver that meant a decline.
    if (!*read) return Error{std::string(DECLINED_TEXT)};
    ExtensionAnswer& extended = **read;
    if (extended.token) {
      events.token(*extended.token, extended.next_files);
    }
    if (extended.stream) {
      accepted.window =
          StreamWindow{std::min(extended.stream->files, STREAM_WINDOW.files),
                       std::min(extended.stream->bytes, STREAM_WINDOW.bytes)};
      if (extended.resume && offer.extensions->resume > 0) {
        accepted.resume_entries = std::move(*extended.resume);
        events.resumable();
      }
    }
  } else if (answer != ANSWER_ACCEPT) {
    return Error{std::string(DECLINED_TEXT)};
  }
  return accepted;
}

// Asks with an offer like `offer` that lists nothing whether the receiver
// takes the channel: one that does answers with the preamble.
Status ask_for_channel(platform::TcpStream& tcp, const Offer& offer,
                       const SecureSend& secure) {
  Offer ask = offer;
  ask.files.clear();
  ask.text.reset();
  ask.extensions = OfferExtensions{};
  ask.extensions->stream = STREAM_VERSION;
  ask.extensions->secure = SECURE_VERSION;
  RETURN_IF_ERROR(write_offer(tcp, ask));
  // As long as an offer's answer: a receiver serves one sender at a time.
  std::array<std::uint8_t, secure::PREAMBLE.size()> answer{};
  RETURN_IF_ERROR(tcp.set_read_timeout(ANSWER_TIMEOUT));
  Status read = tcp.read_exact(answer, platform::Expect::reply);
  if (read.ok() && answer == secure::PREAMBLE) return {};
  // Only a close is the answer of a receiver without the channel.
  if (!read.ok() && read.error().kind == ErrorKind::timed_out) {
    return Error{
        "no answer to the question for the channel: " + read.error().message,
        ErrorKind::timed_out};
  }
  if (secure.not_taken) *secure.not_taken = true;
  return Error{read.ok() ? "it answered the question for the channel with "
                           "something else"
                         : "it takes no secure connection"};
}

// The handshake as the initiator over `tcp` to the device at `to`, and
// the comparison of codes when either side asks for it.
Result<secure::SecureChannel> open_channel(platform::TcpStream& tcp,
                                           const SocketAddress& to,
                                           const Offer& offer,
                                           const SecureSend& secure,
                                           SenderEvents& events) {
  const std::string address = format_address(to);
  if (secure.ask_first) {
    if (Status asked = ask_for_channel(tcp, offer, secure); !asked.ok()) {
      return Error{cannot_secure_text(address, asked.error().message),
                   asked.error().kind};
    }
  }
  Result<Nonce> nonce = draw_nonce();
  if (!nonce.ok())
    return Error{cannot_secure_text(address, nonce.error().message)};
  std::optional<Admission> admitted;
  bool compare = false;
  Result<secure::SecureChannel> channel = secure::initiate(
      tcp, secure.device.key,
      [&](const secure::Peer& peer) -> Result<secure::Buffer> {
        Result<Admission> admission =
            admit_peer(secure.device, peer, address, secure.expected);
        if (!admission.ok()) return std::move(admission).error();
        admitted.emplace(std::move(admission).value());
        if (secure.expected_id && admitted->peer.id != *secure.expected_id) {
          return Error{admitted->peer.name +
                           " is not the device whose beacon was heard there, "
                           "so the connection was refused",
                       ErrorKind::refused};
        }
        compare = secure.verify || admitted->card.verify;
        if (compare && !admitted->card.commit) {
          return Error{admitted->peer.name + " cannot compare codes",
                       ErrorKind::refused};
        }
        if (!compare) pin(*admitted, false);
        DeviceCard card = card_of(secure.device);
        card.verify = secure.verify;
        if (compare) card.nonce = *nonce;
        const std::string text = device_card(card);
        return secure::Buffer(text.begin(), text.end());
      },
      secure.ask_first);
  if (!channel.ok()) {
    return Error{cannot_secure_text(address, channel.error().message),
                 channel.error().kind};
  }
  events.secured(admitted->peer);
  if (compare) {
    Status compared = compare_codes(
        *channel, *admitted, secure::Role::initiator, *nonce,
        [&](std::string_view code) {
          return events.confirm_code(admitted->peer, code, secure.verify);
        });
    if (!compared.ok()) {
      return Error{cannot_secure_text(address, compared.error().message),
                   compared.error().kind};
    }
  }
  return channel;
}

}  // namespace

Status run_sender(const SocketAddress& to, const Offer& offer,
                  const SourceOf& source_of, SenderEvents& events,
                  const SecureSend* secure) {
  Result<TcpStream> connected = TcpStream::connect(to, CONNECT_LIMIT);
  if (!connected.ok()) {
    return Error{
        cannot_connect_text(format_address(to), connected.error().message)};
  }
  TcpStream& tcp = connected.value();
  // The one-byte elements must not linger; should that fail, they still
  // go, only later.
  (void)tcp.set_no_delay();
  // Goes before the socket it writes to.
  std::optional<secure::SecureChannel> channel;
  platform::Connection* link = &tcp;
  if (secure) {
    Result<secure::SecureChannel> opened =
        open_channel(tcp, to, offer, *secure, events);
    if (!opened.ok()) {
      if (secure->unavailable && opened.error().kind != ErrorKind::refused) {
        *secure->unavailable = true;
      }
      return std::move(opened).error();
    }
    channel.emplace(std::move(opened).value());
    link = &*channel;
  }
  Connection& stream = *link;
  stream.set_spin(REPLY_SPIN);

  if (Status written = write_offer(stream, offer); !written.ok()) {
    return written;
  }
  events.offered();

  if (Status set = stream.set_read_timeout(ANSWER_TIMEOUT); !set.ok()) {
    return set;
  }
  Result<Acceptance> accepted = read_answer(stream, offer, events);
  if (!accepted.ok()) return std::move(accepted).error();
  if (offer.text) return {};

  if (Status set = stream.set_read_timeout(FILE_PHASE_TIMEOUT); !set.ok()) {
    return set;
  }
  if (Status set = stream.set_write_timeout(FILE_PHASE_TIMEOUT); !set.ok()) {
    return set;
  }
  HashingRing ring(TRANSFER_BUFFER_BYTES, TRANSFER_RING_SLOTS);
  if (accepted->window) {
    return send_streamed(stream, ring, offer, source_of, *accepted->window,
                         held_stretches(offer, accepted->resume_entries),
                         events);
  }
  return send_in_lockstep(stream, ring, offer, source_of, events);
}

}  // namespace burrowlink
