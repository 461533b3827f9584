#pragma once

// What `send` offers: each file argument, checked, and with -r every file
// under each folder argument.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "protocol/offer.h"

namespace burrowlink::commands {

// The files to send, listed before anything moves. Kept compact, since a
// folder may hold many thousands of files.
class SendList {
 public:
  std::size_t size() const { return m_entries.size(); }
  // Where to read file `i`: its path as given, or as found under a folder.
  std::string path(std::size_t i) const;
  // How file `i` is offered.
  FileInfo info(std::size_t i) const;
  // Its modification time when it was listed, before 1970 too.
  std::int64_t modified(std::size_t i) const { return m_entries[i].modified; }

 private:
  friend class Lister;
  static constexpr std::uint32_t GIVEN = UINT32_MAX;  // no folder: a path
  struct Folder {
    std::string path;   // as found
    std::string value;  // its "folder" value; "" for the receive folder
  };
  struct Entry {
    std::uint32_t folder;  // in m_folders, or GIVEN
    std::uint64_t size;
    std::int64_t modified;  // nanoseconds since 1970
    std::string name;       // as found in the folder, or the path as given
  };
  std::vector<Folder> m_folders;
  std::vector<Entry> m_entries;
};

// Checks `paths` in order, before anything touches the network. A folder is
// an error unless `recursive`; then its regular files are listed depth
// first in byte order of their names, each with its folders from the given
// one's name down: its real name also when given as "." or "..", none for
// a root. Links to files count as the files; links to folders, and links
// to nothing, are passed over (a line on standard error says so). Anything
// else, and any file that cannot be opened for reading, fails with
// "{path}: {reason}".
Result<SendList, CliError> list_sources(Args paths, bool recursive);

}  // namespace burrowlink::commands
