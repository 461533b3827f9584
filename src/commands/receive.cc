#include "commands/receive.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "commands/code_question.h"
#include "commands/receive_terminal.h"
#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "discovery/announcer.h"
#include "discovery/beacon.h"
#include "identity/identity.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "protocol/continuations.h"
#include "protocol/extensions.h"
#include "protocol/receive_session.h"
#include "protocol/wire.h"
#include "storage/folders.h"
#include "storage/store.h"
#include "text/hex.h"
#include "text/unicode.h"

namespace burrowlink::commands {

namespace {

using console::Stream;
using platform::TcpStream;

std::string offer_summary(const Offer& offer, std::uint64_t held) {
  if (offer.text) return "a note: " + *offer.text;
  const SendTotal total = announced_total(offer);
  std::string summary = std::to_string(total.files) + " file(s), " +
                        console::format_size(total.bytes);
  // The sender has yet to prove it has the same bytes.
  if (held > 0)
    summary += " (up to " + console::format_size(held) + " already here)";
  return summary;
}

void warn_if_no_room(const Offer& offer, const std::string& folder) {
  // A person at a terminal may want to decline; scripts and peers see
  // nothing of this.
  if (offer.text || !console::on_terminal(Stream::err)) return;
  Result<std::uint64_t> room = platform::free_space(folder);
  std::uint64_t needed = offered_bytes(offer);
  if (!room.ok() || needed <= room.value()) return;
  console::print(Stream::err, "This needs " + console::format_size(needed) +
                                  " but only " +
                                  console::format_size(room.value()) +
                                  " is free in " + folder + "\n");
}

// Asks at the console: accept for "y" or "yes" in any case. At a terminal
// a sender that leaves ends the question (sender_left). A person at a
// terminal who declines is told so.
Decision ask_to_accept(std::string_view name, std::string_view summary,
                       const TcpStream& watched) {
  const bool closed = platform::input_is_closed();
  // At a terminal a key pressed before the question must not answer it, and
  // a sender that gives up must not leave it open; a script's answers on a
  // pipe are taken as they come.
  const bool person = !closed && platform::input_is_terminal() &&
                      console::on_terminal(Stream::err);
  if (person) platform::discard_typed_input();
  console::print(Stream::err,
                 console::peer(Stream::err, name) + " wants to send you " +
                     console::peer(Stream::err, summary) + ". Accept? [y/N] ");
  console::flush();  // the question shows before the answer is read
  // No answer can come (and a terminal of another job would stop us).
  if (closed) return Decision::decline;
  std::optional<std::string> line;
  if (person) {
    platform::InputLine input = platform::read_input_line_while_open(watched);
    if (input.peer_left) return Decision::sender_left;
    line = std::move(input.line);
  } else {
    line = platform::read_input_line();
  }
  if (is_yes(line)) return Decision::accept;
  if (person) {
    // The answer's own line ended the question's, unless none was typed
    // (Ctrl+D).
    console::print(Stream::err,
                   std::string(line ? "" : "\n") +
                       declined_text(console::peer(Stream::err, name)));
  }
  return Decision::decline;
}

// A line of what arrived: "{what} {path} from {sender} ({size}, verified)".
std::string arrival_line(std::string_view what, const std::string& path,
                         std::string_view sender, std::uint64_t size) {
  return std::string(what) + " " + path + " from " +
         console::peer(Stream::out, sender) + " (" +
         console::format_size(size) + ", verified)\n";
}

// How long the store keeps what waits in it: "7 days".
std::string store_keeps_text() {
  return std::to_string(
             std::chrono::duration_cast<std::chrono::days>(STORE_KEEPS)
                 .count()) +
         " days";
}

// What an interruption leaves of the file arriving, said at a terminal.
std::string held_text(const std::string& folder, std::string_view name,
                      std::uint64_t held) {
  return "Kept " + console::format_size(held) + " of " +
         console::peer(Stream::err, name) +
         " for the same send to go on, up to " + store_keeps_text() +
         " after it began; to drop it, delete " +
         platform::join_path(folder, STORE_NAME) + "\n";
}

// Says at a terminal what earlier transfers left in `store` to go on.
void say_what_waits(const std::string& folder, const Store& store) {
  const auto [files, bytes] = store.waiting();
  if (files == 0 || !console::on_terminal(Stream::err)) return;
  const bool one = files == 1;
  console::print(
      Stream::err,
      console::format_size(bytes) + " of " + std::to_string(files) +
          (one ? " unfinished file waits in " : " unfinished files wait in ") +
          platform::join_path(folder, STORE_NAME) + " for the same " +
          (one ? "send" : "sends") + " to go on, up to " + store_keeps_text() +
          (one ? " after it began; to drop it"
               : " after each began; to drop "
                 "them") +
          ", delete that folder\n");
}

// The console's side of one connection: the question, the status line of
// the file arriving, and a line for each file and note.
class ConsoleReceiver : public ReceiverEvents {
 public:
  explicit ConsoleReceiver(const std::string& folder) : m_folder(folder) {}
  ~ConsoleReceiver() override { let_go(); }
  ConsoleReceiver(const ConsoleReceiver&) = delete;
  ConsoleReceiver& operator=(const ConsoleReceiver&) = delete;

