#include "commands/send.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <system_error>
#include <thread>

#include "commands/sources.h"
#include "commands/target.h"
#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "identity/identity.h"
#include "net/address.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/terminal.h"
#include "protocol/extensions.h"
#include "protocol/sender.h"
#include "protocol/wire.h"
#include "rules/windows_rules.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

using console::Stream;

// The drive or share a path starts with is no component, as a path from
// another system may be given; on Linux "//tmp/x" is the root, as scripts
// that join "/" and a path make.
std::size_t prefix_length(std::string_view path) {
  if (path.starts_with("//") && !platform::two_slashes_start_a_share()) {
    return 0;
  }
  return rules::windows::prefix_length(path);
}

// Where a file of a folder sent with -r came from, as this system writes
// paths: "Photos/2024/a.jpg".
std::string path_in_folder(const FileInfo& file) {
  std::string path;
  const std::string folder = file.folder.value_or("");
  for (std::size_t start = 0; start < folder.size();) {
    std::size_t end = std::min(folder.find('/', start), folder.size());
    path = platform::join_path(path, folder.substr(start, end - start));
    start = end + 1;
  }
  return platform::join_path(path, file.name);
}

// "Sent {files} file(s), {size} in {time} ({rate}/s)".
std::string sent_summary(std::size_t files, std::uint64_t bytes,
                         std::chrono::nanoseconds elapsed) {
  return "Sent " + std::to_string(files) +
         (files == 1 ? " file, " : " files, ") + format_size(bytes) + " in " +
         format_duration(elapsed) + " (" +
         format_size(transfer_rate(bytes, elapsed)) + "/s)\n";
}

}  // namespace

std::string offered_name(std::string_view path) {
  path.remove_prefix(prefix_length(path));
  std::string_view last;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") last = part;
    start = end + 1;
  }
  if (last == "..") return "";
  return text::to_valid_utf8(last);
}

