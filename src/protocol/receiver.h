#pragma once

// The receiver's side of the file phase: each offered file received into
// the private store, hashed as it passes, then placed under a free name in
// the receive folder or deleted, with its verdict. For a sender of ours, a
// file may go on from what an earlier transfer left.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/sha256.h"
#include "protocol/held_files.h"
#include "protocol/offer.h"
#include "protocol/receiver_events.h"
#include "protocol/wire.h"
#include "storage/folders.h"
#include "storage/names.h"
#include "storage/store.h"

namespace burrowlink {

// How the files of a phase arrive: each after the verdict on the one
// before, or back to back (the stream extension), where the first damaged
// file ends the phase.
enum class Pace { lockstep, streamed };

// What a sender of ours adds to the file phase.
struct FilePhaseOptions {
  Pace pace = Pace::lockstep;
  // The files the answer named, each of which starts with its offset.
  const HeldFiles* held = nullptr;
  // Big files are recorded in the store under this sender, so that they
  // can go on later; none without it.
  std::optional<std::string> resume_as;
  // Kept files get the modification time the offer gives.
  bool dates = false;
};

class HashingRing;

// One file phase: the files of one offer, in order, on one connection.
// REQUIRES: `stream`, `root` (when it opened), `store` and `events` outlive
// it.
class FilePhase {
 public:
  // `root` is the receive folder at `root_path`, or why it did not open:
  // then every file fails with the path it would have had.
  FilePhase(platform::Connection& stream,
            const Result<platform::Directory>& root, std::string root_path,
            Store& store, ReceiverEvents& events, FilePhaseOptions options,
            std::size_t slot_bytes = TRANSFER_BUFFER_BYTES,
            std::size_t slots = TRANSFER_RING_SLOTS);
  ~FilePhase();
  FilePhase(const FilePhase&) = delete;
  FilePhase& operator=(const FilePhase&) = delete;

  // Receives, verifies and keeps `files` in order. Fails with the text that
  // ended the phase.
  Status receive_all(const std::vector<FileInfo>& files);
  // File `index` of `count`: true when it was kept, false when it was
  // discarded. In a stream its verdict may wait for `flush_verdicts`.
  Result<bool> receive(const FileInfo& file, std::size_t index,
                       std::size_t count = 1);
  // Writes the verdicts a stream holds back.
  Status flush_verdicts();

 private:
  // The file in progress: where it grows and what of it has come.
  struct Growing {
    const FileInfo& file;
    const platform::Directory& folder;
    platform::IncomingFile out;
    std::string id;  // its entry in the store
    // A record keeps what arrives for the sender to go on with later.
    bool recorded = false;
    // It goes on from a prefix an earlier transfer left.
    bool resumed = false;
    std::uint64_t start = 0;  // where this transfer's stretch begins
    std::uint64_t remaining = 0;
    // A sender of ours that resumes: the file is remembered once kept.
    std::optional<ResumeKey> key;
    platform::Digest theirs{};
    // The file's first bytes answer our last verdict (or the answer), so only
    // they are worth a poll; the rest of the data never is.
    platform::Expect expect = platform::Expect::reply;
    // Bytes since the last note, and when it was taken.
    std::uint64_t since_checkpoint = 0;
    std::chrono::steady_clock::time_point last_checkpoint{};
  };

  // Reading and answering, with held verdicts written before any wait.
  Result<std::size_t> read_some(std::span<std::uint8_t> buffer,
                                platform::Expect expect);
  Status read_exact(std::span<std::uint8_t> buffer,
                    platform::Expect expect = platform::Expect::data);
  Status send_verdict(std::uint64_t size, std::uint8_t verdict);
  Status write_reply(std::uint8_t reply);

  // What the sender says of a file the answer named (held_files.cc).
  Result<std::uint64_t> read_start(const FileInfo& file,
                                   const StoreEntry* earlier);
  Result<bool> read_proof(const FileInfo& file, const StoreEntry& earlier,
                          std::uint64_t start);
  Result<bool> confirm_whole(const FileInfo& file,
                             const platform::Directory& folder,
                             const StoreEntry& earlier, bool same);

  // The steps of a file that comes (receiver.cc).
  bool grows_beside(const platform::Directory& folder) const;
  Result<Growing> open_growing(const FileInfo& file,
                               const platform::Directory& folder, bool beside,
                               std::uint64_t start, const StoreEntry* earlier);
  Status take_bytes(Growing& growing, std::size_t index, std::size_t count);
  Result<std::size_t> fill_slot(Growing& growing, std::span<std::uint8_t> slot,
                                std::size_t& digest_got);
  void checkpoint_when_due(Growing& growing, std::uint64_t added);
  void make_room(std::uint64_t needed);
  bool checkpoint(Growing& growing);
  Error fail(Growing& growing, std::string_view reason, bool link_broke);
  Result<bool> keep_or_discard(Growing& growing, const platform::Digest& ours);
  Result<std::string> place(Growing& growing, const platform::Digest& digest);
  std::optional<ResumeKey> resume_key(const FileInfo& file) const;

  platform::Connection& m_stream;
  std::string m_root_path;
  std::optional<Error> m_root_error;
  std::optional<FolderTree> m_folders;
  Store& m_store;
  ReceiverEvents& m_events;
  FilePhaseOptions m_options;
  std::unique_ptr<HashingRing> m_ring;
  // What a file must share with a folder to be renamed from the store into
  // it, when known.
  std::optional<std::uint64_t> m_store_volume;
  FreeNames m_names;
  // The current file is the part's last: an emptied store goes before it
  // is reported, since the receiver may be ended any time after that.
  bool m_last = false;
  // Verdicts of a stream not yet written, and the bytes of their files.
  std::string m_verdicts;
  std::uint64_t m_verdict_bytes = 0;
};

}  // namespace burrowlink
