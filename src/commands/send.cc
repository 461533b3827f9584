#include "commands/send.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <system_error>
#include <thread>
#include <utility>

#include "commands/code_question.h"
#include "commands/sources.h"
#include "commands/target.h"
#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "identity/device_key.h"
#include "identity/identity.h"
#include "net/address.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/terminal.h"
#include "protocol/extensions.h"
#include "protocol/secure_link.h"
#include "protocol/sender.h"
#include "protocol/wire.h"
#include "rules/windows_rules.h"
#include "text/hex.h"
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

// "1 file" or "{n} files".
std::string files_text(std::size_t files) {
  return std::to_string(files) + (files == 1 ? " file" : " files");
}

// What the command line asks to send.
struct SendRequest {
  std::string to;  // the receiver, as given
  std::string name;
  std::optional<std::string> note;
  bool recursive = false;
  bool plain = false;   // no extension is offered
  bool secure = false;  // only over the secure channel
  bool verify = false;  // the users compare a code first
  // A device met securely before may be sent to in clear when the secure
  // channel cannot be had.
  bool allow_clear = false;
  Args paths;  // the file arguments, each pattern in place
};

// The file arguments, each in place of what it names (itself, but for a
// pattern on Windows); `positions` says where each stood.
Args expand_file_arguments(Args paths, const Positions& positions) {
  for (std::size_t i = paths.size(); i-- > 0;) {
    std::vector<std::string> named =
        platform::expand_file_argument(positions[i], std::move(paths[i]));
    paths[i] = std::move(named.front());
    paths.insert(paths.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                 std::make_move_iterator(named.begin() + 1),
                 std::make_move_iterator(named.end()));
  }
  return paths;
}

Result<SendRequest, CliError> read_request(Args args) {
  // Where each argument stood on the command line (the command word is 0),
  // for the platform's rule on patterns among the file arguments.
  Positions positions(args.size());
  std::iota(positions.begin(), positions.end(), 1);
  std::optional<std::string> to = take_option(args, "--to", &positions);
  if (!to) return CliError{std::string(NO_TARGET_TEXT)};
  SendRequest request;
  request.to = std::move(*to);
  request.name = device_name(take_option(args, "--name", &positions));
  request.note = take_option(args, "--text", &positions);
  const bool short_flag = take_flag(args, "-r", &positions);
  request.recursive = take_flag(args, "--recursive", &positions) || short_flag;
  request.secure = take_flag(args, "--secure", &positions);
  request.verify = take_flag(args, "--verify", &positions);
  request.allow_clear = take_flag(args, "--allow-clear", &positions);
  request.paths = expand_file_arguments(std::move(args), positions);
  if (!request.note && request.paths.empty()) {
    return CliError{std::string(NOTHING_TO_SEND_TEXT)};
  }
  // The offer exactly as the shared protocol has it, which knows no
  // folders: flattened, a folder's files could meet under one name.
  request.plain = extensions_turned_off();
  if (request.plain && request.recursive) {
    return CliError{std::string(NO_FOLDERS_WITHOUT_EXTENSIONS_TEXT)};
  }
  if (request.plain && (request.secure || request.verify)) {
    return CliError{std::string(NO_SECURE_WITHOUT_EXTENSIONS_TEXT)};
  }
  if (request.allow_clear && (request.secure || request.verify)) {
    return CliError{std::string(CLEAR_AND_SECURE_TEXT)};
  }
  return request;
}

// The offer of `request` as yet without its files.
Offer offer_of(const SendRequest& request) {
  Offer offer;
  offer.from = request.name;
  offer.from_id = load_device_id();
  offer.text = request.note;
  // Files stream to a receiver of ours; a note is one answer either way.
  if (!request.note && !request.plain) {
    offer.extensions =
        OfferExtensions{STREAM_VERSION, std::nullopt, RESUME_VERSION};
  }
  return offer;
}