CommandResult send(Args args) {
  // The digest's first use takes milliseconds (OpenSSL sets itself up):
  // done on a thread of its own while the files are checked and the
  // receiver found. Joined when the command ends.
  std::jthread prepare_digest;
  try {
    prepare_digest = std::jthread(Sha256::prepare);
  } catch (const std::system_error&) {
    // Then it happens at the first digest.
  }
  // Where each argument stood on the command line (the command word is 0),
  // for the platform's rule on patterns among the file arguments.
  Positions positions(args.size());
  std::iota(positions.begin(), positions.end(), 1);
  console::write_terminals_in_background();
  // An interruption ends the progress line first, as in receive.
  platform::discard_incoming_on_interrupt();
  std::optional<std::string> to = take_option(args, "--to", &positions);
  if (!to) return CliError{std::string(NO_TARGET_TEXT)};
  std::string name = device_name(take_option(args, "--name", &positions));
  std::optional<std::string> note = take_option(args, "--text", &positions);
  const bool short_flag = take_flag(args, "-r", &positions);
  const bool recursive =
      take_flag(args, "--recursive", &positions) || short_flag;
  // The file arguments, each in place of what it names (itself, but for a
  // pattern on Windows).
  Args& paths = args;
  for (std::size_t i = paths.size(); i-- > 0;) {
    std::vector<std::string> named =
        platform::expand_file_argument(positions[i], std::move(paths[i]));
    paths[i] = std::move(named.front());
    paths.insert(paths.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                 std::make_move_iterator(named.begin() + 1),
                 std::make_move_iterator(named.end()));
  }
  if (!note && paths.empty()) {
    return CliError{std::string(NOTHING_TO_SEND_TEXT)};
  }
  // The offer exactly as the shared protocol has it, which knows no
  // folders: flattened, a folder's files could meet under one name.
  const bool plain = extensions_turned_off();
  if (plain && recursive) {
    return CliError{std::string(NO_FOLDERS_WITHOUT_EXTENSIONS_TEXT)};
  }

  Result<SendList, CliError> listed = list_sources(std::move(paths), recursive);
  if (!listed.ok()) return std::move(listed).error();
  const SendList& sources = listed.value();

  Result<SocketAddress, CliError> target = resolve_target(*to);
  if (!target.ok()) return std::move(target).error();
  Offer offer;
  offer.from = name;
  offer.from_id = load_device_id();
  offer.text = note;
  // Files stream to a receiver of ours; a note is one answer either way.
  if (!note && !plain) {
    offer.extensions =
        OfferExtensions{STREAM_VERSION, std::nullopt, RESUME_VERSION};
  }

  // A receiver need take at most MAX_OFFER_FILES in one offer: the files of
  // a folder sent with -r go in consecutive offers, each its own connection
  // and answer, and a receiver of ours lets the later ones be longer.
  // Without -r an offer is made as it is.
  const bool in_parts = recursive && !note && sources.size() > MAX_OFFER_FILES;
  if (in_parts) {
    const std::size_t parts =
        (sources.size() + MAX_OFFER_FILES - 1) / MAX_OFFER_FILES;
    console::print(Stream::err,
                   "Sending " + std::to_string(sources.size()) +
                       " files in up to " + std::to_string(parts) +
                       " parts: a receiver need not take more than " +
                       std::to_string(MAX_OFFER_FILES) + " in one offer\n");
  }

  std::string address = format_address(target.value());
  std::size_t first = 0;  // the part's first file among all sources
  SenderEvents events;
  events.offered = [&] {
    console::print(Stream::err, "Waiting for " + address + " to accept...\n");
  };
  // The status line of the file being sent, on a terminal only.
  std::optional<console::ProgressLine> bar;
  std::size_t bar_index = 0;
  events.progress = [&](std::size_t index, std::uint64_t done) {
    if (!bar || bar_index != index) {
      bar.reset();
      const FileInfo& file = offer.files[index];
      bar.emplace(file.name, file.size, first + index + 1, sources.size());
      bar_index = index;
    }
    bar->update(done);
  };
  // The next part of a long send goes in without a second question, and
  // may be longer.
  std::optional<std::string> next_token;
  std::uint64_t next_files = 0;
  events.token = [&](std::string token, std::uint64_t files) {
    next_token = std::move(token);
    next_files = files;
  };
  // Where files of this part go on, and whether an interrupted send can.
  std::map<std::size_t, std::uint64_t> resumed;
  bool resumable = false;
  events.resumable = [&] { resumable = true; };
  events.resuming = [&](std::size_t index, std::uint64_t offset) {
    const FileInfo& file = offer.files[index];
    resumed[index] = offset;
    if (offset < file.size) {
      console::print(Stream::err, "Resuming " + file.name + " at " +
                                      format_size(offset) + "\n");
    }
  };
  // For the line that sums a send up at a terminal: the files' own times
  // add up to the time spent sending, without connecting and asking.
  const bool terminal = console::on_terminal(Stream::err);
  std::size_t sent_files = 0;
  std::uint64_t sent_bytes = 0;
  std::chrono::nanoseconds sent_time{0};
  // The lines of verdicts that came together go out in one write.
  std::string sent_lines;
  events.verified = [&](std::size_t index, std::chrono::nanoseconds elapsed) {
    const FileInfo& file = offer.files[index];
    const auto at = resumed.find(index);
    const std::uint64_t moved =
        file.size - (at == resumed.end() ? 0 : at->second);
    // A resumed file's rate counts what moved now.
    const std::string how =
        at != resumed.end() && moved == 0
            ? "already there"
            : format_size(transfer_rate(moved, elapsed)) + "/s";
    // A person sees which of the folder's files it was; scripts keep the
    // name alone.
    const std::string shown =
        terminal && file.folder ? path_in_folder(file) : file.name;
    sent_lines += "Sent " + shown + " (" + format_size(file.size) + ", " + how +
                  ", verified)\n";
    ++sent_files;
    sent_bytes += file.size;
    sent_time += elapsed;
  };
  events.settled = [&] {
    bar.reset();
    console::print(Stream::err, sent_lines);
    sent_lines.clear();
  };
  do {
    // A note lists no file, whatever else was named.
    std::uint64_t most = note ? 0 : in_parts ? MAX_OFFER_FILES : sources.size();
    if (in_parts && next_token) most = std::max(most, next_files);
    std::size_t end = first + static_cast<std::size_t>(std::min<std::uint64_t>(
                                  most, sources.size() - first));
    offer.files.clear();
    offer.files.reserve(end - first);
    for (std::size_t i = first; i < end; ++i) {
      offer.files.push_back(sources.info(i));
      if (plain) offer.files.back().modified.reset();
    }
    if (offer.extensions) {
      offer.extensions->token = std::exchange(next_token, std::nullopt);
      // The receiver asks once, about the whole send.
      offer.extensions->total.reset();
      if (in_parts && first == 0) {
        SendTotal total{sources.size(), 0};
        for (std::size_t i = 0; i < sources.size(); ++i) {
          const std::uint64_t size = sources.info(i).size;
          total.bytes =
              size > UINT64_MAX - total.bytes ? UINT64_MAX : total.bytes + size;
        }
        offer.extensions->total = total;
      }
    }
    // A longer part still fits the offer's frame; long names make it
    // shorter, though never below what any receiver takes.
    while (in_parts && end - first > MAX_OFFER_FILES &&
           offer_to_json(offer).size() > MAX_OFFER_BYTES) {
      end = first + std::max(MAX_OFFER_FILES, (end - first) / 2);
      offer.files.erase(
          offer.files.begin() + static_cast<std::ptrdiff_t>(end - first),
          offer.files.end());
    }
    resumed.clear();
    bar.reset();
    Status sent = run_sender(
        target.value(), offer,
        [&](std::size_t index) {
          return Source{sources.path(first + index),
                        sources.modified(first + index)};
        },
        events);
    bar.reset();  // erased before the error line or anything else
    if (!sent.ok()) {
      std::string message = sent.error().message;
      // A person sees, last, how far it got and that it need not start
      // over.
      if (resumable && console::on_terminal(Stream::err)) {
        message += "\n" + std::to_string(sent_files) + " of " +
                   std::to_string(sources.size()) +
                   " files were verified; the same command goes on where "
                   "this one stopped";
      }
      return CliError{message};
    }
    first = end;
  } while (!note && first < sources.size());
  if (note) {
    console::print(Stream::err, "Sent.\n");
  } else if (terminal) {
    console::print(Stream::err,
                   sent_summary(sent_files, sent_bytes, sent_time));
  }
  return {};
}

}  // namespace burrowlink::commands
