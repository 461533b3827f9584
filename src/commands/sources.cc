#include "commands/sources.h"

#include <algorithm>
#include <utility>

#include "commands/send.h"
#include "console/console.h"
#include "platform/platform.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

using Listing = Result<std::vector<Source>, CliError>;

// Appends the files under the folder at `path`, whose files go to `folder`
// ("" for the receive folder itself).
CommandResult walk(const std::string& path, const std::string& folder,
                   std::vector<Source>& sources) {
  Result<std::vector<platform::FolderEntry>> listed =
      platform::read_folder(path);
  if (!listed.ok()) {
    return CliError{path_error_text(path, listed.error().message)};
  }
  std::vector<platform::FolderEntry>& entries = listed.value();
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const platform::FolderEntry& entry : entries) {
    const std::string child = platform::join_path(path, entry.name);
    if (!entry.status.ok()) {
      return CliError{path_error_text(child, entry.status.error().message)};
    }
    const std::string shown_name = text::to_valid_utf8(entry.name);
    switch (entry.status->type) {
      case platform::FileType::regular: {
        FileInfo info{shown_name, entry.status->size, std::nullopt};
        if (!folder.empty()) info.folder = folder;
        sources.push_back({child, std::move(info)});
        break;
      }
      case platform::FileType::directory:
        if (entry.link) {
          // A link back up would never end; what it names can be sent too.
          console::print(console::Stream::err,
                         child + ": a link to a folder, not followed\n");
          break;
        }
        if (CommandResult inner = walk(
                child, folder.empty() ? shown_name : folder + "/" + shown_name,
                sources);
            !inner.ok()) {
          return inner;
        }
        break;
      case platform::FileType::other:
        return CliError{
            path_error_text(child, "neither a regular file nor a folder")};
    }
  }
  return {};
}

}  // namespace

Listing list_sources(const Args& paths, bool recursive) {
  std::vector<Source> sources;
  sources.reserve(paths.size());
  for (const std::string& path : paths) {
    Result<platform::FileStatus> status = platform::file_status(path);
    if (!status.ok()) {
      return CliError{path_error_text(path, status.error().message)};
    }
    if (status->type == platform::FileType::regular) {
      sources.push_back({path, {offered_name(path), status->size, {}}});
      continue;
    }
    if (!recursive || status->type != platform::FileType::directory) {
      return CliError{not_a_file_text(path)};
    }
    const std::size_t before = sources.size();
    if (CommandResult walked = walk(path, offered_name(path), sources);
        !walked.ok()) {
      return std::move(walked).error();
    }
    if (sources.size() == before) {
      return CliError{path +
                      ": no files in this folder or below it (empty folders "
                      "are not sent)"};
    }
  }
  return sources;
}

}  // namespace burrowlink::commands
