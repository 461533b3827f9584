#include "storage/store.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "platform/process.h"
#include "storage/names.h"
#include "text/hex.h"
#include "text/json.h"

namespace burrowlink {

namespace {

constexpr std::string_view DATA_ENDING = ".part";
constexpr std::string_view RECORD_ENDING = ".json";
constexpr std::string_view SEGMENTS_ENDING = ".sums";
constexpr std::string_view KEPT_ENDING = ".kept";
// A file growing outside the store, beside its final name.
constexpr std::string_view BESIDE_PREFIX = ".burrowlink-";
constexpr std::string_view ENDINGS[] = {DATA_ENDING, RECORD_ENDING,
                                        SEGMENTS_ENDING};

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

// The entry a file of the store belongs to: its name without its ending.
std::string id_of(const std::string& name) {
  for (std::string_view ending : ENDINGS) {
    if (ends_with(name, ending)) {
      return name.substr(0, name.size() - ending.size());
    }
  }
  return "";
}

WallClock::time_point time_of(std::int64_t nanoseconds) {
  return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
      std::chrono::nanoseconds(nanoseconds)));
}

// A file of the store, read whole: records are ours and short, and a
// list of kept files holds a few hundred bytes a file.
constexpr std::size_t RECORD_BYTES = 65536;
constexpr std::size_t KEPT_LIST_BYTES = 64 << 20;
std::optional<std::string> read_small(const platform::Directory& folder,
                                      const std::string& name,
                                      std::size_t most = RECORD_BYTES) {
  Result<platform::File> opened = folder.open_file(name);
  if (!opened.ok()) return std::nullopt;
  std::string text;
  std::uint8_t buffer[4096];
  for (Result<std::size_t> got = opened->read(buffer);
       got.ok() && *got > 0 && text.size() < most; got = opened->read(buffer)) {
    text.append(reinterpret_cast<const char*>(buffer), *got);
  }
  return text;
}

