#pragma once

// The private store inside the receive folder: every received file grows
// there and gets its final name only once verified, so that no crash, kill
// or power cut can leave a partial file that looks whole. For a sender that
// can resume, the received prefix of an interrupted file stays there with a
// record of what it is, until the same sender offers the same file again,
// or a week has passed.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/files.h"
#include "platform/sha256.h"

namespace burrowlink {

// The store's folder in the receive folder: a dot name, which listings
// hide, and hidden on Windows too.
inline constexpr std::string_view STORE_NAME = ".burrowlink-store";
// How long an entry waits for its sender.
inline constexpr std::chrono::hours STORE_KEEPS{24 * 7};
// Files smaller than this are sent again whole: a record would cost more
// than it saves.
inline constexpr std::uint64_t RESUMABLE_BYTES = 1024 * 1024;

using WallClock = std::chrono::system_clock;

// The receive folder at `path`, opened with the store's name held back: no
// file or folder a peer names takes it, whatever its spelling.
Result<platform::Directory> open_receive_folder(const std::string& path);

// What a resumable file is: the same sender, the same file as offered, and
// the same source (its size and modification time).
struct ResumeKey {
  std::string sender;
  std::string folder;  // the offered folder value, "" for none
  std::string name;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  bool operator==(const ResumeKey&) const = default;
};

// A prefix waiting in the store.
struct StoreEntry {
  std::string id;  // its name in the store, without the ending
  ResumeKey key;
  WallClock::time_point written;  // when the record was written
};

class Store {
 public:
  // The store of `receive_folder`, which must outlive it. Nothing is read
  // or made until `open`.
  explicit Store(const platform::Directory& receive_folder)
      : m_receive(receive_folder) {}

  // Opens the store, making it when `make`; reads its records. Fails when
  // it is a link or another user's folder, or cannot be made.
  Status open(bool make);
  bool is_open() const { return m_folder.has_value(); }

  // Removes what no resume can use: data without a record (from senders
  // that cannot resume), records that do not read or have no data, entries
  // older than STORE_KEEPS; then the store itself when nothing is left.
  void tidy(WallClock::time_point now);

  // Removes the store's folder when nothing is left in it.
  void remove_if_empty();
  // Lets go of the folder until `open`: Windows removes no folder that is
  // held open, and the file phase may empty it.
  void release();

  // Removes waiting prefixes, oldest first, until `needed` more bytes fit
  // in `free` bytes; those of `kept_ids` stay.
  void make_room(std::uint64_t needed, std::uint64_t free,
                 const std::vector<std::string>& kept_ids);

  // The waiting prefix of `key`, if any.
  std::optional<StoreEntry> find(const ResumeKey& key) const;
  // The bytes a waiting prefix holds.
  Result<std::uint64_t> held(const StoreEntry& entry) const;
  // Hashes the first `bytes` of a waiting prefix into `sha`.
  Status hash_prefix(const StoreEntry& entry, std::uint64_t bytes,
                     Sha256& sha) const;

  // A new file in the store; with a key, recorded so that it can resume.
  // `id` receives its entry's id.
  Result<platform::IncomingFile> create(const std::optional<ResumeKey>& key,
                                        std::string& id);
  // A waiting prefix, opened to go on at `bytes`.
  Result<platform::IncomingFile> reopen(const StoreEntry& entry,
                                        std::uint64_t bytes);
  // Removes entry `id`, data and record.
  void forget(const std::string& id);

  const platform::Directory& receive_folder() const { return m_receive; }

 private:
  void load();

  const platform::Directory& m_receive;
  std::optional<platform::Directory> m_folder;
  std::vector<StoreEntry> m_entries;
};

// Feeds the first `bytes` of `file` to `sha`; fails when it has fewer.
Status hash_prefix(platform::File& file, std::uint64_t bytes, Sha256& sha);

// The record of an entry, and back: compact JSON.
std::string store_record(const StoreEntry& entry);
std::optional<StoreEntry> read_store_record(std::string_view text);

}  // namespace burrowlink
