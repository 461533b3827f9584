#include "rules/posix_rules.h"

namespace burrowlink::rules::posix {

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string parent_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? "/" : std::string(parent);
}

}  // namespace burrowlink::rules::posix
