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

// The folders below the receive folder where an offer's files would go,
// where they are there already; nothing is made. Each is opened once.
class ExistingFolders {
 public:
  explicit ExistingFolders(const platform::Directory& root) : m_root(root) {}

  // The folder of files with folder value `value`; nullptr where it is
  // not there.
  const platform::Directory* find(const std::optional<std::string>& value) {
    if (!value) return &m_root;
    auto [known, added] = m_found.try_emplace(*value, &m_root);
    if (added) known->second = open(folder_parts(*value));
    return known->second;
  }

 private:
  const platform::Directory* open(const std::vector<std::string>& parts) {
    const platform::Directory* folder = &m_root;
    for (const std::string& part : parts) {
      Result<platform::Directory> next = folder->open_folder(part);
      if (!next.ok()) return nullptr;
      m_opened.push_back(std::move(next).value());
      folder = &m_opened.back();
    }
    return folder;
  }

  const platform::Directory& m_root;
  std::deque<platform::Directory> m_opened;  // stays where it is as it grows
  // Per folder value: its folder, or nullptr where it is not there.
  std::map<std::string, const platform::Directory*> m_found;
};

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
  Status sent = stream.write_all(
      {reinterpret_cast<const std::uint8_t*>(phase.verdicts.data()),
       phase.verdicts.size()});
  phase.verdicts.clear();
  phase.verdict_bytes = 0;
  return sent;
}

Holdings find_holdings(const Offer& offer, const Store& store,
                       const platform::Directory& root) {
  Holdings holdings;
  if (!offer.from_id) return holdings;
  ExistingFolders folders(root);
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    const FileInfo& file = offer.files[i];
    if (!file.modified || file.size == 0) continue;
    const ResumeKey key{*offer.from_id, file.folder.value_or(""), file.name,
                        file.size, *file.modified};
    if (std::optional<StoreEntry> entry = store.find(key)) {
      const std::uint64_t bytes = store.held(*entry).value_or(0);
      if (bytes > 0) holdings[i] = Holding{bytes, std::move(entry), "", {}};
      continue;
    }
    // Verified here before, by a sender of ours: same place, size and time.
    const platform::Directory* folder = folders.find(file.folder);
    if (folder == nullptr) continue;
    const std::string name = safe_file_name(file.name);
    if (as_offered(folder->status(name), file.size, *file.modified)) {
      holdings[i] = Holding{file.size,
                            std::nullopt,
                            platform::join_path(folder->path(), name),
                            {}};
    }
  }
  return holdings;
}

std::uint64_t held_bytes(const Holdings& holdings) {
  std::uint64_t total = 0;
  for (const auto& [index, holding] : holdings) total += holding.bytes;
  return total;
}

std::vector<ResumeAt> hash_holdings(Holdings& holdings, const Store& store) {
  std::vector<ResumeAt> offered;
  for (auto it = holdings.begin(); it != holdings.end();) {
    Holding& holding = it->second;
    auto sha = std::make_unique<Sha256>();
    Status hashed;
    if (holding.entry) {
      hashed = store.hash_prefix(*holding.entry, holding.bytes, *sha);
    } else {
      // The whole file, as it lies where the offer would put it.
      Result<platform::File> file = platform::File::open_read(holding.path);
      hashed = file.ok() ? hash_prefix(*file, holding.bytes, *sha)
                         : std::move(file).error();
    }
    if (!hashed.ok()) {
      it = holdings.erase(it);
      continue;
    }
    Sha256 copy;
    copy.copy_from(*sha);
    offered.push_back({it->first, holding.bytes, copy.finish()});
    holding.hashed = std::move(sha);
    ++it;
  }
  return offered;
}

