#pragma once

// The receiver's side of the file phase: each offered file received into
// the receive folder, hashed as it passes, then kept under a free name or
// deleted, with its verdict and console line.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "console/progress.h"
#include "platform/network.h"
#include "protocol/hashing_ring.h"
#include "protocol/offer.h"
#include "storage/folders.h"
#include "storage/names.h"

namespace burrowlink {

// How the files of a phase arrive: each after the verdict on the one
// before, or back to back (the stream extension), where the first damaged
// file ends the phase.
enum class Pace { lockstep, streamed };

// Receives, verifies and stores `files` in order, printing a line for each.
// Fails with the text that ended the file phase.
Status receive_files(platform::TcpStream& stream,
                     const std::vector<FileInfo>& files,
                     const std::string& folder, std::string_view sender,
                     Pace pace = Pace::lockstep);

// What the files of one file phase share.
struct FilePhase {
  // Opens the folder at `path` once for the whole phase.
  FilePhase(const std::string& path, std::size_t slot_bytes, std::size_t slots);
  HashingRing ring;
  std::string folder_path;
  // The receive folder and the folders made below it.
  Result<FolderTree> folders;
  FreeNames names;
  // The status line of the current file, if any.
  console::ProgressLine* bar = nullptr;
};

// One file of the file phase: true when it was kept, false when its digest
// did not match and it was deleted.
Result<bool> receive_file(platform::TcpStream& stream, const FileInfo& file,
                          std::string_view sender, FilePhase& phase);

}  // namespace burrowlink
