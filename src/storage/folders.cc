#include "storage/folders.h"

#include <utility>

#include "storage/storage.h"

namespace burrowlink {

namespace {

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

std::vector<std::string> folder_parts(std::string_view folder) {
  const bool until_stable = platform::drops_trailing_dots_and_spaces();
  std::vector<std::string> parts;
  while (!folder.empty() && parts.size() < MAX_FOLDER_DEPTH) {
    const std::size_t cut =
        std::min(folder.find_first_of("/\\"), folder.size());
    std::string part = clean_name(folder.substr(0, cut), until_stable);
    if (!part.empty()) parts.push_back(std::move(part));
    folder.remove_prefix(std::min(cut + 1, folder.size()));
  }
  return parts;
}

FolderTree::FolderTree(platform::Directory root) : m_root(std::move(root)) {}

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