FilePhase::FilePhase(const std::string& path, std::size_t slot_bytes,
                     std::size_t slots, Extras extras_)
    : ring(slot_bytes, slots),
      folder_path(path),
      folders(open_tree(path)),
      extras(std::move(extras_)) {
  if (folders.ok()) store.emplace(folders->root());
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

  // A file the answer named says first where it starts.
  const Holding* holding = nullptr;
  std::uint64_t start = 0;
  if (phase.extras.holdings != nullptr) {
    const auto found = phase.extras.holdings->find(index);
    if (found != phase.extras.holdings->end()) {
      holding = &found->second;
      std::array<std::uint8_t, 8> header{};
      if (Status read =
              read_exact(stream, phase, header, platform::Expect::reply);
          !read.ok()) {
        return Error{file.name + ": " + read.error().message};
      }
      for (std::uint8_t byte : header) start = start << 8 | byte;
      if (start != 0 && start != holding->bytes) {
        return Error{file.name + ": the sender went on at byte " +
                     std::to_string(start) + ", which was not offered"};
      }
    }
  }
  const bool goes_on = holding != nullptr && start > 0;

  // Here already, whole: only its digest comes, to prove it the same.
  if (goes_on && !holding->entry) {
    Digest theirs{};
    if (Status read = read_exact(stream, phase, theirs); !read.ok()) {
      return Error{file.name + ": " + read.error().message};
    }
    Sha256 copy;
    copy.copy_from(*holding->hashed);
    const bool same = copy.finish() == theirs;
    if (Status sent = send_verdict(stream, phase, file.size,
                                   same ? VERDICT_KEPT : VERDICT_DISCARDED);
        !sent.ok()) {
      return std::move(sent).error();
    }
    if (!same) {
      console::print(Stream::out, console::peer(Stream::out, file.name) +
                                      " was damaged on the way and was "
                                      "discarded\n");
      return false;
    }
    console::print(Stream::out,
                   already_here_line(holding->path, sender, file.size));
    return true;
  }

  // The file grows in the store and gets its name once verified.
  std::optional<ResumeKey> key;
  if (phase.extras.resume_as && file.modified && file.size >= RESUMABLE_BYTES) {
    key = ResumeKey{*phase.extras.resume_as, file.folder.value_or(""),
                    file.name, file.size, *file.modified};
  }
  if (holding != nullptr && holding->entry && !goes_on) {
    phase.store->forget(holding->entry->id);  // the sender starts afresh
  }
  std::string id;
  Result<platform::IncomingFile> opened =
      goes_on ? phase.store->reopen(*holding->entry, start)
              : phase.store->create(key, id);
  if (goes_on) id = holding->entry->id;
  if (!opened.ok()) {
    return Error{first_path(folder.path(), folder.name_limit()) + ": " +
                 opened.error().message};
  }
  platform::IncomingFile& out = opened.value();
  const bool resumable = goes_on || key.has_value();
  if (resumable) out.keep_when_interrupted();

  // What was received stays for the sender to go on with, where it can;
  // otherwise it goes. The file phase ends with `reason`.
  auto fail = [&](std::string_view reason) {
    if (resumable) {
      (void)out.suspend();
    } else {
      out.discard();
    }
    return Error{file.name + ": " + std::string(reason)};
  };

  if (goes_on) {
    ring.start_file(*holding->hashed);
  } else {
    ring.start_file();
  }
  Digest theirs{};
  std::size_t digest_got = 0;
  std::uint64_t due = file.size - start;
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
      if (!got.ok()) return fail(got.error().message);
      if (*got == 0) return fail("unexpected end of file");
      filled += *got;
    }
    std::size_t data = std::min(filled, data_wanted);
    auto chunk = buffer.first(data);
    // Hashed on the ring's thread while it is written on this one, unless
    // the link is slower than hashing: then this thread has time to spare.
    ring.hash(chunk, std::chrono::steady_clock::now() - fill_started >=
                         HashingRing::SLOW_SLOT);
    if (Status written = out.write_all(chunk); !written.ok()) {
      return fail(written.error().message);
    }
    due -= data;
    if (bar != nullptr) bar->update(file.size - due);
    digest_got = filled - data;
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(data), digest_got,
                theirs.begin());
  }

  if (Status read = read_exact(stream, phase,
                               std::span(theirs).subspan(digest_got), expect);
      !read.ok()) {
    return fail(read.error().message);
  }
  Digest ours = ring.finish_file();
  if (bar != nullptr) bar->erase();

  if (ours != theirs) {
    out.discard();
    if (resumable) phase.store->forget(id);
    if (Status sent = send_verdict(stream, phase, file.size, VERDICT_DISCARDED);
        !sent.ok()) {
      return std::move(sent).error();
    }
    console::print(Stream::out, console::peer(Stream::out, file.name) +
                                    " was damaged on the way and was "
                                    "discarded\n");
    return false;
  }
  if (phase.extras.dates && file.modified) {
    (void)out.set_modified(*file.modified);
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
  std::string path;
  Status placed = phase.names.place(
      folder, safe_name, path,
      [&](const std::string& name) { return out.place(folder, name); });
  if (resumable) phase.store->forget(id);
  if (!placed.ok()) return Error{file.name + ": " + placed.error().message};
  if (Status sent = send_verdict(stream, phase, file.size, VERDICT_KEPT);
      !sent.ok()) {
    return std::move(sent).error();
  }
  console::print(Stream::out, "Received " + path + " from " +
                                  console::peer(Stream::out, sender) + " (" +
                                  format_size(file.size) + ", verified)\n");
  return true;
}

}  // namespace burrowlink
