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
#include <unordered_map>
#include <utility>
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
// The folder that holds the lists of files that arrived whole.
inline constexpr std::string_view KEPT_LISTS = ".burrowlink-received";

using WallClock = std::chrono::system_clock;

// The receive folder at `path`, opened with the store's name held back: no
// file or folder a peer names takes it, whatever its spelling.
Result<platform::Directory> open_receive_folder(const std::string& path);

// A new file in `folder` itself, for a folder that no file can be renamed
// into from the store (another file system mounted there): a hidden name
// of ours, made where nothing is, which only its rename to a free name or
// its deletion ends. Nothing of it can go on later.
Result<platform::IncomingFile> create_beside(const platform::Directory& folder);

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

// A stretch of a file's bytes and their SHA-256. What a prefix holds is a
// chain of them from byte 0, one per transfer that carried it, so that
// going on never needs a digest of what was there before.
struct Segment {
  std::uint64_t start = 0, end = 0;
  platform::Digest digest{};
  bool operator==(const Segment&) const = default;
};
// The most segments a prefix may have and still be offered.
inline constexpr std::size_t MAX_SEGMENTS = 4;
// The most bytes past its chain that a prefix keeps: what arrived after
// the last note, hashed when the prefix is next looked at. More than the
// receiver writes between two notes.
inline constexpr std::uint64_t TAIL_BYTES = 256 << 20;

// A file that arrived whole and was placed: where, and what it was then.
// Until it changes, its digests are known without reading it again.
struct Kept {
  std::string file;  // its name in the folder its key's folder names
  platform::FileStatus status;
};

// What the store knows of one file from one sender: a prefix waiting, or
// a file that arrived whole. Files that arrived whole are noted a line
// each in a list per transfer, since a folder may hold thousands.
struct StoreEntry {
  // A prefix's name in the store, without the ending; for a kept file,
  // its list's name, '#' and its line.
  std::string id;
  ResumeKey key;
  WallClock::time_point written;  // when the record was written
  std::vector<Segment> segments;  // the chain, from byte 0
  std::optional<Kept> kept;
  std::uint64_t bytes_held() const {
    return segments.empty() ? 0 : segments.back().end;
  }
};

class Store {
 public:
  // The store of `receive_folder`, which must outlive it, with its lists
  // of kept files in folder KEPT_LISTS of `lists_in` (by default the home
  // folder, beside the identity file: a list must outlive the store, which
  // goes when empty, and never clutter the receive folder). Nothing is
  // read or made until `open`.
  explicit Store(const platform::Directory& receive_folder,
                 std::optional<std::string> lists_in = std::nullopt);
  ~Store() { close(); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens the store, making it when `make`; reads its records. Fails when
  // it is a link or another user's folder, or cannot be made.
  Status open(bool make);
  bool is_open() const { return m_folder.has_value(); }

  // Removes what no resume can use: data without a record (from senders
  // that cannot resume), records that do not read or have no data, entries
  // older than STORE_KEEPS; then the store itself when nothing is left.
  // Entries being written, by any receiver, stay.
  // With `lists_too`, also the notes of kept files that changed or went,
  // which costs a look at each: at start, not after every transfer.
  void prune(WallClock::time_point now, bool lists_too = true);

  // Writes the notes waiting, lets go of the folder and of what was read
  // of it, and removes the folder when nothing is left in it: Windows
  // removes no folder held open, and other receivers may change it before
  // the next `open`.
  void close();

  // Removes waiting prefixes, oldest first, until `needed` more bytes fit
  // in `free` bytes; those of `kept_ids`, and those being written, stay.
  // Removes none when all of them would not make room enough.
  void make_room(std::uint64_t needed, std::uint64_t free,
                 const std::vector<std::string>& kept_ids);
  // Some prefix waits here, which `make_room` could remove.
  bool holds_prefixes() const;
  // The prefixes waiting here: how many, and their bytes.
  std::pair<std::size_t, std::uint64_t> waiting() const;

  // What is held of `key` and can be offered: a prefix whose data is
  // there, or a kept file that has not changed since. Entries whose ids are
  // in `taken` are passed over: each goes to one file of an offer.
  std::optional<StoreEntry> find(const ResumeKey& key,
                                 const std::vector<std::string>& taken);

  // A new file in the store; with a key, recorded so that it can resume.
  // `id` receives its entry's id.
  Result<platform::IncomingFile> create(const std::optional<ResumeKey>& key,
                                        std::string& id);
  // A waiting prefix, opened to go on at `bytes`.
  Result<platform::IncomingFile> reopen(const StoreEntry& entry,
                                        std::uint64_t bytes);
  // Entry `id`, if the store knows it.
  const StoreEntry* entry(const std::string& id) const;
  // A prefix's data is there for all its chain; a kept file is unchanged.
  bool usable(const StoreEntry& entry) const;
  // Notes that entry `id` holds `segment`, whose bytes are durable.
  Status checkpoint(const std::string& id, const Segment& segment);
  // Notes that `entry` arrived whole and was placed as its `kept` says.
  // Notes wait to be written together, at the latest by `write_kept`.
  void keep(StoreEntry entry);
  void write_kept();
  // Removes entry `id`: data and records.
  void forget(const std::string& id);

  const platform::Directory& receive_folder() const { return m_receive; }

 private:
  void load();
  void load_lists();
  // Notes the bytes of a prefix past its chain, which an interruption left
  // without a note: hashed as they lie now, a bounded amount.
  void settle(StoreEntry& entry);
  void load_kept(const platform::Directory& lists, const std::string& name);
  void prune_lists(WallClock::time_point now);
  // Entry `id`'s data is being written, maybe by another receiver on the
  // same folder.
  bool in_use(const std::string& id) const;
  // The folder of the lists, when it is there or, with `make`, made.
  const platform::Directory* lists(bool make);

  const platform::Directory& m_receive;
  std::optional<platform::Directory> m_folder;
  std::vector<StoreEntry> m_entries;  // prefixes waiting in the store
  // Files kept whole, read from the lists when first needed.
  std::vector<StoreEntry> m_kept;
  std::unordered_multimap<std::string, std::size_t> m_kept_by_name;
  bool m_lists_loaded = false;
  std::optional<std::string> m_lists_in;
  std::optional<platform::Directory> m_lists;
  std::string m_prefix;     // of this receive folder's lists: its identity
  std::string m_list;       // this one's list of kept files, once it has one
  std::string m_unwritten;  // lines not yet appended to it
};

// The record of an entry, and back: compact JSON.
std::string store_record(const StoreEntry& entry);
std::optional<StoreEntry> read_store_record(std::string_view text);
// A segment's line in an entry's list of them, and the chain from byte 0
// that a list holds: the last line for a start wins, and a line cut short
// by a crash is no line.
std::string segment_line(const Segment& segment);
std::vector<Segment> read_segments(std::string_view text);
// A kept file's line, and back; a line that forgets one, named by the id
// the line carries, and back.
std::string kept_line(const StoreEntry& entry);
std::optional<StoreEntry> read_kept_line(std::string_view line);
std::string forget_line(std::string_view line_id);
std::optional<std::string> read_forget_line(std::string_view line);

}  // namespace burrowlink
