#include "protocol/receiver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <utility>

#include "console/console.h"
#include "console/format.h"
#include "protocol/wire.h"

namespace burrowlink {

namespace {

using console::Stream;

Result<FolderTree> open_tree(const std::string& path) {
  Result<platform::Directory> root = open_receive_folder(path);
  if (!root.ok()) return std::move(root).error();
  return FolderTree(std::move(root).value());
}

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

std::string already_here_line(const std::string& path, std::string_view sender,
                              std::uint64_t size) {
  return "Already here: " + path + " from " +
         console::peer(Stream::out, sender) + " (" + format_size(size) +
         ", verified)\n";
}

// A stream's verdicts wait while the next file is already here and go out
// together before any read that could wait, so that small files cost no
// send each. They never wait for long: the sender stops at its window.
constexpr std::size_t VERDICTS_HELD = 64;
constexpr std::uint64_t VERDICT_BYTES_HELD = 1 << 20;

// The part's last verdict lets the receiver be ended: an emptied store
// goes before it.
Status send_verdict(platform::TcpStream& stream, FilePhase& phase,
                    std::uint64_t size, std::uint8_t verdict) {
  if (phase.last && phase.store) phase.store->remove_if_empty();
  if (phase.extras.pace != Pace::streamed) {
    return stream.write_all({&verdict, 1});
  }
  phase.verdicts.push_back(static_cast<char>(verdict));
  phase.verdict_bytes += size;
  if (verdict == VERDICT_KEPT && !phase.last &&
      phase.verdicts.size() < VERDICTS_HELD &&
      phase.verdict_bytes < VERDICT_BYTES_HELD) {
    return {};
  }
  return flush_verdicts(stream, phase);
}

// A read that may wait, with the verdicts held back written first unless
// bytes are already here.
Result<std::size_t> read_some(platform::TcpStream& stream, FilePhase& phase,
                              std::span<std::uint8_t> buffer,
                              platform::Expect expect) {
  if (!phase.verdicts.empty()) {
    Result<std::size_t> here = stream.read_available(buffer);
    if (here.ok() && *here > 0) return here;
    if (Status sent = flush_verdicts(stream, phase); !sent.ok()) {
      return std::move(sent).error();
    }
  }
  return stream.read_some(buffer, expect);
}

Status read_exact(platform::TcpStream& stream, FilePhase& phase,
                  std::span<std::uint8_t> buffer,
                  platform::Expect expect = platform::Expect::data) {
  if (!buffer.empty()) {
    if (Status sent = flush_verdicts(stream, phase); !sent.ok()) return sent;
  }
  return stream.read_exact(buffer, expect);
}

}  // namespace

Status flush_verdicts(platform::TcpStream& stream, FilePhase& phase) {
  if (phase.verdicts.empty()) return {};
  // Files the sender now hears were kept are noted too, so that an
  // interruption does not make the same send bring them again.
  if (phase.store) phase.store->write_kept();
  Status sent = stream.write_all(
      {reinterpret_cast<const std::uint8_t*>(phase.verdicts.data()),
       phase.verdicts.size()});
  phase.verdicts.clear();
  phase.verdict_bytes = 0;
  return sent;
}

Holdings find_holdings(const Offer& offer, Store& store) {
  Holdings holdings;
  // Prefixes wait in the store, when it is there; kept files are listed
  // elsewhere, so there is something to find without it too.
  if (!offer.from_id || !store.open(false).ok()) return holdings;
  std::vector<std::string> taken;
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    const FileInfo& file = offer.files[i];
    if (!file.modified || file.size == 0) continue;
    const ResumeKey key{*offer.from_id, file.folder.value_or(""), file.name,
                        file.size, *file.modified};
    // Each entry serves one file: a second copy of the same source goes
    // whole rather than on from what the first one consumed.
    if (std::optional<StoreEntry> entry = store.find(key, taken)) {
      taken.push_back(entry->id);
      holdings[i] = std::move(*entry);
    }
  }
  return holdings;
}

