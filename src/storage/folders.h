#pragma once

// The receive folder, and the folders below it that files sent with their
// folders go to. A sender's "folder" value is hostile input: it is cleaned
// part by part and bounded, each level is made relative to the one above, a
// link is never followed, and nothing in it can fail a transfer: at worst a
// file lands higher up the tree.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/files.h"

namespace burrowlink {

// Creates `folder` and any missing parents, outermost first. An empty text
// means the current folder. Fails when a level exists as a non-folder or
// cannot be made.
Status prepare_folder(const std::string& folder);

class FolderTree {
 public:
  // REQUIRES: `root` outlives the tree.
  explicit FolderTree(const platform::Directory& root);

  // The folder for files whose "folder" value is `folder` ("" for the
  // receive folder). Each level is merged into a real folder of its name,
  // else made; where something else has the name (a file, a link), the next
  // numbered name is used as for a file ("Photos (1)"). Where a level cannot
  // be made, the last one reached. Valid until the next call.
  const platform::Directory& folder_for(std::string_view folder);
  const platform::Directory& root() const { return m_root; }

 private:
  const platform::Directory& m_root;
  std::string m_last;                      // the value last asked for
  std::vector<std::string> m_parts;        // the parts of the open levels
  std::deque<platform::Directory> m_open;  // one per part, outermost first
};

}  // namespace burrowlink
