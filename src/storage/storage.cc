#include "storage/storage.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "protocol/wire.h"
#include "text/unicode.h"

namespace burrowlink {

namespace {

using console::Stream;

struct NameParts {
  std::string_view stem;
  std::string_view extension;  // with its dot, or empty
};

NameParts split_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {name, {}};
  return {name.substr(0, dot), name.substr(dot)};
}

// The longest start of `text`, cut between characters, that takes at most
// `budget` of the system's name units.
std::string_view leading_units(std::string_view text, std::size_t budget) {
  std::size_t used = 0, end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    while (next < text.size() &&
           (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) {
      ++next;
    }
    used += platform::name_units(text.substr(end, next - end));
    if (used > budget) break;
    end = next;
  }
  return text.substr(0, end);
}

}  // namespace

// The extension is kept when cut, unless it is itself most of the limit.
std::string candidate_name(std::string_view safe_name, std::uint64_t n,
                           std::size_t limit) {
  NameParts parts = split_extension(safe_name);
  std::string suffix = n == 0 ? "" : " (" + std::to_string(n) + ")";
  std::string name =
      std::string(parts.stem) + suffix + std::string(parts.extension);
  if (platform::name_units(name) <= limit) return name;
  if (platform::name_units(parts.extension) > limit / 2) {
    parts = {safe_name, {}};
  }
  std::size_t tail =
      platform::name_units(suffix) + platform::name_units(parts.extension);
  std::string_view stem =
      leading_units(parts.stem, limit > tail ? limit - tail : 0);
  if (suffix.empty() && parts.extension.empty()) {
    // The cut end is the name's end: it must not end as cleaning forbids.
    return safe_file_name(stem);
  }
  return std::string(stem) + suffix + std::string(parts.extension);
}

namespace {

std::string candidate_path(std::string_view folder, std::string_view safe_name,
                           std::uint64_t n, std::size_t limit) {
  return platform::join_path(folder, candidate_name(safe_name, n, limit));
}

// Creates the first free candidate. Exclusive creation is the existence
// test, so whatever appears at a path meanwhile, a link included, is never
// truncated or written through: the next number is tried instead.
// Numbers below `first` are known to be taken; on return it is the number
// after the one used.
Result<platform::IncomingFile> create_free_file(
    const platform::Directory& folder, std::string_view safe_name,
    std::uint64_t& first, std::string& path) {
  for (std::uint64_t n = first;; ++n) {
    std::string name = candidate_name(safe_name, n, folder.name_limit());
    path = platform::join_path(folder.path(), name);
    Result<platform::IncomingFile> created = folder.create_file(name);
    if (created.ok() || created.error().kind != ErrorKind::already_exists) {
      if (created.ok()) first = n + 1;
      return created;
    }
  }
}

bool made_or_present(const Status& status, const std::string& path) {
  return status.ok() || (status.error().kind == ErrorKind::already_exists &&
                         platform::is_directory(path));
}

}  // namespace

Status prepare_folder(const std::string& folder) {
  if (folder.empty()) return {};
  Status status = platform::make_directory(folder);
  if (made_or_present(status, folder)) return {};
  // Go up until a level exists or can be made, remembering the ones below.
  std::vector<std::string> missing{folder};
  for (;;) {
    if (status.error().kind != ErrorKind::not_found) return status;
    std::string parent = platform::parent_path(missing.back());
    if (parent.empty() || parent == missing.back()) return status;
    status = platform::make_directory(parent);
    if (made_or_present(status, parent)) break;
    missing.push_back(std::move(parent));
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    Status made = platform::make_directory(*level);
    if (!made_or_present(made, *level)) return made;
  }
  return {};
}

std::string safe_file_name(std::string_view offered) {
  return safe_file_name(offered, platform::drops_trailing_dots_and_spaces());
}

std::string safe_file_name(std::string_view offered, bool until_stable) {
  std::size_t cut = offered.find_last_of("/\\");
  if (cut != std::string_view::npos) offered.remove_prefix(cut + 1);
  std::string name = clean_name(offered, until_stable);
  return name.empty() ? "file" : name;
}

