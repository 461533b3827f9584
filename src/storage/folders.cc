#include "storage/folders.h"

#include <utility>

#include "storage/names.h"

namespace burrowlink {

namespace {

bool made_or_present(const Status& status, const std::string& path) {
  return status.ok() || (status.error().kind == ErrorKind::already_exists &&
                         platform::is_directory(path));
}

// The folder for `part` in `parent`, merged into or made; nullopt when it
// can be neither.
std::optional<platform::Directory> enter(const platform::Directory& parent,
                                         std::string_view part) {
  for (std::uint64_t n = 0;; ++n) {
    const std::string name = candidate_name(part, n, parent.name_limit());
    Result<platform::Directory> opened = parent.open_folder(name);
    if (!opened.ok() && opened.error().kind == ErrorKind::not_found) {
      Status made = parent.make_folder(name);
      if (!made.ok() && made.error().kind != ErrorKind::already_exists) {
        return std::nullopt;
      }
      opened = parent.open_folder(name);
    }
    if (opened.ok()) return std::move(opened).value();
    // Something else has the name: the next number.
    if (opened.error().kind != ErrorKind::not_a_folder) return std::nullopt;
  }
}

}  // namespace

Status prepare_folder(const std::string& folder) {
  if (folder.empty()) return {};
  Status status = platform::make_directory(folder);
  if (made_or_present(status, folder)) return {};
  // Go up until a level exists or can be made, remembering the ones below.
  std::vector<std::string> missing{folder};
  for (;;) {
    if (status.error().kind != ErrorKind::not_found) return status;
    std::string parent = platform::parent_path(missing.back());
    if (parent.empty() || parent == missing.back()) return status;
    status = platform::make_directory(parent);
    if (made_or_present(status, parent)) break;
    missing.push_back(std::move(parent));
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    Status made = platform::make_directory(*level);
    if (!made_or_present(made, *level)) return made;
  }
  return {};
}

FolderTree::FolderTree(const platform::Directory& root) : m_root(root) {}

const platform::Directory& FolderTree::folder_for(std::string_view folder) {
  if (folder != m_last) {
    m_last = folder;
    const std::vector<std::string> parts = folder_parts(folder);
    std::size_t keep = 0;
    while (keep < parts.size() && keep < m_parts.size() &&
           parts[keep] == m_parts[keep]) {
      ++keep;
    }
    m_parts.resize(keep);
    m_open.resize(keep);
    for (std::size_t i = keep; i < parts.size(); ++i) {
      std::optional<platform::Directory> level =
          enter(m_open.empty() ? m_root : m_open.back(), parts[i]);
      if (!level) break;
      m_open.push_back(std::move(*level));
      m_parts.push_back(parts[i]);
    }
  }
  return m_open.empty() ? m_root : m_open.back();
}

}  // namespace burrowlink
