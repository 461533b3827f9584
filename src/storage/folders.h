#pragma once

// The folders below the receive folder that files sent with their folders
// go to. A sender's "folder" value is hostile input: it is cleaned part by
// part and bounded, each level is made relative to the one above, a link is
// never followed, and nothing in it can fail a transfer: at worst a file
// lands higher up the tree.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace burrowlink {

// Levels of folders kept below the receive folder; deeper parts are dropped.
inline constexpr std::size_t MAX_FOLDER_DEPTH = 32;

// The parts of a sender's "folder" value as they may be made: split at "/"
// and "\", each cleaned as a file name is, parts that clean to nothing (such
// as "", "." and "..") left out, at most MAX_FOLDER_DEPTH of them.
std::vector<std::string> folder_parts(std::string_view folder);

class FolderTree {
 public:
  explicit FolderTree(platform::Directory root);

  // The folder for files whose "folder" value is `folder` ("" for the
  // receive folder). Each level is merged into a real folder of its name,
  // else made; where something else has the name (a file, a link), the next
  // numbered name is used as for a file ("Photos (1)"). Where a level cannot
  // be made, the last one reached. Valid until the next call.
  const platform::Directory& folder_for(std::string_view folder);

 private:
  platform::Directory m_root;
  std::string m_last;                      // the value last asked for
  std::vector<std::string> m_parts;        // the parts of the open levels
  std::deque<platform::Directory> m_open;  // one per part, outermost first
};

}  // namespace burrowlink