// All files of a send and their bytes, at most UINT64_MAX.
SendTotal total_of(const SendList& sources) {
  SendTotal total{sources.size(), 0};
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const std::uint64_t size = sources.info(i).size;
    total.bytes =
        size > UINT64_MAX - total.bytes ? UINT64_MAX : total.bytes + size;
  }
  return total;
}

// The token a receiver handed out for the next part of a send, and the
// files that part may list (0: the shared limit).
struct NextPart {
  std::string token;
  std::uint64_t files = 0;
};

// What a send shows on the console: the progress line of the file being
// sent (on a terminal only), a line per verified file, and the summary.
// Also keeps what the receiver handed out for the next part.
class SendReport final : public SenderEvents {
 public:
  // For `offer`, whose parts list the `count` files of a send to `address`
  // in turn.
  SendReport(const Offer& offer, std::size_t count, std::string address)
      : m_offer(offer), m_count(count), m_address(std::move(address)) {}
  // What an interruption says is for this send alone.
  ~SendReport() { platform::set_interrupt_message(""); }
  SendReport(const SendReport&) = delete;
  SendReport& operator=(const SendReport&) = delete;

  // The send goes in `parts` parts at most.
  void in_parts(std::size_t parts) const {
    console::print(Stream::err,
                   "Sending " + std::to_string(m_count) + " files in up to " +
                       std::to_string(parts) +
                       " parts: a receiver need not take more than " +
                       std::to_string(MAX_OFFER_FILES) + " in one offer\n");
  }
  // The offer now lists the part whose first file is the send's `first`.
  void part_starts(std::size_t first) {
    m_first = first;
    m_resumed.clear();
    m_bar.reset();
  }
  // Erases the progress line before the error line or anything else.
  void part_ended() { m_bar.reset(); }
  // Said at a terminal, once per send: each part is another connection.
  void secured(const Authenticated& receiver) override {
    const bool said = m_secured;
    m_secured = true;
    if (said || !console::on_terminal(Stream::err)) return;
    console::print(
        Stream::err,
        console::peer(Stream::err, secured_text("to", receiver)) + "\n");
  }
  bool confirm_code(const Authenticated& receiver, std::string_view code,
                    bool asked_here) override {
    return confirm_code_at_console(receiver.name, code, asked_here);
  }
  // The secure channel came up for some part of the send.
  bool secured() const { return m_secured; }

  // What the last answer handed out for the next part, if anything.
  std::optional<NextPart> take_next_part() {
    return std::exchange(m_next, std::nullopt);
  }
  // The failure of the send with `message`.
  CliError failed(std::string message) const;
  // Writes the line that ends a send that went well.
  void finished() const;

  void offered() override {
    console::print(Stream::err, "Waiting for " + m_address + " to accept...\n");
  }
  void progress(std::size_t index, std::uint64_t done) override;
  void verified(std::size_t index, std::chrono::nanoseconds elapsed) override;
  void settled() override {
    m_bar.reset();
    console::print(Stream::err, m_sent_lines);
    m_sent_lines.clear();
  }
  void resumable() override;
  void resuming(std::size_t index, std::uint64_t offset) override;
  // The next part of a long send goes in without a second question, and
  // may be longer.
  void token(std::string token, std::uint64_t next_files) override {
    m_next = NextPart{std::move(token), next_files};
  }

 private:
  // How many files were verified, and that the same command goes on.
  std::string how_far() const;

  const Offer& m_offer;
  const std::size_t m_count;
  const std::string m_address;
  const bool m_terminal = console::on_terminal(Stream::err);
  std::size_t m_first = 0;  // the part's first file among all sources
  std::optional<console::ProgressLine> m_bar;
  std::size_t m_bar_index = 0;
  std::optional<NextPart> m_next;
  // Where files of this part go on, and whether an interrupted send can.
  std::map<std::size_t, std::uint64_t> m_resumed;
  bool m_resumable = false;
  bool m_secured = false;
  std::size_t m_verified = 0;
  // For the line that sums a send up at a terminal: the files' own times
  // add up to the time spent sending, without connecting and asking.
  SendTally m_tally;
  // The lines of verdicts that came together go out in one write.
  std::string m_sent_lines;
};