std::uint64_t held_bytes(const Holdings& holdings) {
  std::uint64_t total = 0;
  for (const auto& [index, entry] : holdings) total += entry.held();
  return total;
}

std::vector<ResumeAt> resume_list(const Holdings& holdings) {
  std::vector<ResumeAt> offered;
  for (const auto& [index, entry] : holdings) {
    ResumeAt at{index, {}};
    for (const Segment& segment : entry.segments) {
      at.ends.push_back(segment.end);
    }
    offered.push_back(std::move(at));
  }
  return offered;
}

FilePhase::FilePhase(const std::string& path, std::size_t slot_bytes,
                     std::size_t slots, Extras extras_)
    : ring(slot_bytes, slots),
      folder_path(path),
      folders(open_tree(path)),
      extras(std::move(extras_)) {
  if (!folders.ok()) return;
  store.emplace(folders->root());
  // The store is in the receive folder, on its file system.
  if (Result<std::uint64_t> volume = folders->root().volume(); volume.ok()) {
    store_volume = *volume;
  }
}

FilePhase::~FilePhase() {
  // Also when a failure came after the store was let go of.
  if (store && (store->is_open() || store->open(false).ok())) {
    store->remove_if_empty();
  }
}

Status receive_files(platform::TcpStream& stream,
                     const std::vector<FileInfo>& files,
                     const std::string& folder, std::string_view sender,
                     const Extras& extras) {
  FilePhase phase(folder, TRANSFER_BUFFER_BYTES, TRANSFER_RING_SLOTS, extras);
  stream.set_spin(REPLY_SPIN);
  for (std::size_t i = 0; i < files.size(); ++i) {
    console::ProgressLine bar(files[i].name, files[i].size, i + 1,
                              files.size());
    phase.bar = &bar;
    phase.last = i + 1 == files.size();
    Result<bool> kept = receive_file(stream, files[i], i, sender, phase);
    phase.bar = nullptr;
    if (!kept.ok()) {
      // The files before it were kept: the sender hears so.
      (void)flush_verdicts(stream, phase);
      return std::move(kept).error();
    }
    // A streaming sender stops at the damaged file, but what it sent after
    // it is on its way: nothing more is read, and the next file ends the
    // phase as a sender's end of stream would.
    if (!*kept && extras.pace == Pace::streamed && i + 1 < files.size()) {
      return Error{files[i + 1].name + ": unexpected end of file"};
    }
  }
  return {};
}