std::optional<std::uint64_t> number_of(std::string_view text) {
  if (text.empty() || text.size() > 20 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
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

std::string segment_line(const Segment& segment) {
  return std::to_string(segment.start) + ' ' + std::to_string(segment.end) +
         ' ' + text::to_hex(segment.digest) + '\n';
}

std::vector<Segment> read_segments(std::string_view text) {
  std::map<std::uint64_t, Segment> by_start;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != text.npos;
       at = end + 1) {
    const std::string_view line = text.substr(at, end - at);
    const std::size_t first = line.find(' '), second = line.rfind(' ');
    if (first == line.npos || first == second) continue;
    const auto start = number_of(line.substr(0, first));
    const auto stop = number_of(line.substr(first + 1, second - first - 1));
    Segment segment;
    if (!start || !stop || *stop <= *start ||
        !text::from_hex(line.substr(second + 1), segment.digest)) {
      continue;
    }
    segment.start = *start;
    segment.end = *stop;
    by_start[*start] = segment;
  }
  std::vector<Segment> chain;
  for (auto next = by_start.find(0); next != by_start.end();
       next = by_start.find(chain.back().end)) {
    chain.push_back(next->second);
  }
  return chain;
}

std::string kept_line(const StoreEntry& entry) {
  std::string out = store_record(entry);
  out.pop_back();  // the key's record, and what was kept
  const platform::FileStatus& status = entry.kept->status;
  // The line's own name, after its list's: what a forget line names.
  out += ",\"id\":";
  json::append_string(out, entry.id.substr(entry.id.find('#') + 1));
  out += ",\"file\":";
  json::append_string(out, entry.kept->file);
  // Times as their bits: a system may date a file before 1970.
  out += ",\"mtime\":" +
         std::to_string(static_cast<std::uint64_t>(status.modified));
  out += ",\"changed\":" +
         std::to_string(static_cast<std::uint64_t>(status.changed));
  out += ",\"device\":" + std::to_string(status.device);
  out += ",\"number\":" + std::to_string(status.number);
  out += ",\"sums\":[";
  for (const Segment& segment : entry.segments) {
    if (out.back() != '[') out += ',';
    out += '[' + std::to_string(segment.end) + ",\"" +
           text::to_hex(segment.digest) + "\"]";
  }
  out += "]}\n";
  return out;
}

std::optional<StoreEntry> read_kept_line(std::string_view line) {
  using json::Token;
  json::Reader reader(line);
  if (reader.next() != Token::begin_object) return std::nullopt;
  StoreEntry entry;
  Kept kept;
  kept.status.type = platform::FileType::regular;
  std::uint64_t numbers[7] = {};
  constexpr std::string_view NUMBERS[] = {"size",    "modified", "mtime",
                                          "changed", "device",   "number"};
  std::string* const texts[] = {&entry.key.sender, &entry.key.folder,
                                &entry.key.name, &kept.file, &entry.id};
  constexpr std::string_view TEXTS[] = {"sender", "folder", "name", "file",
                                        "id"};
  unsigned seen = 0;
  for (Token token; (token = reader.next()) != Token::end_object;) {
    if (token != Token::key) return std::nullopt;
    const std::string name(reader.string());
    const Token value = reader.next();
    const auto text_at = std::find(std::begin(TEXTS), std::end(TEXTS), name);
    const auto number_at =
        std::find(std::begin(NUMBERS), std::end(NUMBERS), name);
    unsigned bit = 0;
    if (text_at != std::end(TEXTS)) {
      const auto i = static_cast<std::size_t>(text_at - std::begin(TEXTS));
      if (value != Token::string) return std::nullopt;
      *texts[i] = reader.string();
      bit = 1u << i;
    } else if (number_at != std::end(NUMBERS)) {
      const auto i = static_cast<std::size_t>(number_at - std::begin(NUMBERS));
      const auto number = value == Token::number
                              ? json::to_uint64(reader.number())
                              : std::nullopt;
      if (!number) return std::nullopt;
      numbers[i] = *number;
      bit = 32u << i;
    } else if (name == "sums" && value == Token::begin_array) {
      for (Token sum; (sum = reader.next()) != Token::end_array;) {
        if (sum != Token::begin_array || reader.next() != Token::number) {
          return std::nullopt;
        }
        Segment segment;
        segment.start = entry.held();
        const auto end = json::to_uint64(reader.number());
        if (!end || *end <= segment.start || reader.next() != Token::string ||
            !text::from_hex(reader.string(), segment.digest) ||
            reader.next() != Token::end_array) {
          return std::nullopt;
        }
        segment.end = *end;
        entry.segments.push_back(segment);
      }
      bit = 2048;
    } else {
      return std::nullopt;
    }
    if (seen & bit) return std::nullopt;
    seen |= bit;
  }
  if (seen != 4095 || entry.id.empty() ||
      numbers[1] > std::uint64_t{INT64_MAX}) {
    return std::nullopt;
  }
  entry.key.size = numbers[0];
  entry.key.modified = static_cast<std::int64_t>(numbers[1]);
  kept.status.size = numbers[0];
  kept.status.modified = static_cast<std::int64_t>(numbers[2]);
  kept.status.changed = static_cast<std::int64_t>(numbers[3]);
  kept.status.device = numbers[4];
  kept.status.number = numbers[5];
  entry.kept = std::move(kept);
  return entry;
}

std::string forget_line(std::string_view line_id) {
  std::string out = "{\"forget\":";
  json::append_string(out, line_id);
  return out + "}\n";
}

std::optional<std::string> read_forget_line(std::string_view line) {
  using json::Token;
  json::Reader reader(line);
  if (reader.next() != Token::begin_object || reader.next() != Token::key ||
      reader.string() != "forget" || reader.next() != Token::string) {
    return std::nullopt;
  }
  std::string id(reader.string());
  if (reader.next() != Token::end_object) return std::nullopt;
  return id;
}

Store::Store(const platform::Directory& receive_folder,
             std::optional<std::string> lists_in)
    : m_receive(receive_folder),
      m_lists_in(lists_in ? std::move(lists_in) : platform::home_folder()) {
  // Lists are per receive folder: named after what the system knows it by.
  if (Result<platform::FileStatus> self = m_receive.status("."); self.ok()) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
      bytes[i] = static_cast<std::uint8_t>(self->device >> (56 - 8 * i));
      bytes[8 + i] = static_cast<std::uint8_t>(self->number >> (56 - 8 * i));
    }
    m_prefix = text::to_hex(bytes) + '-';
  }
}