  void probed() override { m_probed = true; }
  // The connection only asked for the channel, and was closed.
  bool was_probe() const { return m_probed; }
  bool confirm_code(const Authenticated& sender, std::string_view code,
                    bool asked_here) override {
    return confirm_code_at_console(sender.name, code, asked_here);
  }
  void offered(const Incoming& incoming) override {
    m_sender = incoming.sender;
    if (console::on_terminal(Stream::err)) {
      const std::string said =
          incoming.secured
              ? secured_text("from", *incoming.secured)
              : "In clear from " + incoming.sender + ": not encrypted";
      console::print(Stream::err, console::peer(Stream::err, said) + "\n");
    }
    warn_if_no_room(incoming.offer, m_folder);
  }
  Decision ask(const Incoming& in) override {
    if (console::on_terminal(Stream::err)) {
      console::print(Stream::err, offer_listing(in.offer, in.from));
    }
    if (in.claims_secure_device) {
      console::print(Stream::err, console::peer(Stream::err, in.sender) +
                                      " connected securely before; this offer "
                                      "comes in clear and may be someone "
                                      "else's\n");
    }
    const Decision decision = ask_to_accept(
        in.sender, offer_summary(in.offer, in.held), in.connection);
    // Ends the question's line.
    if (decision == Decision::sender_left) console::print(Stream::err, "\n");
    return decision;
  }
  void continued(const Incoming& in) override {
    console::print(
        Stream::err,
        "Accepted without asking, as the next part of a send from " +
            console::peer(Stream::err, in.sender) + ": " +
            console::peer(Stream::err, offer_summary(in.offer, in.held)) +
            "\n");
  }
  void note(const Incoming& in) override {
    console::print(Stream::out,
                   "Note from " + console::peer(Stream::out, in.sender) + ": " +
                       console::peer(Stream::out, *in.offer.text) + "\n");
  }
  void progress(const FileInfo& file, std::size_t index, std::size_t count,
                std::uint64_t done) override;
  void holding(const FileInfo& file, std::size_t index,
               std::uint64_t held) override;
  void kept(const FileInfo& file, const std::string& path) override {
    let_go();
    m_bar.reset();
    console::print(Stream::out,
                   arrival_line("Received", path, m_sender, file.size));
  }
  void already_here(const FileInfo& file, const std::string& path) override {
    let_go();
    m_bar.reset();
    console::print(Stream::out,
                   arrival_line("Already here:", path, m_sender, file.size));
  }
  void discarded(const FileInfo& file, Discarded why) override {
    let_go();
    m_bar.reset();
    console::print(Stream::out,
                   console::peer(Stream::out, file.name) +
                       (why == Discarded::damaged
                            ? " was damaged on the way and was discarded\n"
                            : " is not the file received before; the next "
                              "send sends it whole\n"));
  }

 private:
  // The file arriving is no longer what an interruption leaves.
  void let_go() {
    if (m_held) platform::set_interrupt_message("");
    m_held.reset();
  }