CliError SendReport::failed(std::string message) const {
  // A receiver's own name may be in it.
  message = console::peer(Stream::err, message);
  // A person sees, last, how far it got and that it need not start over.
  if (m_resumable && m_terminal) {
    message += "\n" + how_far();
  }
  return CliError{message};
}

std::string SendReport::how_far() const {
  return std::to_string(m_verified) + " of " + std::to_string(m_count) +
         " files were verified; the same command goes on where this one "
         "stopped";
}

void SendReport::resumable() {
  m_resumable = true;
  if (m_terminal) platform::set_interrupt_message(how_far() + "\n");
}

void SendReport::finished() const {
  if (m_offer.text) {
    console::print(Stream::err, "Sent.\n");
  } else if (m_terminal) {
    console::print(Stream::err, sent_summary(m_tally));
  }
}

void SendReport::progress(std::size_t index, std::uint64_t done) {
  if (!m_bar || m_bar_index != index) {
    m_bar.reset();
    const FileInfo& file = m_offer.files[index];
    const auto at = m_resumed.find(index);
    // The rate and the time left count from where the file goes on.
    m_bar.emplace(file.name, file.size, m_first + index + 1, m_count,
                  at == m_resumed.end() ? 0 : at->second);
    m_bar_index = index;
  }
  m_bar->update(done);
}

void SendReport::verified(std::size_t index, std::chrono::nanoseconds elapsed) {
  const FileInfo& file = m_offer.files[index];
  const auto at = m_resumed.find(index);
  const std::uint64_t held = at == m_resumed.end() ? 0 : at->second;
  // A person sees which of the folder's files it was; scripts keep the
  // name alone.
  const std::string shown =
      m_terminal && file.folder ? path_in_folder(file) : file.name;
  m_sent_lines += sent_line(shown, file.size, held, elapsed);
  ++m_verified;
  m_tally.add(file.size, held, elapsed);
  if (m_resumable && m_terminal) {
    platform::set_interrupt_message(how_far() + "\n");
  }
}

void SendReport::resuming(std::size_t index, std::uint64_t offset) {
  const FileInfo& file = m_offer.files[index];
  m_resumed[index] = offset;
  if (offset < file.size) {
    console::print(Stream::err, "Resuming " + file.name + " at " +
                                    console::format_size(offset) + "\n");
  }
}

// Makes `offer` list files `first` to `end` (not included) of `sources`;
// `plain`, without their times.
void list_files(Offer& offer, const SendList& sources, std::size_t first,
                std::size_t end, bool plain) {
  offer.files.clear();
  offer.files.reserve(end - first);
  for (std::size_t i = first; i < end; ++i) {
    offer.files.push_back(sources.info(i));
    if (plain) offer.files.back().modified.reset();
  }
}

// A longer part still fits the offer's frame; long names make it shorter,
// though never below what any receiver takes. Returns the part's end.
std::size_t fit_frame(Offer& offer, const SendParts& parts, std::size_t first,
                      std::size_t end) {
  for (std::size_t shorter = parts.shortened_end(first, end);
       shorter != end && offer_to_json(offer).size() > MAX_OFFER_BYTES;
       shorter = parts.shortened_end(first, end)) {
    end = shorter;
    offer.files.erase(
        offer.files.begin() + static_cast<std::ptrdiff_t>(end - first),
        offer.files.end());
  }
  return end;
}

