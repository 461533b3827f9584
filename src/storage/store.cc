#include "storage/store.h"

#include <algorithm>
#include <array>

#include "base/coding.h"
#include "platform/process.h"
#include "storage/names.h"
#include "storage/store_files.h"
#include "text/hex.h"

namespace burrowlink {

namespace store_files {

std::string new_id() {
  static std::uint64_t next = [] {
    std::array<std::uint8_t, 8> bytes{};
    if (Status random = platform::random_bytes(bytes); !random.ok()) {
      platform::fatal("could not retrieve random bytes for a file name: " +
                      random.error().message);
    }
    return decode_fixed64(bytes);
  }();
  return text::to_hex(encode_fixed64(next++));
}

bool ends_with(std::string_view name, std::string_view ending) {
  return name.size() > ending.size() && name.ends_with(ending);
}

WallClock::time_point time_of(std::int64_t nanoseconds) {
  return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
      std::chrono::nanoseconds(nanoseconds)));
}

std::optional<std::string> read_small(const platform::Directory& folder,
                                      const std::string& name,
                                      std::size_t most) {
  return folder.read_small(name, most);
}

}  // namespace store_files

using namespace store_files;

namespace {

// A file growing outside the store, beside its final name.
constexpr std::string_view BESIDE_PREFIX = ".burrowlink-";
constexpr std::string_view ENDINGS[] = {DATA_ENDING, RECORD_ENDING,
                                        SEGMENTS_ENDING};

// The entry a file of the store belongs to: its name without its ending.
std::string id_of(const std::string& name) {
  for (std::string_view ending : ENDINGS) {
    if (ends_with(name, ending)) {
      return name.substr(0, name.size() - ending.size());
    }
  }
  return "";
}

}  // namespace

Store::Store(const platform::Directory& receive_folder,
             std::optional<std::string> lists_in)
    : m_receive(receive_folder),
      m_lists_in(lists_in ? std::move(lists_in) : platform::home_folder()) {
  // Lists are per receive folder: named after what the system knows it by.
  if (Result<platform::FileStatus> self = m_receive.status("."); self.ok()) {
    m_prefix = text::to_hex(encode_fixed64(self->device)) +
               text::to_hex(encode_fixed64(self->number)) + '-';
  }
}

Result<platform::Directory> open_receive_folder(const std::string& path) {
  Result<platform::Directory> folder = platform::Directory::open(path);
  if (folder.ok()) folder->hold_back(STORE_NAME);
  return folder;
}

Result<platform::IncomingFile> create_beside(
    const platform::Directory& folder) {
  for (;;) {
    Result<platform::IncomingFile> file = folder.create_file(
        std::string(BESIDE_PREFIX) + new_id() + std::string(DATA_ENDING));
    if (file.ok() || file.error().kind != ErrorKind::already_exists) {
      return file;
    }
  }
}

Status Store::open(bool make) {
  if (m_folder) return {};
  if (!make) {
    Result<platform::FileStatus> there = m_receive.status(STORE_NAME);
    if (!there.ok() && there.error().kind == ErrorKind::not_found) return {};
  }
  Result<platform::Directory> folder =
      m_receive.open_private_folder(STORE_NAME);
  if (!folder.ok()) return std::move(folder).error();
  m_folder = std::move(folder).value();
  load();
  return {};
}

void Store::load() {
  m_entries.clear();
  if (!m_folder) return;
  Result<std::vector<platform::FolderEntry>> listed =
      platform::read_folder(m_folder->path());
  if (!listed.ok()) return;
  for (const platform::FolderEntry& file : *listed) {
    if (!ends_with(file.name, RECORD_ENDING) || file.link) continue;
    std::optional<std::string> text = read_small(*m_folder, file.name);
    std::optional<StoreEntry> entry =
        text ? read_store_record(*text) : std::nullopt;
    if (!entry) continue;
    entry->id = file.name.substr(0, file.name.size() - RECORD_ENDING.size());
    const Result<platform::FileStatus> status = m_folder->status(file.name);
    if (status.ok()) entry->written = time_of(status->modified);
    if (auto sums =
            read_small(*m_folder, entry->id + std::string(SEGMENTS_ENDING))) {
      entry->segments = read_segments(*sums);
    }
    m_entries.push_back(std::move(*entry));
  }
}

bool Store::usable(const StoreEntry& entry) const {
  if (entry.bytes_held() == 0 || entry.bytes_held() > entry.key.size)
    return false;
  if (!entry.kept) {
    if (!m_folder) return false;
    Result<platform::FileStatus> data =
        m_folder->status(entry.id + std::string(DATA_ENDING));
    return data.ok() && data->type == platform::FileType::regular &&
           data->size >= entry.bytes_held();
  }
  // Where the file was placed, no link followed, and just as it was then.
  if (entry.bytes_held() != entry.key.size) return false;
  std::optional<platform::Directory> below;
  for (const std::string& part : folder_parts(entry.key.folder)) {
    Result<platform::Directory> next =
        (below ? *below : m_receive).open_folder(part);
    if (!next.ok()) return false;
    below = std::move(next).value();
  }
  const Result<platform::FileStatus> now =
      (below ? *below : m_receive).status(entry.kept->file);
  const platform::FileStatus& then = entry.kept->status;
  return now.ok() && now->type == platform::FileType::regular &&
         now->size == then.size && now->modified == then.modified &&
         now->changed == then.changed && now->device == then.device &&
         now->number == then.number;
}

