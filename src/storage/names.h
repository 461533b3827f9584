#pragma once

// The names received files and folders get: offered names cleaned, folder
// values split into clean parts, and the numbering that finds a free name
// ("photo (1).jpg") without ever replacing anything. Both the receiver and
// the folder tree take their names from here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "platform/files.h"

namespace burrowlink {

// The offered name's last part, with control characters and <>:"|?* replaced
// by "_", White_Space trimmed, trailing dots removed; "file" when empty.
std::string safe_file_name(std::string_view offered);
// As above; `until_stable` repeats the trimming until the name ends in
// neither white space nor a dot, as names must where the system drops them.
std::string safe_file_name(std::string_view offered, bool until_stable);
// One part of a name cleaned as above, without cutting at separators, and
// empty when nothing is left.
std::string clean_name(std::string_view part, bool until_stable);

// Levels of folders kept below the receive folder; deeper parts are dropped.
inline constexpr std::size_t MAX_FOLDER_DEPTH = 32;

// The parts of a sender's "folder" value as they may be made: split at "/"
// and "\", each cleaned as a file name is, parts that clean to nothing (such
// as "", "." and "..") left out, at most MAX_FOLDER_DEPTH of them.
std::vector<std::string> folder_parts(std::string_view folder);

// The name tried `n`-th for `safe_name` in a folder whose names take at most
// `limit` units (`platform::name_units`): the name itself for 0, else
// "{stem} ({n}){ext}"; cut to fit, the stem first, between characters.
std::string candidate_name(std::string_view safe_name, std::uint64_t n,
                           std::size_t limit);

// Finds free names in the folders of one file phase. Taking a name is the
// test that it is free (an exclusive creation, a rename that replaces
// nothing), so whatever appears at a name meanwhile, a link included, is
// never truncated, replaced or written through: the next number is tried.
class FreeNames {
 public:
  // Calls `take(name)` for the candidates of `safe_name` in `folder` until
  // one succeeds or fails for another reason than a taken name (kind
  // already_exists). `path` receives the last candidate's path.
  template <typename Take>
  auto place(const platform::Directory& folder, std::string_view safe_name,
             std::string& path, Take take) -> decltype(take(std::string())) {
    const std::string key = key_of(folder, safe_name);
    for (std::uint64_t n = first_untried(key);; ++n) {
      std::string name = candidate_name(safe_name, n, folder.name_limit());
      path = platform::join_path(folder.path(), name);
      auto taken = take(name);
      if (taken.ok()) {
        took(key, n);
        return taken;
      }
      if (taken.error().kind != ErrorKind::already_exists) return taken;
    }
  }

 private:
  static std::string key_of(const platform::Directory& folder,
                            std::string_view safe_name);
  std::uint64_t first_untried(const std::string& key) const;
  void took(const std::string& key, std::uint64_t n);

  // Per folder and safe name that needed a number, the first number not yet
  // found taken, so that many files of one name do not each try every
  // number before theirs again. Names that were free cost no entry.
  std::unordered_map<std::string, std::uint64_t> m_next;
};

}  // namespace burrowlink