// Offers the files of `sources` to `target`, in as many parts as they
// take; a note goes in one offer that lists no file. `secured`, when
// given, is set when the secure channel came up for some part.
CommandResult offer_all(const SendRequest& request, const SendList& sources,
                        const SocketAddress& target, const SecureSend* secure,
                        bool* secured = nullptr) {
  const SendParts parts{
      request.note ? 0 : sources.size(),
      request.recursive && !request.note && sources.size() > MAX_OFFER_FILES};
  Offer offer = offer_of(request);
  SendReport report(offer, sources.size(), format_address(target));
  if (parts.split) report.in_parts(parts.count_at_shared_limit());
  std::size_t first = 0;  // the part's first file among all sources
  do {
    const std::optional<NextPart> next = report.take_next_part();
    std::size_t end = parts.part_end(first, next ? next->files : 0);
    list_files(offer, sources, first, end, request.plain);
    if (offer.extensions) {
      offer.extensions->token =
          next ? std::optional(next->token) : std::nullopt;
      // The receiver asks once, about the whole send.
      offer.extensions->total.reset();
      if (parts.split && first == 0)
        offer.extensions->total = total_of(sources);
    }
    end = fit_frame(offer, parts, first, end);
    report.part_starts(first);
    Status sent = run_sender(
        target, offer,
        [&](std::size_t index) {
          return Source{sources.path(first + index),
                        sources.modified(first + index)};
        },
        report, secure);
    report.part_ended();
    if (secured) *secured = report.secured();
    if (!sent.ok()) return report.failed(sent.error().message);
    first = end;
  } while (first < parts.files);
  report.finished();
  return {};
}

// Says at a terminal that the send goes in clear, and why.
void say_clear(std::string_view why) {
  if (!console::on_terminal(Stream::err)) return;
  console::print(Stream::err,
                 "Sending in clear: " + console::peer(Stream::err, why) + "\n");
}

