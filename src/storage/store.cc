#include "storage/store.h"

#include <algorithm>
#include <array>

#include "platform/process.h"
#include "text/hex.h"
#include "text/json.h"

namespace burrowlink {

namespace {

constexpr std::string_view DATA_ENDING = ".part";
constexpr std::string_view RECORD_ENDING = ".json";

// A name for a new entry: random once per run, then counted, so that a
// file costs no call for random bytes. A name taken anyway is tried again.
std::string new_id() {
  static std::uint64_t next = [] {
    std::array<std::uint8_t, 8> bytes{};
    if (Status random = platform::random_bytes(bytes); !random.ok()) {
      platform::fatal("could not retrieve random bytes for a file name: " +
                      random.error().message);
    }
    std::uint64_t start = 0;
    for (std::uint8_t byte : bytes) start = start << 8 | byte;
    return start;
  }();
  std::array<std::uint8_t, 8> bytes{};
  const std::uint64_t id = next++;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(id >> (56 - 8 * i));
  }
  return text::to_hex(bytes);
}

bool ends_with(std::string_view name, std::string_view ending) {
  return name.size() > ending.size() && name.ends_with(ending);
}

WallClock::time_point time_of(std::int64_t nanoseconds) {
  return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
      std::chrono::nanoseconds(nanoseconds)));
}

}  // namespace

std::string store_record(const StoreEntry& entry) {
  std::string out = "{\"sender\":";
  json::append_string(out, entry.key.sender);
  out += ",\"folder\":";
  json::append_string(out, entry.key.folder);
  out += ",\"name\":";
  json::append_string(out, entry.key.name);
  out += ",\"size\":" + std::to_string(entry.key.size);
  out += ",\"modified\":" + std::to_string(entry.key.modified);
  out += '}';
  return out;
}

std::optional<StoreEntry> read_store_record(std::string_view text) {
  using json::Token;
  json::Reader reader(text);
  if (reader.next() != Token::begin_object) return std::nullopt;
  StoreEntry entry;
  unsigned seen = 0;
  for (Token token; (token = reader.next()) != Token::end_object;) {
    if (token != Token::key) return std::nullopt;
    const std::string name(reader.string());
    const Token value = reader.next();
    auto text_value = [&](std::string& out, unsigned bit) {
      if (value != Token::string || (seen & bit)) return false;
      out = reader.string();
      seen |= bit;
      return true;
    };
    bool ok = true;
    if (name == "sender") {
      ok = text_value(entry.key.sender, 1);
    } else if (name == "folder") {
      ok = text_value(entry.key.folder, 2);
    } else if (name == "name") {
      ok = text_value(entry.key.name, 4);
    } else if (name == "size" || name == "modified") {
      const auto number = value == Token::number
                              ? json::to_uint64(reader.number())
                              : std::nullopt;
      const unsigned bit = name == "size" ? 8 : 16;
      ok = number && !(seen & bit) &&
           (bit == 8 || *number <= std::uint64_t{INT64_MAX});
      if (ok && bit == 8) entry.key.size = *number;
      if (ok && bit == 16)
        entry.key.modified = static_cast<std::int64_t>(*number);
      seen |= bit;
    } else {
      ok = false;  // records are ours: anything else is not one
    }
    if (!ok) return std::nullopt;
  }
  if (seen != 31) return std::nullopt;
  return entry;
}

Result<platform::Directory> open_receive_folder(const std::string& path) {
  Result<platform::Directory> folder = platform::Directory::open(path);
  if (folder.ok()) folder->hold_back(STORE_NAME);
  return folder;
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
  Result<std::vector<platform::FolderEntry>> listed =
      platform::read_folder(m_folder->path());
  if (!listed.ok()) return;
  for (const platform::FolderEntry& file : *listed) {
    if (!ends_with(file.name, RECORD_ENDING) || file.link) continue;
    Result<platform::File> opened = m_folder->open_file(file.name);
    if (!opened.ok()) continue;
    std::string text;
    std::uint8_t buffer[4096];
    for (Result<std::size_t> got = opened->read(buffer);
         got.ok() && *got > 0 && text.size() < 65536;
         got = opened->read(buffer)) {
      text.append(reinterpret_cast<const char*>(buffer), *got);
    }
    std::optional<StoreEntry> entry = read_store_record(text);
    if (!entry) continue;
    entry->id = file.name.substr(0, file.name.size() - RECORD_ENDING.size());
    const Result<platform::FileStatus> status = m_folder->status(file.name);
    if (status.ok()) entry->written = time_of(status->modified);
    m_entries.push_back(std::move(*entry));
  }
}

