// The lists of files that arrived whole: a `.kept` file of JSON lines per
// receive folder and run, in the home folder's KEPT_LISTS.
#include <algorithm>
#include <set>

#include "storage/store.h"
#include "storage/store_files.h"

namespace burrowlink {

using namespace store_files;

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

void Store::prune_lists(WallClock::time_point now) {
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
          return entry.bytes_held() > 0 && entry.id.starts_with(list + '#');
        });
    const bool old =
        file.status.ok() && now - time_of(file.status->modified) >= STORE_KEEPS;
    if ((ours && !used && list != m_list) || old) {
      (void)folder->remove(file.name);
    }
  }
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
  // A later look reads the lists again, this line with them: a copy and an
  // index entry for each file a transfer keeps would cost every file.
  m_lists_loaded = false;
}

void Store::write_kept() {
  if (m_unwritten.empty() || !m_lists) return;
  // A list that could not be written costs only the next send's question.
  (void)m_lists->append(m_list + std::string(KEPT_ENDING), m_unwritten);
  m_unwritten.clear();
}

}  // namespace burrowlink
