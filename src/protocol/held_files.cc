#include "protocol/held_files.h"

#include <array>
#include <string>

#include "protocol/receiver.h"
#include "protocol/wire.h"

namespace burrowlink {

HeldFiles find_held_files(const Offer& offer, Store& store) {
  HeldFiles held;
  // Prefixes wait in the store, when it is there; kept files are listed
  // elsewhere, so there is something to find without it too.
  if (!offer.from_id || !store.open(false).ok()) return held;
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
      held[i] = std::move(*entry);
    }
  }
  return held;
}

std::uint64_t held_bytes(const HeldFiles& held) {
  std::uint64_t total = 0;
  for (const auto& [index, entry] : held) total += entry.bytes_held();
  return total;
}

std::vector<ResumeAt> resume_list(const HeldFiles& held) {
  std::vector<ResumeAt> offered;
  for (const auto& [index, entry] : held) {
    ResumeAt at{index, {}};
    for (const Segment& segment : entry.segments) {
      at.ends.push_back(segment.end);
    }
    offered.push_back(std::move(at));
  }
  return offered;
}

// Where a file the answer named starts: 0 or the offset held, which the
// sender then proves. Any other file starts at 0 and says nothing.
Result<std::uint64_t> FilePhase::read_start(const FileInfo& file,
                                            const StoreEntry* earlier) {
  if (earlier == nullptr) return std::uint64_t{0};
  std::array<std::uint8_t, 8> word{};
  if (Status read = read_exact(word, platform::Expect::reply); !read.ok()) {
    return Error{file.name + ": " + read.error().message};
  }
  const std::uint64_t start = u64_of(word);
  if (start != 0 && start != earlier->bytes_held()) {
    return Error{file.name + ": the sender went on at byte " +
                 std::to_string(start) + ", which was not offered"};
  }
  return start;
}

// Reads the sender's proof of the first `start` bytes: words that say how
// far it has hashed, then `start`, then a digest per stretch held. True
// when every digest is that of the stretch here, which is still as it was.
Result<bool> FilePhase::read_proof(const FileInfo& file,
                                   const StoreEntry& earlier,
                                   std::uint64_t start) {
  auto failed = [&](std::string_view reason) {
    return Error{file.name + ": " + std::string(reason)};
  };
  for (std::uint64_t last = 0;;) {
    std::array<std::uint8_t, 8> word{};
    if (Status read = read_exact(word); !read.ok()) {
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
  for (const Segment& segment : earlier.segments) {
    platform::Digest theirs{};
    if (Status read = read_exact(theirs); !read.ok()) {
      return failed(read.error().message);
    }
    same = same && theirs == segment.digest;
  }
  return same && m_store.open(false).ok() && m_store.usable(earlier);
}

// A file the sender proved to be the one held whole here, or not: the
// answer to its proof is its verdict. One kept from before stays as it
// is; a prefix that is the whole file is placed. One that differs is
// noted no more, so that the next send sends it whole; like a damaged
// file, it ends a stream.
Result<bool> FilePhase::confirm_whole(const FileInfo& file,
                                      const platform::Directory& folder,
                                      const StoreEntry& earlier, bool same) {
  std::string path;
  if (!same) {
    m_store.forget(earlier.id);
  } else if (earlier.kept) {
    path = platform::join_path(folder.path(), earlier.kept->file);
  } else {
    Result<platform::IncomingFile> opened = m_store.reopen(earlier, file.size);
    if (!opened.ok()) return Error{file.name + ": " + opened.error().message};
    // The last stretch is all there is: nothing more comes.
    const Segment& last = earlier.segments.back();
    Growing growing{file,       folder, std::move(opened).value(),
                    earlier.id, true,   true,
                    last.start, 0,      resume_key(file)};
    Result<std::string> placed = place(growing, last.digest);
    if (!placed.ok()) return std::move(placed).error();
    path = *placed;
  }
  RETURN_IF_ERROR(
      send_verdict(file.size, same ? VERDICT_KEPT : VERDICT_DISCARDED));
  if (!same) {
    m_events.discarded(file, Discarded::not_the_same);
  } else if (earlier.kept) {
    m_events.already_here(file, path);
  } else {
    m_events.kept(file, path);
  }
  return same;
}

}  // namespace burrowlink