// Sends over the secure channel whenever the receiver may be had on it:
// its beacon announced a key, a device was met securely at its address or
// under its id (and is then never sent to in clear without --allow-clear),
// or, reached by address alone, it says it takes the channel.
CommandResult send_to(const SendRequest& request, const SendList& sources,
                      const SocketAddress& target, const Device& announced) {
  const std::string address = format_address(target);
  if (request.plain) {
    say_clear("the extensions are turned off");
    return offer_all(request, sources, target, nullptr);
  }
  const KnownDevices known = KnownDevices::load(device_folder());
  const KnownDevice* pinned_id =
      announced.id.empty() ? nullptr : known.find(announced.id);
  const KnownDevice* pinned_here = known.find_at(address);
  // A beacon under a name met securely, but another id and no key, may be
  // someone posing as that device: it gets the channel, or nothing.
  const KnownDevice* pinned_name =
      announced.id.empty() ? nullptr : known.find_named(announced.name);
  std::optional<secure::Key> announced_key;
  if (secure::Key key{}; text::from_hex(announced.key, key)) {
    announced_key = key;
  }
  const bool met_securely = pinned_id || pinned_here || pinned_name;
  const bool known_secure = announced_key || met_securely;
  // Reached by address alone, a receiver is asked whether it takes the
  // channel; one that does not is sent to in clear.
  const bool required = request.secure || request.verify;
  const bool ask_first = !known_secure && announced.id.empty() && !required;
  // Found by name, announcing no key and met nowhere: a device of the
  // shared protocol.
  if (!known_secure && !announced.id.empty() && !required) {
    say_clear(address + " takes no secure connection");
    return offer_all(request, sources, target, nullptr);
  }
  Result<LocalDevice> device =
      load_local_device(load_device_id(), request.name);
  if (!device.ok()) {
    if (ask_first) {
      say_clear("this device has no key: " + device.error().message);
      return offer_all(request, sources, target, nullptr);
    }
    return CliError{cannot_secure_text(address, device.error().message)};
  }
  // A device new to us must hold the key its beacon announced, or that of
  // the device pinned at this address.
  bool not_taken = false, unavailable = false;
  SecureSend secure_send{*device,   announced_key, std::nullopt, request.verify,
                         ask_first, &not_taken,    &unavailable};
  if (!announced_key && pinned_here) secure_send.expected = pinned_here->key;
  // Found by name, it must be the device whose beacon was heard.
  if (!announced.id.empty()) secure_send.expected_id = announced.id;
  bool secured = false;
  CommandResult sent =
      offer_all(request, sources, target, &secure_send, &secured);
  // A later part of a long send that failed so has sent earlier ones
  // securely: it ends there.
  if (sent.ok() || secured || !(not_taken || unavailable) || required) {
    return sent;
  }
  if (not_taken || request.allow_clear) {
    say_clear(not_taken ? address + " takes no secure connection"
                        : sent.error().message);
    return offer_all(request, sources, target, nullptr);
  }
  CliError failed = std::move(sent).error();
  failed.message += met_securely ? MET_SECURELY_TEXT : NOT_IN_CLEAR_TEXT;
  return failed;
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

void SendTally::add(std::uint64_t size, std::uint64_t held,
                    std::chrono::nanoseconds elapsed) {
  if (held >= size && size > 0) {
    ++there_files;
    there_bytes += size;
    return;
  }
  ++sent_files;
  sent_bytes += size - held;
  sent_time += elapsed;
  resumed_bytes += held;
}

std::string sent_line(std::string_view shown, std::uint64_t size,
                      std::uint64_t held, std::chrono::nanoseconds elapsed) {
  // A resumed file's rate counts what moved now.
  const std::string how = held >= size && size > 0
                              ? "already there"
                              : console::format_size(console::transfer_rate(
                                    size - std::min(held, size), elapsed)) +
                                    "/s";
  return "Sent " + std::string(shown) + " (" + console::format_size(size) +
         ", " + how + ", verified)\n";
}

std::string sent_summary(const SendTally& tally) {
  std::string sent, there;
  if (tally.sent_files > 0) {
    sent = "Sent " + files_text(tally.sent_files) + ", " +
           console::format_size(tally.sent_bytes) + " in " +
           console::format_duration(tally.sent_time) + " (" +
           console::format_size(
               console::transfer_rate(tally.sent_bytes, tally.sent_time)) +
           "/s)";
  }
  if (tally.there_files > 0) {
    there = files_text(tally.there_files) + ", " +
            console::format_size(tally.there_bytes) + ",";
  }
  if (tally.resumed_bytes > 0) {
    there += (there.empty() ? "" : " and ") +
             console::format_size(tally.resumed_bytes) + " of the " +
             (tally.sent_files == 1 ? "file" : "files") + " sent";
  }
  if (!there.empty()) {
    const bool one = tally.there_files + (tally.resumed_bytes > 0) == 1;
    there += (one ? " was" : " were") + std::string(" already there");
  }
  return sent + (!sent.empty() && !there.empty() ? "; " : "") + there + "\n";
}

std::size_t SendParts::count_at_shared_limit() const {
  return (files + MAX_OFFER_FILES - 1) / MAX_OFFER_FILES;
}

std::size_t SendParts::part_end(std::size_t first,
                                std::uint64_t granted) const {
  std::uint64_t most = split ? MAX_OFFER_FILES : files;
  if (split) most = std::max(most, granted);
  return first +
         static_cast<std::size_t>(std::min<std::uint64_t>(most, files - first));
}

std::size_t SendParts::shortened_end(std::size_t first, std::size_t end) const {
  if (!split || end - first <= MAX_OFFER_FILES) return end;
  return first + std::max(MAX_OFFER_FILES, (end - first) / 2);
}

CommandResult send(Args args) {
  // The digest's first use takes milliseconds (OpenSSL sets itself up):
  // done on a thread of its own while the files are checked and the
  // receiver found. Joined when the command ends.
  std::jthread prepare_digest;
  try {
    prepare_digest = std::jthread(platform::Sha256::prepare);
  } catch (const std::system_error&) {
    // Then it happens at the first digest.
  }
  console::write_terminals_in_background();
  // An interruption ends the progress line first, as in receive.
  platform::discard_incoming_on_interrupt();
  Result<SendRequest, CliError> request = read_request(std::move(args));
  if (!request.ok()) return std::move(request).error();
  Result<SendList, CliError> listed =
      list_sources(std::move(request->paths), request->recursive);
  if (!listed.ok()) return std::move(listed).error();
  Device announced;
  Result<SocketAddress, CliError> target =
      resolve_target(request->to, &announced);
  if (!target.ok()) return std::move(target).error();
  return send_to(*request, listed.value(), *target, announced);
}

}  // namespace burrowlink::commands