namespace {

// Where file `index` starts, for a file the answer named: 0 or the offset
// held, which the sender then proves. Null `holding` for any other file.
Result<std::uint64_t> read_start(platform::TcpStream& stream, FilePhase& phase,
                                 const FileInfo& file, std::size_t index,
                                 const StoreEntry*& holding) {
  holding = nullptr;
  if (phase.extras.holdings == nullptr) return std::uint64_t{0};
  const auto found = phase.extras.holdings->find(index);
  if (found == phase.extras.holdings->end()) return std::uint64_t{0};
  holding = &found->second;
  std::array<std::uint8_t, 8> word{};
  if (Status read = read_exact(stream, phase, word, platform::Expect::reply);
      !read.ok()) {
    return Error{file.name + ": " + read.error().message};
  }
  const std::uint64_t start = u64_of(word);
  if (start != 0 && start != holding->held()) {
    return Error{file.name + ": the sender went on at byte " +
                 std::to_string(start) + ", which was not offered"};
  }
  return start;
}

// Reads the sender's proof of the first `start` bytes: words that say how
// far it has hashed, then `start`, then a digest per stretch held. True
// when every digest is that of the stretch here, which is still as it was.
Result<bool> read_proof(platform::TcpStream& stream, FilePhase& phase,
                        const FileInfo& file, const StoreEntry& holding,
                        std::uint64_t start) {
  auto failed = [&](std::string_view reason) {
    return Error{file.name + ": " + std::string(reason)};
  };
  for (std::uint64_t last = 0;;) {
    std::array<std::uint8_t, 8> word{};
    if (Status read = read_exact(stream, phase, word); !read.ok()) {
      return failed(read.error().message);
    }
    const std::uint64_t hashed = u64_of(word);
    if (hashed <= last || hashed > start) {
      return failed("the sender's proof of its first bytes is out of order");
    }
    if (hashed == start) break;
    last = hashed;
  }
  bool same = true;
  for (const Segment& segment : holding.segments) {
    Digest theirs{};
    if (Status read = read_exact(stream, phase, theirs); !read.ok()) {
      return failed(read.error().message);
    }
    same = same && theirs == segment.digest;
  }
  return same && phase.store->open(false).ok() && phase.store->usable(holding);
}

Status write_reply(platform::TcpStream& stream, FilePhase& phase,
                   std::uint8_t reply) {
  if (Status sent = flush_verdicts(stream, phase); !sent.ok()) return sent;
  return stream.write_all({&reply, 1});
}

std::string received_line(const std::string& path, std::string_view sender,
                          std::uint64_t size) {
  return "Received " + path + " from " + console::peer(Stream::out, sender) +
         " (" + format_size(size) + ", verified)\n";
}

// Bytes of a resumable file are made durable and noted at most this often,
// so that an interruption, which leaves no time to note them, loses little.
constexpr std::uint64_t CHECKPOINT_BYTES = 64 << 20;
constexpr std::chrono::seconds CHECKPOINT_EVERY{2};

// What the file in progress is in the store.
struct InStore {
  std::string id;
  // A record keeps what arrives for the sender to go on with later.
  bool recorded = false;
  std::uint64_t start = 0;  // where this transfer's stretch begins
  // A sender of ours that resumes: the file is remembered once kept.
  std::optional<ResumeKey> key;
};

std::optional<ResumeKey> resume_key(const FilePhase& phase,
                                    const FileInfo& file) {
  if (!phase.extras.resume_as || !file.modified || file.size == 0) {
    return std::nullopt;
  }
  return ResumeKey{*phase.extras.resume_as, file.folder.value_or(""), file.name,
                   file.size, *file.modified};
}

// True when no file can be renamed from the store into `folder`: another
// file system is mounted there, or the same one by another mount.
bool grows_beside(const FilePhase& phase, const platform::Directory& folder) {
  if (!phase.store_volume) return false;
  const Result<std::uint64_t> volume = folder.volume();
  return volume.ok() && *volume != *phase.store_volume;
}

// Places a verified file from the store under a free name in `folder`;
// one that can resume is remembered as kept, so that the same send again
// is spared it. Fails with the file's text.
Result<std::string> place_file(FilePhase& phase, platform::IncomingFile& out,
                               const FileInfo& file,
                               const platform::Directory& folder,
                               const InStore& entry, const Digest& digest) {
  const std::string safe_name = safe_file_name(file.name);
  if (phase.extras.dates && file.modified) {
    (void)out.set_modified(*file.modified);
  }
  // A big file that is to be noted as kept is made durable first: the note
  // will spare it the next send.
  const bool durable =
      entry.key && file.size >= RESUMABLE_BYTES && out.sync().ok();
  std::string path, placed_as;
  Status placed =
      phase.names.place(folder, safe_name, path, [&](const std::string& name) {
        placed_as = name;
        return out.place(folder, name);
      });
  std::vector<Segment> segments;
  if (entry.recorded) {
    if (const StoreEntry* was = phase.store->entry(entry.id)) {
      segments = was->segments;
    }
    phase.store->forget(entry.id);
  }
  if (!placed.ok()) return Error{file.name + ": " + placed.error().message};
  if (entry.key) {
    // Remembered for the same send again: what it holds, and what it was
    // when placed.
    std::erase_if(segments, [&](const Segment& segment) {
      return segment.start >= entry.start;
    });
    segments.push_back({entry.start, file.size, digest});
    bool joined = segments.front().start == 0;
    for (std::size_t i = 1; i < segments.size(); ++i) {
      joined = joined && segments[i].start == segments[i - 1].end;
    }
    if (!joined || segments.size() > MAX_SEGMENTS ||
        (file.size >= RESUMABLE_BYTES && !durable)) {
      return path;
    }
    if (Result<platform::FileStatus> now = folder.status(placed_as); now.ok()) {
      phase.store->keep(
          {"", *entry.key, {}, std::move(segments), Kept{placed_as, *now}});
    }
  }
  return path;
}

// A file the sender proved to be the one held whole here, or not: the
// answer to its proof is its verdict. One kept from before stays as it
// is; a prefix that is the whole file is placed. One that differs is
// noted no more, so that the next send sends it whole; like a damaged
// file, it ends a stream.
Result<bool> confirm_whole(platform::TcpStream& stream, FilePhase& phase,
                           const FileInfo& file,
                           const platform::Directory& folder,
                           const StoreEntry& holding, bool same,
                           std::string_view sender) {
  std::string path;
  if (!same) {
    phase.store->forget(holding.id);
  } else if (holding.kept) {
    path = platform::join_path(folder.path(), holding.kept->file);
  } else {
    Result<platform::IncomingFile> opened =
        phase.store->reopen(holding, file.size);
    if (!opened.ok()) return Error{file.name + ": " + opened.error().message};
    // The last stretch is all there is: nothing more comes.
    const Segment& last = holding.segments.back();
    Result<std::string> placed = place_file(
        phase, *opened, file, folder,
        {holding.id, true, last.start, resume_key(phase, file)}, last.digest);
    if (!placed.ok()) return std::move(placed).error();
    path = *placed;
  }
  if (Status sent = send_verdict(stream, phase, file.size,
                                 same ? VERDICT_KEPT : VERDICT_DISCARDED);
      !sent.ok()) {
    return std::move(sent).error();
  }
  if (!same) {
    console::print(Stream::out, console::peer(Stream::out, file.name) +
                                    " is not the file received before; the "
                                    "next send sends it whole\n");
    return false;
  }
  console::print(Stream::out, holding.kept
                                  ? already_here_line(path, sender, file.size)
                                  : received_line(path, sender, file.size));
  return true;
}

}  // namespace

