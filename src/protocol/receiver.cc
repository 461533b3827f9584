#include "protocol/receiver.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "protocol/hashing_ring.h"

namespace burrowlink {

namespace {

// True for modification times that are the same to the coarsest step a
// file system keeps (FAT's two seconds); the digests decide the rest.
bool same_time(std::int64_t ours, std::int64_t offered) {
  constexpr std::int64_t STEP = 2'000'000'000;
  return ours - offered < STEP && offered - ours < STEP;
}

// A regular file of the offered size and time: verified here before by a
// sender of ours.
bool as_offered(const Result<platform::FileStatus>& status, std::uint64_t size,
                std::int64_t modified) {
  return status.ok() && status->type == platform::FileType::regular &&
         status->size == size && same_time(status->modified, modified);
}

// A stream's verdicts wait while the next file is already here and go out
// together before any read that could wait, so that small files cost no
// send each. They never wait for long: the sender stops at its window.
constexpr std::size_t VERDICTS_HELD = 64;
constexpr std::uint64_t VERDICT_BYTES_HELD = 1 << 20;

// Bytes of a resumable file are made durable and noted at most this often,
// so that an interruption, which leaves no time to note them, loses little.
constexpr std::uint64_t CHECKPOINT_BYTES = 64 << 20;
constexpr std::chrono::seconds CHECKPOINT_EVERY{2};

// Where a file would be, for a failure before it has a name.
std::string first_path(const std::string& folder, std::size_t limit,
                       const FileInfo& file) {
  return platform::join_path(
      folder, candidate_name(safe_file_name(file.name), 0, limit));
}

// A chain of stretches from byte 0 with no gap.
bool joined(const std::vector<Segment>& segments) {
  bool joined = !segments.empty() && segments.front().start == 0;
  for (std::size_t i = 1; i < segments.size(); ++i) {
    joined = joined && segments[i].start == segments[i - 1].end;
  }
  return joined;
}

}  // namespace

FilePhase::FilePhase(platform::Connection& stream,
                     const Result<platform::Directory>& root,
                     std::string root_path, Store& store,
                     ReceiverEvents& events, FilePhaseOptions options,
                     std::size_t slot_bytes, std::size_t slots)
    : m_stream(stream),
      m_root_path(std::move(root_path)),
      m_store(store),
      m_events(events),
      m_options(std::move(options)),
      m_ring(std::make_unique<HashingRing>(slot_bytes, slots)) {
  if (!root.ok()) {
    m_root_error = root.error();
    return;
  }
  m_folders.emplace(*root);
  // The store is in the receive folder, on its file system.
  if (Result<std::uint64_t> volume = root->volume(); volume.ok()) {
    m_store_volume = *volume;
  }
}

FilePhase::~FilePhase() = default;

Status FilePhase::flush_verdicts() {
  if (m_verdicts.empty()) return {};
  // Files the sender now hears were kept are noted too, so that an
  // interruption does not make the same send bring them again.
  m_store.write_kept();
  Status sent = m_stream.write_all(
      {reinterpret_cast<const std::uint8_t*>(m_verdicts.data()),
       m_verdicts.size()});
  m_verdicts.clear();
  m_verdict_bytes = 0;
  return sent;
}

// The part's last verdict lets the receiver be ended: an emptied store
// goes before it.
Status FilePhase::send_verdict(std::uint64_t size, std::uint8_t verdict) {
  if (m_last) m_store.close();
  if (m_options.pace != Pace::streamed) {
    return m_stream.write_all({&verdict, 1});
  }
  m_verdicts.push_back(static_cast<char>(verdict));
  m_verdict_bytes += size;
  if (verdict == VERDICT_KEPT && !m_last && m_verdicts.size() < VERDICTS_HELD &&
      m_verdict_bytes < VERDICT_BYTES_HELD) {
    return {};
  }
  return flush_verdicts();
}

Status FilePhase::write_reply(std::uint8_t reply) {
  RETURN_IF_ERROR(flush_verdicts());
  return m_stream.write_all({&reply, 1});
}

// A read that may wait, with the verdicts held back written first unless
// bytes are already here.
Result<std::size_t> FilePhase::read_some(std::span<std::uint8_t> buffer,
                                         platform::Expect expect) {
  if (!m_verdicts.empty()) {
    Result<std::size_t> here = m_stream.read_available(buffer);
    if (here.ok() && *here > 0) return here;
    RETURN_IF_ERROR(flush_verdicts());
  }
  return m_stream.read_some(buffer, expect);
}

Status FilePhase::read_exact(std::span<std::uint8_t> buffer,
                             platform::Expect expect) {
  if (!buffer.empty()) RETURN_IF_ERROR(flush_verdicts());
  return m_stream.read_exact(buffer, expect);
}

Status FilePhase::receive_all(const std::vector<FileInfo>& files) {
  m_stream.set_spin(REPLY_SPIN);
  for (std::size_t i = 0; i < files.size(); ++i) {
    m_last = i + 1 == files.size();
    Result<bool> kept = receive(files[i], i, files.size());
    if (!kept.ok()) {
      // The files before it were kept: the sender hears so, if it still
      // listens; the failure that ended the phase is what is reported.
      (void)flush_verdicts();
      return std::move(kept).error();
    }
    // A streaming sender stops at the damaged file, but what it sent after
    // it is on its way: nothing more is read, and the next file ends the
    // phase as a sender's end of stream would.
    if (!*kept && m_options.pace == Pace::streamed && !m_last) {
      return Error{files[i + 1].name + ": unexpected end of file"};
    }
  }
  return {};
}

Result<bool> FilePhase::receive(const FileInfo& file, std::size_t index,
                                std::size_t count) {
  if (!m_folders) {
    // The folder went away: the file cannot be created where it would be.
    return Error{
        first_path(m_root_path, platform::name_limit(m_root_path), file) +
        ": " + m_root_error->message};
  }
  const platform::Directory& folder =
      m_folders->folder_for(file.folder.value_or(""));
  const bool beside = grows_beside(folder);
  // A file the answer named says first where it starts, and proves what
  // it goes on from.
  const StoreEntry* earlier = nullptr;
  if (m_options.held != nullptr) {
    const auto found = m_options.held->find(index);
    if (found != m_options.held->end()) earlier = &found->second;
  }
  Result<std::uint64_t> start = read_start(file, earlier);
  if (!start.ok()) return std::move(start).error();
  if (*start > 0) {
    Result<bool> same = read_proof(file, *earlier, *start);
    if (!same.ok()) return std::move(same).error();
    // A prefix in the store cannot be renamed into such a folder: the file
    // comes whole.
    if (beside && !earlier->kept) *same = false;
    if (*start == file.size) {
      return confirm_whole(file, folder, *earlier, *same);
    }
    // Otherwise it comes whole. A kept file is ours all the same.
    if (!*same && !earlier->kept) m_store.forget(earlier->id);
    if (!*same) *start = 0;
    RETURN_IF_ERROR(write_reply(*same ? PROOF_SAME : PROOF_DIFFERS));
  } else if (earlier != nullptr && !earlier->kept) {
    m_store.forget(earlier->id);  // the sender starts afresh
  }
  Result<Growing> growing = open_growing(file, folder, beside, *start,
                                         *start > 0 ? earlier : nullptr);
  if (!growing.ok()) return std::move(growing).error();
  RETURN_IF_ERROR(take_bytes(*growing, index, count));
  return keep_or_discard(*growing, m_ring->finish_file());
}

// True when no file can be renamed from the store into `folder`: another
// file system is mounted there, or the same one by another mount.
bool FilePhase::grows_beside(const platform::Directory& folder) const {
  if (!m_store_volume) return false;
  const Result<std::uint64_t> volume = folder.volume();
  return volume.ok() && *volume != *m_store_volume;
}

std::optional<ResumeKey> FilePhase::resume_key(const FileInfo& file) const {
  if (!m_options.resume_as || !file.modified || file.size == 0) {
    return std::nullopt;
  }
  return ResumeKey{*m_options.resume_as, file.folder.value_or(""), file.name,
                   file.size, *file.modified};
}

// The file grows in the store and gets its name once verified; a big
// one's record lets it go on later. Where it could not be renamed from the
// store, it grows beside its name, and cannot go on. `earlier` is the
// prefix it goes on from, if any.
Result<FilePhase::Growing> FilePhase::open_growing(
    const FileInfo& file, const platform::Directory& folder, bool beside,
    std::uint64_t start, const StoreEntry* earlier) {
  std::optional<ResumeKey> key = resume_key(file);
  const bool resumed = earlier != nullptr;
  const bool recorded =
      resumed || (!beside && key && file.size >= RESUMABLE_BYTES);
  std::string id;
  Result<platform::IncomingFile> opened =
      resumed  ? m_store.reopen(*earlier, start)
      : beside ? create_beside(folder)
               : m_store.create(recorded ? key : std::nullopt, id);
  if (resumed) id = earlier->id;
  if (!opened.ok()) {
    return Error{first_path(folder.path(), folder.name_limit(), file) + ": " +
                 opened.error().message};
  }
  // A new entry is worth keeping through an interruption once it holds a
  // byte.
  if (resumed) opened->keep_when_interrupted();
  return Growing{file,
                 folder,
                 std::move(opened).value(),
                 id,
                 recorded,
                 resumed,
                 start,
                 file.size - start,
                 std::move(key)};
}

// Room for `needed` bytes, at the cost of older prefixes, but for those
// this offer goes on with.
void FilePhase::make_room(std::uint64_t needed) {
  if (!m_store.holds_prefixes()) return;
  Result<std::uint64_t> free = platform::free_space(m_root_path);
  if (!free.ok()) return;
  std::vector<std::string> wanted;
  if (m_options.held != nullptr) {
    for (const auto& [index, entry] : *m_options.held) {
      wanted.push_back(entry.id);
    }
  }
  m_store.make_room(needed, *free, wanted);
}

// Notes the bytes received so far as this transfer's stretch, durable.
bool FilePhase::checkpoint(Growing& growing) {
  const std::uint64_t end = growing.file.size - growing.remaining;
  if (end <= growing.start) return true;
  return growing.out.sync().ok() &&
         m_store.checkpoint(growing.id, {growing.start, end, m_ring->so_far()})
             .ok();
}

// What a broken link brought stays for the sender to go on with, where it
// can; otherwise it goes, and so does all of it when this side failed. An
// entry that holds no noted byte is of no use to anyone.
Error FilePhase::fail(Growing& growing, std::string_view reason,
                      bool link_broke) {
  const bool noted_all = growing.recorded && link_broke && checkpoint(growing);
  const StoreEntry* noted =
      growing.recorded ? m_store.entry(growing.id) : nullptr;
  // Bytes that could not be made durable and noted are not kept: they
  // would later be hashed as they lie and trusted.
  const bool keeps =
      link_broke && noted != nullptr && noted->bytes_held() > 0 &&
      (noted_all || growing.out.truncate(noted->bytes_held()).ok());
  if (keeps) {
    // What was noted was made durable before the note: a failure to close
    // costs nothing of it.
    (void)growing.out.suspend();
  } else {
    growing.out.discard();
    if (growing.recorded) m_store.forget(growing.id);
  }
  return Error{growing.file.name + ": " + std::string(reason)};
}

// Fills `slot` with the file's next bytes, a slot's worth or what remains.
// A small remainder is asked for together with the digest behind it,
// saving a receive per file; nothing past the digest can be taken. Returns
// the file's bytes read; `digest_got` receives the digest's.
Result<std::size_t> FilePhase::fill_slot(Growing& growing,
                                         std::span<std::uint8_t> slot,
                                         std::size_t& digest_got) {
  const std::size_t data_wanted = static_cast<std::size_t>(
      std::min<std::uint64_t>(growing.remaining, slot.size()));
  const std::size_t want =
      slot.size() >= DIGEST_BYTES &&
              growing.remaining <= slot.size() - DIGEST_BYTES
          ? data_wanted + DIGEST_BYTES
          : data_wanted;
  std::size_t filled = 0;
  while (filled < data_wanted) {
    Result<std::size_t> got =
        read_some(slot.subspan(filled, want - filled), growing.expect);
    growing.expect = platform::Expect::all;
    // The bytes of this slot so far are neither hashed nor written.
    if (!got.ok()) return fail(growing, got.error().message, true);
    if (*got == 0) return fail(growing, "unexpected end of file", true);
    filled += *got;
  }
  const std::size_t data = std::min(filled, data_wanted);
  digest_got = filled - data;
  std::copy_n(slot.begin() + static_cast<std::ptrdiff_t>(data), digest_got,
              growing.theirs.begin());
  return data;
}

// A note waits for the ring to drain and the disk to catch up: at most
// every CHECKPOINT_EVERY. On a link faster than TAIL_BYTES in that time an
// interruption loses what was past the tail, not the prefix.
void FilePhase::checkpoint_when_due(Growing& growing, std::uint64_t added) {
  growing.since_checkpoint += added;
  if (!growing.recorded || growing.since_checkpoint < CHECKPOINT_BYTES ||
      growing.remaining == 0 ||
      std::chrono::steady_clock::now() - growing.last_checkpoint <
          CHECKPOINT_EVERY) {
    return;
  }
  // A note that fails is taken at the next one, or at the end.
  (void)checkpoint(growing);
  growing.since_checkpoint = 0;
  growing.last_checkpoint = std::chrono::steady_clock::now();
}

Status FilePhase::take_bytes(Growing& growing, std::size_t index,
                             std::size_t count) {
  const FileInfo& file = growing.file;
  m_ring->start_file();
  if (growing.resumed) m_events.holding(file, index, growing.start);
  std::size_t digest_got = 0;
  growing.last_checkpoint = std::chrono::steady_clock::now();
  while (growing.remaining > 0) {
    // A slot is filled before it is written and hashed, which keeps writes
    // and hand-overs few on a link that delivers little at a time.
    std::span<std::uint8_t> slot = m_ring->next_slot();
    const auto fill_started = std::chrono::steady_clock::now();
    Result<std::size_t> data = fill_slot(growing, slot, digest_got);
    if (!data.ok()) return std::move(data).error();
    auto chunk = slot.first(*data);
    if (growing.remaining == file.size - growing.start) {
      make_room(growing.remaining);
    }
    // Hashed on the ring's thread while it is written on this one, unless
    // the link is slower than hashing: then this thread has time to spare.
    m_ring->hash(chunk, std::chrono::steady_clock::now() - fill_started >=
                            HashingRing::SLOW_SLOT);
    if (Status written = growing.out.write_all(chunk); !written.ok()) {
      // A full disk keeps nothing back for later.
      return fail(growing, written.error().message, false);
    }
    const bool holds_now =
        growing.recorded && !growing.resumed && growing.remaining == file.size;
    if (holds_now) growing.out.keep_when_interrupted();
    growing.remaining -= *data;
    if (holds_now) m_events.holding(file, index, file.size - growing.remaining);
    m_events.progress(file, index, count, file.size - growing.remaining);
    checkpoint_when_due(growing, *data);
  }
  if (Status read = read_exact(std::span(growing.theirs).subspan(digest_got),
                               growing.expect);
      !read.ok()) {
    // Every byte came and then the stream ended before the digest: the
    // sender stopped this file on purpose (its source changed), so nothing
    // of it is worth keeping for later.
    const bool stopped =
        digest_got == 0 && read.error().kind == ErrorKind::unexpected_eof;
    return fail(growing, read.error().message, !stopped);
  }
  return {};
}

Result<bool> FilePhase::keep_or_discard(Growing& growing,
                                        const platform::Digest& ours) {
  const FileInfo& file = growing.file;
  if (ours != growing.theirs) {
    growing.out.discard();
    if (growing.recorded) m_store.forget(growing.id);
    RETURN_IF_ERROR(send_verdict(file.size, VERDICT_DISCARDED));
    m_events.discarded(file, Discarded::damaged);
    return false;
  }
  // No answer can name an empty file as here already (its offset would
  // say "from the start"): one found in its place, empty and of the same
  // time, is taken for it rather than numbered beside it.
  const std::string safe_name = safe_file_name(file.name);
  if (file.size == 0 && m_options.resume_as && file.modified &&
      as_offered(growing.folder.status(safe_name), 0, *file.modified)) {
    growing.out.discard();
    RETURN_IF_ERROR(send_verdict(0, VERDICT_KEPT));
    m_events.already_here(
        file, platform::join_path(growing.folder.path(), safe_name));
    return true;
  }
  // Kept only if it is still there to keep, and every byte reached it; it
  // never takes the place of anything.
  Result<std::string> path = place(growing, ours);
  if (!path.ok()) return std::move(path).error();
  RETURN_IF_ERROR(send_verdict(file.size, VERDICT_KEPT));
  m_events.kept(file, *path);
  return true;
}

// Places a verified file from the store under a free name in its folder;
// one that can resume is remembered as kept, so that the same send again
// is spared it. Fails with the file's text.
Result<std::string> FilePhase::place(Growing& growing,
                                     const platform::Digest& digest) {
  const FileInfo& file = growing.file;
  if (m_options.dates && file.modified) {
    // A file with the time of its arrival is whole all the same.
    (void)growing.out.set_modified(*file.modified);
  }
  // A big file that is to be noted as kept is made durable first: the note
  // will spare it the next send.
  const bool durable =
      growing.key && file.size >= RESUMABLE_BYTES && growing.out.sync().ok();
  std::string path, placed_as;
  Status placed =
      m_names.place(growing.folder, safe_file_name(file.name), path,
                    [&](const std::string& name) {
                      placed_as = name;
                      return growing.out.place(growing.folder, name);
                    });
  std::vector<Segment> segments;
  if (growing.recorded) {
    if (const StoreEntry* was = m_store.entry(growing.id)) {
      segments = was->segments;
    }
    m_store.forget(growing.id);
  }
  if (!placed.ok()) return Error{file.name + ": " + placed.error().message};
  if (!growing.key) return path;
  // Remembered for the same send again: what it holds, and what it was
  // when placed.
  std::erase_if(segments, [&](const Segment& segment) {
    return segment.start >= growing.start;
  });
  segments.push_back({growing.start, file.size, digest});
  if (!joined(segments) || segments.size() > MAX_SEGMENTS ||
      (file.size >= RESUMABLE_BYTES && !durable)) {
    return path;
  }
  if (Result<platform::FileStatus> now = growing.folder.status(placed_as);
      now.ok()) {
    m_store.keep(
        {"", *growing.key, {}, std::move(segments), Kept{placed_as, *now}});
  }
  return path;
}

}  // namespace burrowlink