std::string clean_name(std::string_view part, bool until_stable) {
  std::string cleaned;
  cleaned.reserve(part.size());
  for (std::size_t i = 0; i < part.size(); ++i) {
    auto byte = static_cast<unsigned char>(part[i]);
    std::size_t bidi = text::bidi_control_length(part.substr(i));
    bool c1 = byte == 0xC2 && i + 1 < part.size() &&
              static_cast<unsigned char>(part[i + 1]) >= 0x80 &&
              static_cast<unsigned char>(part[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F ||
        std::string_view("<>:\"|?*").find(static_cast<char>(byte)) !=
            std::string_view::npos) {
      cleaned += '_';
    } else if (c1) {
      cleaned += '_';
      ++i;
    } else if (bidi > 0) {
      // Bidirectional controls let a name show another extension than it
      // has ("invoice<RLO>fdp.exe").
      cleaned += '_';
      i += bidi - 1;
    } else {
      cleaned += static_cast<char>(byte);
    }
  }

  // Where the system drops trailing dots and spaces, a name that still ends
  // in one (". ." gives ". ") would be stored under another name than the
  // one reported, so trimming goes on until it changes nothing.
  std::string_view name = cleaned;
  for (std::size_t before = name.size() + 1; name.size() != before;) {
    before = name.size();
    name = text::trim_white_space(name);
    while (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (!until_stable) break;
  }
  return std::string(name);
}

std::string free_path(std::string_view folder, std::string_view safe_name) {
  const std::size_t limit = platform::name_limit(std::string(folder));
  for (std::uint64_t n = 0;; ++n) {
    std::string path = candidate_path(folder, safe_name, n, limit);
    if (!platform::path_exists(path)) return path;
  }
}

namespace {

Result<FolderTree> open_tree(const std::string& path) {
  Result<platform::Directory> root = platform::Directory::open(path);
  if (!root.ok()) return std::move(root).error();
  return FolderTree(std::move(root).value());
}

}  // namespace

FilePhase::FilePhase(const std::string& path, std::size_t slot_bytes,
                     std::size_t slots)
    : ring(slot_bytes, slots), folder_path(path), folders(open_tree(path)) {}

std::optional<std::string> receive_files(platform::TcpStream& stream,
                                         const std::vector<FileInfo>& files,
                                         const std::string& folder,
                                         std::string_view sender) {
  FilePhase phase(folder, TRANSFER_BUFFER_BYTES, TRANSFER_RING_SLOTS);
  stream.set_spin(REPLY_SPIN);
  for (std::size_t i = 0; i < files.size(); ++i) {
    console::ProgressLine bar(files[i].name, files[i].size, i + 1,
                              files.size());
    phase.bar = &bar;
    auto failure = receive_file(stream, files[i], sender, phase);
    phase.bar = nullptr;
    if (failure) return failure;
  }
  return std::nullopt;
}

std::optional<std::string> receive_file(platform::TcpStream& stream,
                                        const FileInfo& file,
                                        std::string_view sender,
                                        FilePhase& phase) {
  HashingRing& ring = phase.ring;
  console::ProgressLine* bar = phase.bar;
  const std::string safe_name = safe_file_name(file.name);
  if (!phase.folders.ok()) {
    // The folder went away: the file cannot be created where it would be.
    return candidate_path(phase.folder_path, safe_name, 0,
                          platform::name_limit(phase.folder_path)) +
           ": " + phase.folders.error().message;
  }
  const platform::Directory& folder =
      phase.folders->folder_for(file.folder.value_or(""));
  std::string path;
  const std::string number_key = folder.path() + '\0' + safe_name;
  auto known = phase.next_number.find(number_key);
  std::uint64_t next = known == phase.next_number.end() ? 0 : known->second;
  Result<platform::IncomingFile> created =
      create_free_file(folder, safe_name, next, path);
  if (!created.ok()) return path + ": " + created.error().message;
  platform::IncomingFile& out = created.value();
  const std::uint64_t number = next - 1;
  // Only names that needed a number are remembered, so that a file whose
  // name is free costs no entry.
  if (number > 0) phase.next_number[number_key] = next;
  auto remove_ours = [&] {
    // A number freed again by deleting this file is the next one's to take.
    auto entry = phase.next_number.find(number_key);
    if (out.discard() && entry != phase.next_number.end()) {
      entry->second = std::min(entry->second, number);
    }
  };

  // Deletes what was received, unless something else has taken its place,
  // and ends the file phase with `reason`.
  auto discard = [&](std::string_view reason) {
    remove_ours();
    return file.name + ": " + std::string(reason);
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
      return file.name + ": " + kept.error().message;
    }
    std::uint8_t verdict = VERDICT_KEPT;
    if (Status sent = stream.write_all({&verdict, 1}); !sent.ok()) {
      return sent.error().message;
    }
    console::print(Stream::out, "Received " + path + " from " +
                                    console::peer(Stream::out, sender) + " (" +
                                    format_size(file.size) + ", verified)\n");
  } else {
    remove_ours();
    std::uint8_t verdict = VERDICT_DISCARDED;
    if (Status sent = stream.write_all({&verdict, 1}); !sent.ok()) {
      return sent.error().message;
    }
    console::print(Stream::out, console::peer(Stream::out, file.name) +
                                    " was damaged on the way and was "
                                    "discarded\n");
  }
  return std::nullopt;
}

}  // namespace burrowlink
