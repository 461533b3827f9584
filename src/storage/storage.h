#pragma once

// Where received files go: the receive folder, safe names, free paths, and
// the receiving side of the file phase.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "console/progress.h"
#include "platform/platform.h"
#include "protocol/hashing_ring.h"
#include "protocol/offer.h"
#include "storage/folders.h"

namespace burrowlink {

// Creates `folder` and any missing parents, outermost first. An empty text
// means the current folder. Fails when a level exists as a non-folder or
// cannot be made.
Status prepare_folder(const std::string& folder);

// The offered name's last part, with control characters and <>:"|?* replaced
// by "_", White_Space trimmed, trailing dots removed; "file" when empty.
std::string safe_file_name(std::string_view offered);
// As above; `until_stable` repeats the trimming until the name ends in
// neither white space nor a dot, as names must where the system drops them.
std::string safe_file_name(std::string_view offered, bool until_stable);
// One part of a name cleaned as above, without cutting at separators, and
// empty when nothing is left.
std::string clean_name(std::string_view part, bool until_stable);

// The name tried `n`-th for `safe_name` in a folder whose names take at most
// `limit` units (`platform::name_units`): the name itself for 0, else
// "{stem} ({n}){ext}"; cut to fit, the stem first, between characters.
std::string candidate_name(std::string_view safe_name, std::uint64_t n,
                           std::size_t limit);

// The first of "{folder}/{name}", "{folder}/{stem} (1){ext}", ... at which
// nothing exists yet.
std::string free_path(std::string_view folder, std::string_view safe_name);

// Receives, verifies and stores `files` in order, printing a line for each.
// Returns the failure text that ended the file phase, if any.
std::optional<std::string> receive_files(platform::TcpStream& stream,
                                         const std::vector<FileInfo>& files,
                                         const std::string& folder,
                                         std::string_view sender);

// What the files of one file phase share.
struct FilePhase {
  // Opens the folder at `path` once for the whole phase.
  FilePhase(const std::string& path, std::size_t slot_bytes, std::size_t slots);
  HashingRing ring;
  std::string folder_path;
  // The receive folder and the folders made below it.
  Result<FolderTree> folders;
  // The status line of the current file, if any.
  console::ProgressLine* bar = nullptr;
  // Per folder and safe name that needed a number, the first number not
  // yet found taken, so that many files of one name do not each try every
  // number before theirs again.
  std::unordered_map<std::string, std::uint64_t> next_number;
};

// One file of the file phase.
std::optional<std::string> receive_file(platform::TcpStream& stream,
                                        const FileInfo& file,
                                        std::string_view sender,
                                        FilePhase& phase);

}  // namespace burrowlink
