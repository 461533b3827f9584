#include "commands/sources.h"

#include <algorithm>
#include <utility>

#include "commands/send.h"
#include "console/console.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "text/unicode.h"

namespace burrowlink::commands {

std::string SendList::path(std::size_t i) const {
  const Entry& entry = m_entries[i];
  if (entry.folder == GIVEN) return entry.name;
  return platform::join_path(m_folders[entry.folder].path, entry.name);
}

FileInfo SendList::info(std::size_t i) const {
  const Entry& entry = m_entries[i];
  FileInfo info;
  info.size = entry.size;
  if (entry.folder == GIVEN) {
    info.name = offered_name(entry.name);
  } else {
    info.name = text::to_valid_utf8(entry.name);
    const std::string& value = m_folders[entry.folder].value;
    if (!value.empty()) info.folder = value;
  }
  if (entry.modified >= 0) info.modified = entry.modified;
  return info;
}

namespace {

// A file that this user may not read fails before anything is sent
// rather than halfway through.
CommandResult check_readable(const std::string& path) {
  if (Status readable = platform::check_readable(path); !readable.ok()) {
    return CliError{path_error_text(path, readable.error().message)};
  }
  return {};
}

// The name the folder at `path` is sent under. Where the path gives none
// (".", "..", a bare drive such as "C:"), the folder's own name, from its
// full path; a root has none, and its files go straight into the receive
// folder.
Result<std::string> folder_name(const std::string& path) {
  std::string name = offered_name(path);
  if (!name.empty()) return name;
  Result<std::string> full = platform::full_path(path);
  if (!full.ok()) return std::move(full).error();
  return offered_name(*full);
}

}  // namespace

// Builds a SendList.
class Lister {
 public:
  CommandResult add(std::string path, bool recursive) {
    Result<platform::FileStatus> status = platform::file_status(path);
    if (!status.ok()) {
      return CliError{path_error_text(path, status.error().message)};
    }
    if (status->type == platform::FileType::regular) {
      if (CommandResult readable = check_readable(path); !readable.ok()) {
        return readable;
      }
      m_list.m_entries.push_back(
          {SendList::GIVEN, status->size, status->modified, std::move(path)});
      return {};
    }
    if (status->type != platform::FileType::directory) {
      return CliError{not_a_file_text(path)};
    }
    if (!recursive) {
      // A person at a terminal learns the way; scripts get the message as
      // it always was.
      std::string hint;
      if (console::on_terminal(console::Stream::err)) {
        hint = "\n" + std::string(RECURSIVE_HINT_TEXT);
      }
      return CliError{not_a_file_text(path) + hint};
    }
    Result<std::string> name = folder_name(path);
    if (!name.ok())
      return CliError{path_error_text(path, name.error().message)};
    const std::size_t before = m_list.size();
    if (CommandResult walked = walk(path, *name); !walked.ok()) {
      return walked;
    }
    if (m_list.size() == before) {
      return CliError{path +
                      ": no files in this folder or below it (empty folders "
                      "are not sent)"};
    }
    return {};
  }

  void reserve(std::size_t files) { m_list.m_entries.reserve(files); }
  SendList take() { return std::move(m_list); }

 private:
  // Lists the files under the folder at `path`, whose "folder" value is
  // `value` ("" for the receive folder itself).
  CommandResult walk(const std::string& path, const std::string& value) {
    Result<std::vector<platform::FolderEntry>> listed =
        platform::read_folder(path);
    if (!listed.ok()) {
      return CliError{path_error_text(path, listed.error().message)};
    }
    std::vector<platform::FolderEntry>& entries = listed.value();
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    const auto folder = static_cast<std::uint32_t>(m_list.m_folders.size());
    m_list.m_folders.push_back({path, value});
    for (platform::FolderEntry& entry : entries) {
      if (!entry.status.ok()) {
        const std::string child = platform::join_path(path, entry.name);
        if (entry.link && entry.status.error().kind == ErrorKind::not_found) {
          // Nothing there to send; one stale link must not stop the rest.
          console::print(console::Stream::err,
                         child + ": a broken link, skipped\n");
          continue;
        }
        return CliError{path_error_text(child, entry.status.error().message)};
      }
      switch (entry.status->type) {
        case platform::FileType::regular:
          if (CommandResult readable =
                  check_readable(platform::join_path(path, entry.name));
              !readable.ok()) {
            return readable;
          }
          m_list.m_entries.push_back({folder, entry.status->size,
                                      entry.status->modified,
                                      std::move(entry.name)});
          break;
        case platform::FileType::directory: {
          const std::string child = platform::join_path(path, entry.name);
          if (entry.link) {
            // A link back up would never end; what it names can be sent too.
            console::print(console::Stream::err,
                           child + ": a link to a folder, not followed\n");
            break;
          }
          const std::string name = text::to_valid_utf8(entry.name);
          if (CommandResult inner =
                  walk(child, value.empty() ? name : value + "/" + name);
              !inner.ok()) {
            return inner;
          }
          break;
        }
        case platform::FileType::other:
          return CliError{
              path_error_text(platform::join_path(path, entry.name),
                              "neither a regular file nor a folder")};
      }
    }
    return {};
  }

  SendList m_list;
};

Result<SendList, CliError> list_sources(Args paths, bool recursive) {
  Lister lister;
  lister.reserve(paths.size());
  for (std::string& path : paths) {
    if (CommandResult added = lister.add(std::move(path), recursive);
        !added.ok()) {
      return std::move(added).error();
    }
  }
  return lister.take();
}

}  // namespace burrowlink::commands