bool Store::in_use(const std::string& id) const {
  return !id.empty() && id.find('#') == id.npos && m_folder &&
         m_folder->in_use(id + std::string(DATA_ENDING));
}

void Store::prune(WallClock::time_point now, bool lists_too) {
  std::vector<std::string> gone;
  if (lists_too) {
    load_lists();
    for (const StoreEntry& entry : m_kept) {
      if (entry.bytes_held() > 0 &&
          (now - entry.written >= STORE_KEEPS || !usable(entry))) {
        gone.push_back(entry.id);
      }
    }
  }
  load();
  for (StoreEntry& entry : m_entries) {
    // Another receiver on this folder is writing it.
    if (in_use(entry.id)) continue;
    if (now - entry.written < STORE_KEEPS) settle(entry);
    if (now - entry.written >= STORE_KEEPS ||
        entry.segments.size() > MAX_SEGMENTS || !usable(entry)) {
      gone.push_back(entry.id);
    }
  }
  for (const std::string& id : gone) forget(id);
  if (lists_too) prune_lists(now);
  if (!m_folder) return;
  // Whatever else is here no resume can use: data without a record,
  // records that did not read.
  Result<std::vector<platform::FolderEntry>> listed =
      platform::read_folder(m_folder->path());
  if (!listed.ok()) return;
  std::size_t left = 0;
  for (const platform::FolderEntry& file : *listed) {
    const bool known = std::any_of(
        m_entries.begin(), m_entries.end(), [&](const StoreEntry& entry) {
          const std::string& id = entry.id;
          return std::any_of(std::begin(ENDINGS), std::end(ENDINGS),
                             [&](std::string_view ending) {
                               return file.name == id + std::string(ending);
                             });
        });
    if (known || in_use(id_of(file.name)) ||
        !m_folder->remove(file.name).ok()) {
      ++left;
    }
  }
  if (left == 0) close();
}

void Store::close() {
  write_kept();
  if (!m_folder) return;
  m_folder.reset();
  m_entries.clear();
  // Other stores of the folder may add to the lists meanwhile.
  m_lists_loaded = false;
  m_kept.clear();
  m_kept_by_name.clear();
  // Refused while anything is in it.
  (void)m_receive.remove_folder(STORE_NAME);
}

void Store::make_room(std::uint64_t needed, std::uint64_t free,
                      const std::vector<std::string>& kept_ids) {
  if (needed <= free || !m_folder) return;
  std::vector<std::pair<const StoreEntry*, std::uint64_t>> waiting;
  std::uint64_t could_free = free;
  for (const StoreEntry& entry : m_entries) {
    if (entry.kept || in_use(entry.id) ||
        std::find(kept_ids.begin(), kept_ids.end(), entry.id) !=
            kept_ids.end()) {
      continue;
    }
    Result<platform::FileStatus> data =
        m_folder->status(entry.id + std::string(DATA_ENDING));
    const std::uint64_t size = data.ok() ? data->size : 0;
    waiting.emplace_back(&entry, size);
    could_free =
        size > UINT64_MAX - could_free ? UINT64_MAX : could_free + size;
  }
  // What would not fit anyway costs no one's prefix.
  if (could_free < needed) return;
  std::sort(waiting.begin(), waiting.end(), [](const auto& a, const auto& b) {
    return a.first->written < b.first->written;
  });
  std::vector<std::string> gone;
  for (const auto& [entry, size] : waiting) {
    if (needed <= free) break;
    free += size;
    gone.push_back(entry->id);
  }
  for (const std::string& id : gone) forget(id);
}

bool Store::holds_prefixes() const {
  return std::any_of(m_entries.begin(), m_entries.end(),
                     [](const StoreEntry& entry) { return !entry.kept; });
}

std::pair<std::size_t, std::uint64_t> Store::waiting() const {
  std::pair<std::size_t, std::uint64_t> held{0, 0};
  for (const StoreEntry& entry : m_entries) {
    if (entry.kept) continue;
    ++held.first;
    held.second += entry.bytes_held();
  }
  return held;
}

const StoreEntry* Store::entry(const std::string& id) const {
  for (const StoreEntry& known : m_entries) {
    if (known.id == id) return &known;
  }
  return nullptr;
}

