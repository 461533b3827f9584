#include "protocol/receiver.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "console/console.h"
#include "console/format.h"
#include "protocol/wire.h"

namespace burrowlink {

namespace {

using console::Stream;

Result<FolderTree> open_tree(const std::string& path) {
  Result<platform::Directory> root = platform::Directory::open(path);
  if (!root.ok()) return std::move(root).error();
  return FolderTree(std::move(root).value());
}

}  // namespace

FilePhase::FilePhase(const std::string& path, std::size_t slot_bytes,
                     std::size_t slots)
    : ring(slot_bytes, slots), folder_path(path), folders(open_tree(path)) {}

Status receive_files(platform::TcpStream& stream,
                     const std::vector<FileInfo>& files,
                     const std::string& folder, std::string_view sender,
                     Pace pace) {
  FilePhase phase(folder, TRANSFER_BUFFER_BYTES, TRANSFER_RING_SLOTS);
  stream.set_spin(REPLY_SPIN);
  for (std::size_t i = 0; i < files.size(); ++i) {
    console::ProgressLine bar(files[i].name, files[i].size, i + 1,
                              files.size());
    phase.bar = &bar;
    Result<bool> kept = receive_file(stream, files[i], sender, phase);
    phase.bar = nullptr;
    if (!kept.ok()) return std::move(kept).error();
    // A streaming sender stops at the damaged file, but what it sent after
    // it is on its way: nothing more is read, and the next file ends the
    // phase as a sender's end of stream would.
    if (!*kept && pace == Pace::streamed && i + 1 < files.size()) {
      return Error{files[i + 1].name + ": unexpected end of file"};
    }
  }
  return {};
}

Result<bool> receive_file(platform::TcpStream& stream, const FileInfo& file,
                          std::string_view sender, FilePhase& phase) {
  HashingRing& ring = phase.ring;
  console::ProgressLine* bar = phase.bar;
  const std::string safe_name = safe_file_name(file.name);
  if (!phase.folders.ok()) {
    // The folder went away: the file cannot be created where it would be.
    return Error{platform::join_path(
                     phase.folder_path,
                     candidate_name(safe_name, 0,
                                    platform::name_limit(phase.folder_path))) +
                 ": " + phase.folders.error().message};
  }
  const platform::Directory& folder =
      phase.folders->folder_for(file.folder.value_or(""));
  std::string path;
  Result<platform::IncomingFile> created = phase.names.place(
      folder, safe_name, path,
      [&](const std::string& name) { return folder.create_file(name); });
  if (!created.ok()) return Error{path + ": " + created.error().message};
  platform::IncomingFile& out = created.value();
  auto remove_ours = [&] {
    if (out.discard()) phase.names.freed(folder, safe_name);
  };

  // Deletes what was received, unless something else has taken its place,
  // and ends the file phase with `reason`.
  auto discard = [&](std::string_view reason) {
    remove_ours();
    return Error{file.name + ": " + std::string(reason)};
  };

  ring.start_file();
  Digest theirs{};
  std::size_t digest_got = 0;
  std::uint64_t due = file.size;
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
      Result<std::size_t> got =
          stream.read_some(buffer.subspan(filled, want - filled), expect);
      expect = platform::Expect::all;
      if (!got.ok()) return discard(got.error().message);
      if (*got == 0) return discard("unexpected end of file");
      filled += *got;
    }
    std::size_t data = std::min(filled, data_wanted);
    auto chunk = buffer.first(data);
    // Hashed on the ring's thread while it is written on this one, unless
    // the link is slower than hashing: then this thread has time to spare.
    ring.hash(chunk, std::chrono::steady_clock::now() - fill_started >=
                         HashingRing::SLOW_SLOT);
    if (Status written = out.write_all(chunk); !written.ok()) {
      return discard(written.error().message);
    }
    due -= data;
    if (bar != nullptr) bar->update(file.size - due);
    digest_got = filled - data;
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(data), digest_got,
                theirs.begin());
  }

  if (Status read =
          stream.read_exact(std::span(theirs).subspan(digest_got), expect);
      !read.ok()) {
    return discard(read.error().message);
  }
  Digest ours = ring.finish_file();
  if (bar != nullptr) bar->erase();

  if (ours == theirs) {
    // Kept only if it is still there to keep, and every byte reached it.
    if (Status kept = out.keep(); !kept.ok()) {
      return Error{file.name + ": " + kept.error().message};
    }
    std::uint8_t verdict = VERDICT_KEPT;
    if (Status sent = stream.write_all({&verdict, 1}); !sent.ok()) {
      return std::move(sent).error();
    }
    console::print(Stream::out, "Received " + path + " from " +
                                    console::peer(Stream::out, sender) + " (" +
                                    format_size(file.size) + ", verified)\n");
  } else {
    remove_ours();
    std::uint8_t verdict = VERDICT_DISCARDED;
    if (Status sent = stream.write_all({&verdict, 1}); !sent.ok()) {
      return std::move(sent).error();
    }
    console::print(Stream::out, console::peer(Stream::out, file.name) +
                                    " was damaged on the way and was "
                                    "discarded\n");
    return false;
  }
  return true;
}

}  // namespace burrowlink
