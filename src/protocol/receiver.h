#pragma once

// The receiver's side of the file phase: each offered file received into
// the private store, hashed as it passes, then placed under a free name in
// the receive folder or deleted, with its verdict and console line. For a
// sender of ours, a file may go on from what an earlier transfer left.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "console/progress.h"
#include "platform/network.h"
#include "platform/sha256.h"
#include "protocol/extensions.h"
#include "protocol/hashing_ring.h"
#include "protocol/offer.h"
#include "storage/folders.h"
#include "storage/names.h"
#include "storage/store.h"

namespace burrowlink {

// How the files of a phase arrive: each after the verdict on the one
// before, or back to back (the stream extension), where the first damaged
// file ends the phase.
enum class Pace { lockstep, streamed };

// What the receiver holds of an offer's files already, by index: a prefix
// waiting in the store, or a file that arrived whole from the same sender.
using Holdings = std::map<std::size_t, StoreEntry>;

// What is held of `offer`'s files, for a sender that resumes. Nothing is
// read but the store's records, so the answer never waits for a disk.
Holdings find_holdings(const Offer& offer, Store& store);
std::uint64_t held_bytes(const Holdings& holdings);
// The answer's list: for each holding, the stretches the sender proves.
std::vector<ResumeAt> resume_list(const Holdings& holdings);

// What a sender of ours adds to the file phase.
struct Extras {
  Pace pace = Pace::lockstep;
  // The files the answer named, each of which starts with its offset.
  const Holdings* holdings = nullptr;
  // Big files are recorded in the store under this sender, so that they
  // can go on later; none without it.
  std::optional<std::string> resume_as;
  // Kept files get the modification time the offer gives.
  bool dates = false;
};

// Receives, verifies and stores `files` in order, printing a line for each.
// Fails with the text that ended the file phase.
Status receive_files(platform::TcpStream& stream,
                     const std::vector<FileInfo>& files,
                     const std::string& folder, std::string_view sender,
                     const Extras& extras = {});

// What the files of one file phase share.
struct FilePhase {
  // Opens the folder at `path` once for the whole phase.
  FilePhase(const std::string& path, std::size_t slot_bytes, std::size_t slots,
            Extras extras = {});
  // An emptied store leaves no trace.
  ~FilePhase();
  HashingRing ring;
  std::string folder_path;
  // The receive folder and the folders made below it.
  Result<FolderTree> folders;
  std::optional<Store> store;
  // What a file must share with a folder to be renamed from the store into
  // it, when known.
  std::optional<std::uint64_t> store_volume;
  FreeNames names;
  Extras extras;
  // The status line of the current file, if any.
  console::ProgressLine* bar = nullptr;
  // The current file is the part's last: an emptied store goes before it
  // is reported, since the receiver may be ended any time after that.
  bool last = false;
  // Verdicts of a stream not yet written, and the bytes of their files.
  std::string verdicts;
  std::uint64_t verdict_bytes = 0;
};

// Writes the verdicts a stream holds back.
Status flush_verdicts(platform::TcpStream& stream, FilePhase& phase);

// File `index` of the offer: true when it was kept, false when its digest
// did not match and it was deleted. In a stream its verdict may wait for
// `flush_verdicts`.
Result<bool> receive_file(platform::TcpStream& stream, const FileInfo& file,
                          std::size_t index, std::string_view sender,
                          FilePhase& phase);

}  // namespace burrowlink