  const std::string& m_folder;
  bool m_probed = false;
  std::string m_sender;
  std::optional<console::ProgressLine> m_bar;
  std::size_t m_bar_index = 0;
  // The file an interruption would leave in the store, at a terminal, and
  // where a file that goes on started.
  std::optional<std::size_t> m_held;
  std::uint64_t m_held_from = 0;
};

void ConsoleReceiver::progress(const FileInfo& file, std::size_t index,
                               std::size_t count, std::uint64_t done) {
  if (!m_bar || m_bar_index != index) {
    m_bar.reset();
    // The rate and the time left count from where a file goes on.
    m_bar.emplace(file.name, file.size, index + 1, count,
                  m_held == index ? m_held_from : 0);
    m_bar_index = index;
  }
  m_bar->update(done);
  if (m_held == index) {
    platform::set_interrupt_message(held_text(m_folder, file.name, done));
  }
}

void ConsoleReceiver::holding(const FileInfo& file, std::size_t index,
                              std::uint64_t held) {
  if (!console::on_terminal(Stream::err)) return;
  m_held = index;
  m_held_from = held;
  platform::set_interrupt_message(held_text(m_folder, file.name, held));
}

// Makes the receive folder if it is missing, checks that it takes files,
// and removes what earlier runs left in its store that no resume can use.
std::optional<CliError> prepare(const std::string& folder) {
  if (Status prepared = prepare_folder(folder); !prepared.ok()) {
    return CliError{path_error_text(folder, prepared.error().message)};
  }
  Result<platform::Directory> root = open_receive_folder(folder);
  if (!root.ok()) {
    return CliError{path_error_text(folder, root.error().message)};
  }
  // A folder that takes no file (read-only) would fail every offer: said
  // before anyone is told to send. The probe goes when it goes out of
  // scope, or with an interruption, as any file in progress does.
  if (Result<platform::IncomingFile> probe = create_beside(*root);
      !probe.ok()) {
    return CliError{path_error_text(folder, probe.error().message)};
  }
  Store store(*root);
  if (Status opened = store.open(false); !opened.ok()) {
    return CliError{path_error_text(platform::join_path(folder, STORE_NAME),
                                    opened.error().message)};
  }
  store.prune(WallClock::now());
  say_what_waits(folder, store);
  return std::nullopt;
}

// This device for the secure channel; without its key, said at a
// terminal, it takes clear connections only.
std::optional<LocalDevice> secure_device(const DeviceId& id,
                                         const std::string& name) {
  Result<LocalDevice> device = load_local_device(id, name);
  if (device.ok()) return std::move(device).value();
  if (console::on_terminal(Stream::err)) {
    console::print(Stream::err,
                   "No secure connections: " + device.error().message + "\n");
  }
  return std::nullopt;
}

// The listener on `port`, or on one the system picks when that is taken.
Result<platform::TcpListener> listen(std::uint16_t port) {
  Result<platform::TcpListener> listener =
      platform::TcpListener::listen_v4(port, 128);
  if (listener.ok()) return listener;
  return platform::TcpListener::listen_v4(0, 128);
}

// Says where the device can be reached, and what it saves to.
void announce_ready(const ReceiverSettings& settings, const std::string& name,
                    std::uint16_t port, std::uint16_t requested) {
  console::print(Stream::err, "Ready to receive as \"" + name + "\" on port " +
                                  std::to_string(port) + ", saving to " +
                                  settings.folder + "\n");
  if (!console::on_terminal(Stream::err)) return;
  std::vector<Ipv4> addresses;
  if (auto interfaces = platform::ipv4_interfaces(); interfaces.ok()) {
    for (const auto& interface : *interfaces) {
      addresses.push_back(interface.address);
    }
  }
  console::print(Stream::err, reachable_text(addresses, port, requested));
  if (!settings.auto_accept && platform::input_is_closed()) {
    console::print(Stream::err, INPUT_CLOSED_TEXT);
  }
}

// Serves one connection, and says why it failed, if it did. False for
// one that only asked for the secure channel, which was not there.
bool serve(TcpStream& stream, const ReceiverSettings& settings,
           Continuations& continuations) {
  Status served;
  bool probe = false;
  {
    // Its status line goes before the failure is said.
    ConsoleReceiver console_side(settings.folder);
    served = serve_connection(stream, settings, continuations, console_side);
    probe = console_side.was_probe();
  }
  stream.close();
  if (!served.ok()) {
    console::print(Stream::err,
                   "transfer failed: " +
                       console::peer(Stream::err, served.error().message) +
                       "\n");
  }
  return !probe;
}

}  // namespace

CommandResult receive(Args args) {
  ReceiverSettings settings;
  settings.folder = take_option(args, "--dir").value_or(".");
  settings.auto_accept = take_flag(args, "--yes");
  const bool once = take_flag(args, "--once");
  settings.verify = take_flag(args, "--verify");
  settings.allow_clear = take_flag(args, "--allow-clear");
  settings.extensions = !extensions_turned_off();
  if (settings.verify && !settings.extensions) {
    return CliError{std::string(NO_VERIFY_WITHOUT_EXTENSIONS_TEXT)};
  }
  const std::string name = device_name(take_option(args, "--name"));
  std::uint16_t requested = TRANSFER_PORT;
  if (std::optional<std::string> port = take_option(args, "--port")) {
    requested = static_cast<std::uint16_t>(
        parse_number_option(*port, UINT16_MAX).value_or(TRANSFER_PORT));
  }
  // An interrupted transfer must not leave a partial file that looks whole.
  platform::discard_incoming_on_interrupt();
  console::write_terminals_in_background();
  if (std::optional<CliError> failed = prepare(settings.folder)) {
    return *failed;
  }
  Result<platform::TcpListener> listener = listen(requested);
  if (!listener.ok())
    return CliError{cannot_listen_text(listener.error().message)};
  const std::uint16_t port = listener->local_port().value_or(0);
  // Ready before the first sender comes, not while it waits.
  platform::Sha256::prepare();
  Beacon beacon{std::string(APP_TAG), load_device_id(), name, port};
  std::optional<LocalDevice> device;
  if (settings.extensions) {
    device = secure_device(beacon.id, name);
    if (!device && settings.verify) {
      return CliError{
          "--verify needs the secure channel, which this device cannot take "
          "without its key"};
    }
    if (device) {
      settings.device = &*device;
      beacon.key = text::to_hex(device->key.public_key);
    }
  }
  try {
    std::thread(run_announcer, std::move(beacon)).detach();
  } catch (const std::system_error& e) {
    platform::fatal(std::string("failed to spawn thread: ") + e.what());
  }
  announce_ready(settings, name, port, requested);
  Continuations continuations;
  for (;;) {
    Result<TcpStream> accepted = listener->accept();
    if (!accepted.ok()) {
      // Nothing to report; pause so a lasting fault cannot spin the loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (serve(*accepted, settings, continuations) && once) return {};
  }
}

}  // namespace burrowlink::commands
