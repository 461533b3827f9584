#include "commands/send.h"

#include "commands/target.h"
#include "console/console.h"
#include "console/format.h"
#include "identity/identity.h"
#include "platform/platform.h"
#include "protocol/exchange.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

using console::Stream;

// The last component of `path`: both separators count, empty and "."
// components are skipped, ".." gives the empty name.
std::string offered_name(std::string_view path) {
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

}  // namespace

CommandResult send(Args args) {
  std::optional<std::string> to = take_option(args, "--to");
  if (!to) return CliError{std::string(NO_TARGET_TEXT)};
  std::string name = device_name(take_option(args, "--name"));
  std::optional<std::string> note = take_option(args, "--text");
  const Args& paths = args;
  if (!note && paths.empty()) return CliError{std::string(NOTHING_TO_SEND_TEXT)};

  Offer offer;
  offer.from = name;
  offer.text = note;
  std::vector<FileInfo> files;
  for (const std::string& path : paths) {
    Result<platform::FileStatus> status = platform::file_status(path);
    if (!status.ok()) {
      return CliError{path_error_text(path, status.error().message)};
    }
    if (status->type != platform::FileType::regular) {
      return CliError{not_a_file_text(path)};
    }
    files.push_back({offered_name(path), status->size});
  }
  if (!note) offer.files = std::move(files);

  Result<platform::SocketAddress, CliError> target = resolve_target(*to);
  if (!target.ok()) return std::move(target).error();
  offer.from_id = load_device_id();

  std::string address = platform::format_address(target.value());
  SenderEvents events;
  events.offered = [&] {
    console::print(Stream::err, "Waiting for " + address + " to accept...\n");
  };
  events.verified = [&](std::size_t index, std::chrono::nanoseconds elapsed) {
    const FileInfo& file = offer.files[index];
    console::print(Stream::err,
                   "Sent " + file.name + " (" + format_size(file.size) + ", " +
                       format_size(transfer_rate(file.size, elapsed)) +
                       "/s, verified)\n");
  };
  Status sent = run_sender(target.value(), offer, paths, events);
  if (!sent.ok()) return CliError{sent.error().message};
  if (note) console::print(Stream::err, "Sent.\n");
  return {};
}

}  // namespace burrowlink::commands