const platform::Directory* Store::lists(bool make) {
  if (m_lists || !m_lists_in || m_prefix.empty()) {
    return m_lists ? &*m_lists : nullptr;
  }
  Result<platform::Directory> home = platform::Directory::open(*m_lists_in);
  if (!home.ok()) return nullptr;
  if (!make && !home->status(KEPT_LISTS).ok()) return nullptr;
  Result<platform::Directory> folder = home->open_private_folder(KEPT_LISTS);
  if (!folder.ok()) return nullptr;
  m_lists = std::move(folder).value();
  return &*m_lists;
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

void Store::load_lists() {
  // Lines on their way count too.
  write_kept();
  m_kept.clear();
  m_kept_by_name.clear();
  m_lists_loaded = true;
  const platform::Directory* folder = lists(false);
  if (folder == nullptr) return;
  auto listed = platform::read_folder(folder->path());
  if (!listed.ok()) return;
  for (const platform::FolderEntry& file : *listed) {
    if (file.name.starts_with(m_prefix) && ends_with(file.name, KEPT_ENDING) &&
        !file.link) {
      load_kept(*folder, file.name);
    }
  }
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

void Store::load_kept(const platform::Directory& folder,
                      const std::string& name) {
  std::optional<std::string> text = read_small(folder, name, KEPT_LIST_BYTES);
  if (!text) return;
  const std::string list = name.substr(0, name.size() - KEPT_ENDING.size());
  const Result<platform::FileStatus> status = folder.status(name);
  std::vector<StoreEntry> lines;
  std::set<std::string, std::less<>> gone;
  for (std::size_t at = 0, end; (end = text->find('\n', at)) != text->npos;
       at = end + 1) {
    const std::string_view line = std::string_view(*text).substr(at, end - at);
    if (std::optional<std::string> forgotten = read_forget_line(line)) {
      gone.insert(list + '#' + *forgotten);
    } else if (std::optional<StoreEntry> kept = read_kept_line(line)) {
      kept->id = list + '#' + kept->id;
      if (status.ok()) kept->written = time_of(status->modified);
      lines.push_back(std::move(*kept));
    }
  }
  for (StoreEntry& line : lines) {
    if (gone.contains(line.id)) continue;
    m_kept_by_name.emplace(line.key.name, m_kept.size());
    m_kept.push_back(std::move(line));
  }
}

bool Store::usable(const StoreEntry& entry) const {
  if (entry.held() == 0 || entry.held() > entry.key.size) return false;
  if (!entry.kept) {
    if (!m_folder) return false;
    Result<platform::FileStatus> data =
        m_folder->status(entry.id + std::string(DATA_ENDING));
    return data.ok() && data->type == platform::FileType::regular &&
           data->size >= entry.held();
  }
  // Where the file was placed, no link followed, and just as it was then.
  if (entry.held() != entry.key.size) return false;
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

void Store::tidy(WallClock::time_point now, bool lists_too) {
  std::vector<std::string> gone;
  if (lists_too) {
    load_lists();
    for (const StoreEntry& entry : m_kept) {
      if (entry.held() > 0 &&
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
  if (lists_too) tidy_lists(now);
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
  if (left == 0) remove_if_empty();
}

void Store::tidy_lists(WallClock::time_point now) {
  const platform::Directory* folder = lists(false);
  if (folder == nullptr) return;
  auto listed = platform::read_folder(folder->path());
  if (!listed.ok()) return;
  for (const platform::FolderEntry& file : *listed) {
    if (file.link || !ends_with(file.name, KEPT_ENDING)) continue;
    // A list of this folder with no file left in it, or of any folder
    // (one that may be gone) untouched for a week.
    const std::string list =
        file.name.substr(0, file.name.size() - KEPT_ENDING.size());
    const bool ours = file.name.starts_with(m_prefix);
    const bool used =
        ours &&
        std::any_of(m_kept.begin(), m_kept.end(), [&](const StoreEntry& entry) {
          return entry.held() > 0 && entry.id.starts_with(list + '#');
        });
    const bool old =
        file.status.ok() && now - time_of(file.status->modified) >= STORE_KEEPS;
    if ((ours && !used && list != m_list) || old) {
      (void)folder->remove(file.name);
    }
  }
}

void Store::remove_if_empty() {
  if (!m_folder) return;
  // Refused while anything is in it; then it is opened again when needed.
  release();
  (void)m_receive.remove_folder(STORE_NAME);
}

void Store::release() {
  write_kept();
  m_folder.reset();
  m_entries.clear();
  // Other stores of the folder may add to the lists meanwhile.
  m_lists_loaded = false;
  m_kept.clear();
  m_kept_by_name.clear();
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
  const std::uint64_t from = entry.held();
  if (!status.ok() || status->type != platform::FileType::regular ||
      status->size <= from || from >= entry.key.size) {
    return;
  }
  const std::uint64_t to =
      std::min({status->size, entry.key.size, from + TAIL_BYTES});
  Result<platform::File> file = m_folder->open_file(data);
  if (!file.ok() || !file->seek(from).ok()) return;
  Sha256 sha;
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
    // The data first, locked as it is made: no other receiver's tidying
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

void Store::keep(StoreEntry entry) {
  const platform::Directory* folder = lists(true);
  if (folder == nullptr) return;
  if (m_list.empty()) {
    // A list of its own, made when its first lines are written.
    do {
      m_list = m_prefix + new_id();
    } while (folder->status(m_list + std::string(KEPT_ENDING)).ok());
  }
  entry.id = m_list + '#' + new_id();
  m_unwritten += kept_line(entry);
  entry.written = WallClock::now();
  // Once the lists are read, they are read with this line.
  if (m_lists_loaded) {
    m_kept_by_name.emplace(entry.key.name, m_kept.size());
    m_kept.push_back(std::move(entry));
  }
}

void Store::write_kept() {
  if (m_unwritten.empty() || !m_lists) return;
  // A list that could not be written costs only the next send's question.
  (void)m_lists->append(m_list + std::string(KEPT_ENDING), m_unwritten);
  m_unwritten.clear();
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