std::optional<StoreEntry> Store::find(const ResumeKey& key,
                                      const std::vector<std::string>& taken) {
  auto free = [&](const StoreEntry& entry) {
    return entry.key == key &&
           std::find(taken.begin(), taken.end(), entry.id) == taken.end();
  };
  for (StoreEntry& entry : m_entries) {
    // One that another receiver writes now is not there to go on with.
    if (!free(entry) || in_use(entry.id)) continue;
    if (entry.segments.size() <= MAX_SEGMENTS && usable(entry)) return entry;
  }
  // The lists of kept files count even while the store is not there.
  if (!m_lists_loaded) load_lists();
  for (auto [at, end] = m_kept_by_name.equal_range(key.name); at != end; ++at) {
    const StoreEntry& entry = m_kept[at->second];
    if (free(entry) && entry.segments.size() <= MAX_SEGMENTS && usable(entry)) {
      return entry;
    }
  }
  return std::nullopt;
}

void Store::settle(StoreEntry& entry) {
  if (entry.kept || !m_folder) return;
  const std::string data = entry.id + std::string(DATA_ENDING);
  const Result<platform::FileStatus> status = m_folder->status(data);
  const std::uint64_t from = entry.bytes_held();
  if (!status.ok() || status->type != platform::FileType::regular ||
      status->size <= from || from >= entry.key.size) {
    return;
  }
  const std::uint64_t to =
      std::min({status->size, entry.key.size, from + TAIL_BYTES});
  Result<platform::File> file = m_folder->open_file(data);
  if (!file.ok() || !file->seek(from).ok()) return;
  platform::Sha256 sha;
  std::vector<std::uint8_t> buffer(256 * 1024);
  for (std::uint64_t at = from; at < to;) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(to - at, buffer.size()));
    Result<std::size_t> got = file->read({buffer.data(), want});
    if (!got.ok() || *got == 0) return;
    sha.update({buffer.data(), *got});
    at += *got;
  }
  // Noted only once durable, as any stretch. The entry is one of
  // m_entries: the note updates it.
  if (!m_folder->sync_file(data).ok()) return;
  (void)checkpoint(entry.id, {from, to, sha.finish()});
}

Result<platform::IncomingFile> Store::create(
    const std::optional<ResumeKey>& key, std::string& id) {
  if (Status opened = open(true); !opened.ok())
    return std::move(opened).error();
  for (;;) {
    id = new_id();
    // The data first, locked as it is made: no other receiver's pruning
    // takes a record whose data is not there yet.
    Result<platform::IncomingFile> file =
        m_folder->create_file(id + std::string(DATA_ENDING));
    if (!file.ok() && file.error().kind == ErrorKind::already_exists) continue;
    if (!file.ok() || !key) return file;
    StoreEntry entry{id, *key, WallClock::now(), {}, std::nullopt};
    Status recorded = m_folder->write_new(id + std::string(RECORD_ENDING),
                                          store_record(entry));
    if (!recorded.ok()) {
      file->discard();
      if (recorded.error().kind == ErrorKind::already_exists) continue;
      return std::move(recorded).error();
    }
    m_entries.push_back(std::move(entry));
    return file;
  }
}

Result<platform::IncomingFile> Store::reopen(const StoreEntry& entry,
                                             std::uint64_t bytes) {
  if (Status opened = open(false); !opened.ok())
    return std::move(opened).error();
  if (!m_folder) return Error{"the store is gone", ErrorKind::not_found};
  Result<platform::IncomingFile> file =
      m_folder->reopen_file(entry.id + std::string(DATA_ENDING));
  if (!file.ok()) return file;
  // Bytes past those the sender agreed on are not the file's.
  if (Status cut = file->truncate(bytes); !cut.ok())
    return std::move(cut).error();
  return file;
}

Status Store::checkpoint(const std::string& id, const Segment& segment) {
  if (!m_folder) return Error{"the store is gone", ErrorKind::not_found};
  if (Status noted = m_folder->append(id + std::string(SEGMENTS_ENDING),
                                      segment_line(segment));
      !noted.ok()) {
    return noted;
  }
  for (StoreEntry& entry : m_entries) {
    if (entry.id != id) continue;
    std::erase_if(entry.segments, [&](const Segment& other) {
      return other.start >= segment.start;
    });
    entry.segments.push_back(segment);
  }
  return {};
}

void Store::forget(const std::string& id) {
  if (const std::size_t hash = id.find('#'); hash != id.npos) {
    // A kept file's line stays, and a line after it says it is gone.
    write_kept();
    const std::string list = id.substr(0, hash);
    const platform::Directory* folder = lists(false);
    if (folder != nullptr) {
      (void)folder->append(list + std::string(KEPT_ENDING),
                           forget_line(std::string_view(id).substr(hash + 1)));
    }
    // Held no more; its place in the index stays.
    for (StoreEntry& entry : m_kept) {
      if (entry.id == id) entry.segments.clear();
    }
    return;
  } else {
    if (!m_folder && !open(false).ok()) return;
    if (!m_folder) return;
    for (std::string_view ending : ENDINGS) {
      (void)m_folder->remove(id + std::string(ending));
    }
  }
  std::erase_if(m_entries,
                [&](const StoreEntry& entry) { return entry.id == id; });
}

}  // namespace burrowlink
