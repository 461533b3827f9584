#pragma once

// What `send` offers: each file argument, checked, and with -r every file
// under each folder argument.

#include <string>
#include <vector>

#include "cli/options.h"
#include "protocol/offer.h"

namespace burrowlink::commands {

// One file to send: where to read it, and how it is offered.
struct Source {
  std::string path;
  FileInfo info;
};

// Checks `paths` in order, before anything touches the network. A folder is
// an error unless `recursive`; then its regular files are listed depth
// first in byte order of their names, each with its folders from the given
// one's name down. Links to files count as the files; links to folders are
// not followed (a line on standard error says so). Anything else, and
// anything that cannot be read, fails with "{path}: {reason}".
Result<std::vector<Source>, CliError> list_sources(const Args& paths,
                                                   bool recursive);

}  // namespace burrowlink::commands