Result<bool> receive_file(platform::TcpStream& stream, const FileInfo& file,
                          std::size_t index, std::string_view sender,
                          FilePhase& phase) {
  HashingRing& ring = phase.ring;
  console::ProgressLine* bar = phase.bar;
  const std::string safe_name = safe_file_name(file.name);
  // Where the file would be, for a failure before it has a name.
  auto first_path = [&](const std::string& folder, std::size_t limit) {
    return platform::join_path(folder, candidate_name(safe_name, 0, limit));
  };
  if (!phase.folders.ok()) {
    // The folder went away: the file cannot be created where it would be.
    return Error{
        first_path(phase.folder_path, platform::name_limit(phase.folder_path)) +
        ": " + phase.folders.error().message};
  }
  const platform::Directory& folder =
      phase.folders->folder_for(file.folder.value_or(""));
  const bool beside = grows_beside(phase, folder);

  // A file the answer named says first where it starts, and proves what
  // it goes on from.
  const StoreEntry* holding = nullptr;
  Result<std::uint64_t> started =
      read_start(stream, phase, file, index, holding);
  if (!started.ok()) return std::move(started).error();
  std::uint64_t start = *started;
  if (start > 0) {
    Result<bool> same = read_proof(stream, phase, file, *holding, start);
    if (!same.ok()) return std::move(same).error();
    // A prefix in the store cannot be renamed into such a folder: the file
    // comes whole.
    if (beside && !holding->kept) *same = false;
    if (start == file.size) {
      return confirm_whole(stream, phase, file, folder, *holding, *same,
                           sender);
    }
    if (!*same) {
      // It comes whole. A kept file is ours all the same.
      if (!holding->kept) phase.store->forget(holding->id);
      start = 0;
    }
    if (Status sent =
            write_reply(stream, phase, *same ? PROOF_SAME : PROOF_DIFFERS);
        !sent.ok()) {
      return std::move(sent).error();
    }
  } else if (holding != nullptr && !holding->kept) {
    phase.store->forget(holding->id);  // the sender starts afresh
  }
  const bool goes_on = start > 0;

  // The file grows in the store and gets its name once verified; a big
  // one's record lets it go on later. Where it could not be renamed from
  // the store, it grows beside its name, and cannot go on.
  InStore entry{"", false, start, resume_key(phase, file)};
  entry.recorded =
      goes_on || (!beside && entry.key && file.size >= RESUMABLE_BYTES);
  Result<platform::IncomingFile> opened =
      goes_on  ? phase.store->reopen(*holding, start)
      : beside ? create_beside(folder)
               : phase.store->create(entry.recorded ? entry.key : std::nullopt,
                                     entry.id);
  if (goes_on) entry.id = holding->id;
  if (!opened.ok()) {
    return Error{first_path(folder.path(), folder.name_limit()) + ": " +
                 opened.error().message};
  }
  platform::IncomingFile& out = opened.value();
  // A new entry is worth keeping through an interruption once it holds a
  // byte.
  if (goes_on) out.keep_when_interrupted();

  std::uint64_t due = file.size - start;
  // Notes the bytes received so far as this transfer's stretch, durable.
  auto checkpoint = [&] {
    const std::uint64_t end = file.size - due;
    if (end <= entry.start) return true;
    return out.sync().ok() &&
           phase.store->checkpoint(entry.id, {entry.start, end, ring.so_far()})
               .ok();
  };
  // What a broken link brought stays for the sender to go on with, where it
  // can; otherwise it goes, and so does all of it when this side failed.
  // An entry that holds no noted byte is of no use to anyone.
  auto fail = [&](std::string_view reason, bool link_broke) {
    const bool noted_all = entry.recorded && link_broke && checkpoint();
    const StoreEntry* noted =
        entry.recorded ? phase.store->entry(entry.id) : nullptr;
    if (link_broke && noted != nullptr && noted->held() > 0) {
      // Bytes that could not be made durable and noted are not kept: they
      // would later be hashed as they lie and trusted.
      if (!noted_all) (void)out.truncate(noted->held());
      (void)out.suspend();
    } else {
      out.discard();
      if (entry.recorded) phase.store->forget(entry.id);
    }
    return Error{file.name + ": " + std::string(reason)};
  };
  // Room for this file's bytes once they come, at the cost of older
  // prefixes, but for those this offer goes on with.
  auto make_room = [&] {
    if (!phase.store->holds_prefixes()) return;
    Result<std::uint64_t> free = platform::free_space(phase.folder_path);
    if (!free.ok()) return;
    std::vector<std::string> wanted;
    if (phase.extras.holdings != nullptr) {
      for (const auto& [at, held] : *phase.extras.holdings) {
        wanted.push_back(held.id);
      }
    }
    phase.store->make_room(due, *free, wanted);
  };

  ring.start_file();
  Digest theirs{};
  std::size_t digest_got = 0;
  auto last_checkpoint = std::chrono::steady_clock::now();
  std::uint64_t since_checkpoint = 0;
  // The file's first bytes answer our last verdict (or the answer), so only
  // they are worth a poll; the rest of the data never is.
  platform::Expect expect = platform::Expect::reply;
  while (due > 0) {
    std::span<std::uint8_t> buffer = ring.next_slot();
    // A slot is filled before it is written and hashed, which keeps writes
    // and hand-overs few on a link that delivers little at a time. A small
    // remainder is asked for together with the digest behind it, saving a
    // receive per file; nothing past the digest can be taken.
    std::size_t data_wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(due, buffer.size()));
    std::size_t want =
        buffer.size() >= DIGEST_BYTES && due <= buffer.size() - DIGEST_BYTES
            ? data_wanted + DIGEST_BYTES
            : data_wanted;
    std::size_t filled = 0;
    const auto fill_started = std::chrono::steady_clock::now();
    while (filled < data_wanted) {
      Result<std::size_t> got = read_some(
          stream, phase, buffer.subspan(filled, want - filled), expect);
      expect = platform::Expect::all;
      if (!got.ok()) {
        // The bytes of this slot so far are neither hashed nor written.
        return fail(got.error().message, true);
      }
      if (*got == 0) return fail("unexpected end of file", true);
      filled += *got;
    }
    std::size_t data = std::min(filled, data_wanted);
    auto chunk = buffer.first(data);
    if (due == file.size - start) make_room();
    // Hashed on the ring's thread while it is written on this one, unless
    // the link is slower than hashing: then this thread has time to spare.
    ring.hash(chunk, std::chrono::steady_clock::now() - fill_started >=
                         HashingRing::SLOW_SLOT);
    if (Status written = out.write_all(chunk); !written.ok()) {
      // A full disk keeps nothing back for later.
      return fail(written.error().message, false);
    }
    if (entry.recorded && !goes_on && due == file.size) {
      out.keep_when_interrupted();
    }
    due -= data;
    if (bar != nullptr) bar->update(file.size - due);
    digest_got = filled - data;
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(data), digest_got,
                theirs.begin());
    since_checkpoint += data;
    // A note waits for the ring to drain and the disk to catch up: at most
    // every CHECKPOINT_EVERY. On a link faster than TAIL_BYTES in that time
    // an interruption loses what was past the tail, not the prefix.
    if (entry.recorded && since_checkpoint >= CHECKPOINT_BYTES && due > 0 &&
        std::chrono::steady_clock::now() - last_checkpoint >=
            CHECKPOINT_EVERY) {
      checkpoint();
      since_checkpoint = 0;
      last_checkpoint = std::chrono::steady_clock::now();
    }
  }

  if (Status read = read_exact(stream, phase,
                               std::span(theirs).subspan(digest_got), expect);
      !read.ok()) {
    // Every byte came and then the stream ended before the digest: the
    // sender stopped this file on purpose (its source changed), so nothing
    // of it is worth keeping for later.
    const bool stopped =
        digest_got == 0 && read.error().kind == ErrorKind::unexpected_eof;
    return fail(read.error().message, !stopped);
  }
  Digest ours = ring.finish_file();
  if (bar != nullptr) bar->erase();

  if (ours != theirs) {
    out.discard();
    if (entry.recorded) phase.store->forget(entry.id);
    if (Status sent = send_verdict(stream, phase, file.size, VERDICT_DISCARDED);
        !sent.ok()) {
      return std::move(sent).error();
    }
    console::print(Stream::out, console::peer(Stream::out, file.name) +
                                    " was damaged on the way and was "
                                    "discarded\n");
    return false;
  }
  // No answer can name an empty file as here already (its offset would
  // say "from the start"): one found in its place, empty and of the same
  // time, is taken for it rather than numbered beside it.
  if (file.size == 0 && phase.extras.resume_as && file.modified &&
      as_offered(folder.status(safe_name), 0, *file.modified)) {
    out.discard();
    if (Status sent = send_verdict(stream, phase, 0, VERDICT_KEPT);
        !sent.ok()) {
      return std::move(sent).error();
    }
    console::print(Stream::out, already_here_line(platform::join_path(
                                                      folder.path(), safe_name),
                                                  sender, 0));
    return true;
  }
  // Kept only if it is still there to keep, and every byte reached it; it
  // never takes the place of anything.
  Result<std::string> path = place_file(phase, out, file, folder, entry, ours);
  if (!path.ok()) return std::move(path).error();
  if (Status sent = send_verdict(stream, phase, file.size, VERDICT_KEPT);
      !sent.ok()) {
    return std::move(sent).error();
  }
  console::print(Stream::out, received_line(*path, sender, file.size));
  return true;
}

}  // namespace burrowlink