void Store::tidy(WallClock::time_point now) {
  if (!m_folder) return;
  load();
  std::vector<std::string> gone;
  for (const StoreEntry& entry : m_entries) {
    if (now - entry.written >= STORE_KEEPS || !held(entry).ok()) {
      gone.push_back(entry.id);
    }
  }
  for (const std::string& id : gone) forget(id);
  // Whatever else is here no resume can use: data without a record,
  // records that did not read.
  Result<std::vector<platform::FolderEntry>> listed =
      platform::read_folder(m_folder->path());
  if (!listed.ok()) return;
  std::size_t left = 0;
  for (const platform::FolderEntry& file : *listed) {
    const bool known = std::any_of(
        m_entries.begin(), m_entries.end(), [&](const StoreEntry& entry) {
          return file.name == entry.id + std::string(RECORD_ENDING) ||
                 file.name == entry.id + std::string(DATA_ENDING);
        });
    if (known || !m_folder->remove(file.name).ok()) ++left;
  }
  if (left == 0) remove_if_empty();
}

void Store::remove_if_empty() {
  if (!m_folder) return;
  // Refused while anything is in it; then it is opened again when needed.
  release();
  (void)m_receive.remove_folder(STORE_NAME);
}

void Store::release() {
  m_folder.reset();
  m_entries.clear();
}

void Store::make_room(std::uint64_t needed, std::uint64_t free,
                      const std::vector<std::string>& kept_ids) {
  std::vector<StoreEntry*> waiting;
  for (StoreEntry& entry : m_entries) {
    if (std::find(kept_ids.begin(), kept_ids.end(), entry.id) ==
        kept_ids.end()) {
      waiting.push_back(&entry);
    }
  }
  std::sort(waiting.begin(), waiting.end(),
            [](const StoreEntry* a, const StoreEntry* b) {
              return a->written < b->written;
            });
  std::vector<std::string> gone;
  for (const StoreEntry* entry : waiting) {
    if (needed <= free) break;
    free += held(*entry).value_or(0);
    gone.push_back(entry->id);
  }
  for (const std::string& id : gone) forget(id);
}

std::optional<StoreEntry> Store::find(const ResumeKey& key) const {
  if (!m_folder) return std::nullopt;
  for (const StoreEntry& entry : m_entries) {
    if (entry.key == key && held(entry).value_or(0) > 0) return entry;
  }
  return std::nullopt;
}

Result<std::uint64_t> Store::held(const StoreEntry& entry) const {
  if (!m_folder) return Error{"no store", ErrorKind::not_found};
  Result<platform::FileStatus> status =
      m_folder->status(entry.id + std::string(DATA_ENDING));
  if (!status.ok()) return std::move(status).error();
  if (status->type != platform::FileType::regular) {
    return Error{"not a file", ErrorKind::not_a_folder};
  }
  return std::min(status->size, entry.key.size);
}

Status Store::hash_prefix(const StoreEntry& entry, std::uint64_t bytes,
                          Sha256& sha) const {
  if (!m_folder) return Error{"no store", ErrorKind::not_found};
  Result<platform::File> data =
      m_folder->open_file(entry.id + std::string(DATA_ENDING));
  if (!data.ok()) return std::move(data).error();
  return burrowlink::hash_prefix(*data, bytes, sha);
}

Status hash_prefix(platform::File& file, std::uint64_t bytes, Sha256& sha) {
  std::vector<std::uint8_t> buffer(256 * 1024);
  while (bytes > 0) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes, buffer.size()));
    Result<std::size_t> got = file.read({buffer.data(), want});
    if (!got.ok()) return std::move(got).error();
    if (*got == 0) return Error{"the file is shorter than it was"};
    sha.update({buffer.data(), *got});
    bytes -= *got;
  }
  return {};
}

Result<platform::IncomingFile> Store::create(
    const std::optional<ResumeKey>& key, std::string& id) {
  if (Status opened = open(true); !opened.ok())
    return std::move(opened).error();
  for (;;) {
    id = new_id();
    if (key) {
      StoreEntry entry{id, *key, WallClock::now()};
      Status recorded = m_folder->write_new(id + std::string(RECORD_ENDING),
                                            store_record(entry));
      if (!recorded.ok() && recorded.error().kind == ErrorKind::already_exists)
        continue;
      if (!recorded.ok()) return std::move(recorded).error();
      m_entries.push_back(std::move(entry));
    }
    Result<platform::IncomingFile> file =
        m_folder->create_file(id + std::string(DATA_ENDING));
    if (file.ok() || file.error().kind != ErrorKind::already_exists) {
      if (!file.ok() && key) forget(id);
      return file;
    }
    if (key) forget(id);
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

void Store::forget(const std::string& id) {
  if (!m_folder && !open(false).ok()) return;
  if (!m_folder) return;
  (void)m_folder->remove(id + std::string(DATA_ENDING));
  (void)m_folder->remove(id + std::string(RECORD_ENDING));
  std::erase_if(m_entries,
                [&](const StoreEntry& entry) { return entry.id == id; });
}

}  // namespace burrowlink
