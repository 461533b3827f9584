#include "commands/receive.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "commands/receive_terminal.h"
#include "console/console.h"
#include "console/format.h"
#include "discovery/announcer.h"
#include "identity/identity.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "protocol/extensions.h"
#include "protocol/receiver.h"
#include "protocol/wire.h"
#include "storage/folders.h"
#include "storage/store.h"
#include "text/unicode.h"

namespace burrowlink {

using console::Stream;
using platform::TcpStream;
using Clock = std::chrono::steady_clock;

std::uint64_t offered_bytes(const Offer& offer) {
  std::uint64_t total = 0;
  for (const FileInfo& file : offer.files) {
    // Past 2^64 bytes only the shown total is affected; keep it at the top.
    total = file.size > UINT64_MAX - total ? UINT64_MAX : total + file.size;
  }
  return total;
}

SendTotal announced_total(const Offer& offer) {
  const SendTotal own{offer.files.size(), offered_bytes(offer)};
  if (offer.text || !offer.extensions || !offer.extensions->total) return own;
  const SendTotal& total = *offer.extensions->total;
  // A whole that is less than this part announces nothing.
  return total.files >= own.files && total.bytes >= own.bytes ? total : own;
}

std::string offer_summary(const Offer& offer, std::uint64_t held) {
  if (offer.text) return "a note: " + *offer.text;
  const SendTotal total = announced_total(offer);
  std::string summary =
      std::to_string(total.files) + " file(s), " + format_size(total.bytes);
  // The sender has yet to prove it has the same bytes.
  if (held > 0) summary += " (up to " + format_size(held) + " already here)";
  return summary;
}

void warn_if_no_room(const Offer& offer, const std::string& folder) {
  // A person at a terminal may want to decline; scripts and peers see
  // nothing of this.
  if (offer.text || !console::on_terminal(Stream::err)) return;
  Result<std::uint64_t> room = platform::free_space(folder);
  std::uint64_t needed = offered_bytes(offer);
  if (!room.ok() || needed <= room.value()) return;
  console::print(Stream::err, "This needs " + format_size(needed) +
                                  " but only " + format_size(room.value()) +
                                  " is free in " + folder + "\n");
}

Answer ask_to_accept(std::string_view name, std::string_view summary,
                     const TcpStream* watched) {
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
  if (closed) return Answer::decline;
  std::optional<std::string> line;
  if (person && watched != nullptr) {
    platform::InputLine input = platform::read_input_line_while_open(*watched);
    if (input.peer_left) return Answer::sender_left;
    line = std::move(input.line);
  } else {
    line = platform::read_input_line();
  }
  if (line && text::is_valid_utf8(*line)) {
    std::string reply = text::to_lower(text::trim_white_space(*line));
    if (reply == "y" || reply == "yes") return Answer::accept;
  }
  if (person) {
    // The answer's own line ended the question's, unless none was typed
    // (Ctrl+D).
    console::print(Stream::err,
                   std::string(line ? "" : "\n") +
                       declined_text(console::peer(Stream::err, name)));
  }
  return Answer::decline;
}

bool Continuation::owns(const Offer& offer, const SocketAddress& from,
                        Clock::time_point now) const {
  return offer.extensions && offer.extensions->token &&
         *offer.extensions->token == token && from.ip == peer.ip &&
         from.is_v6 == peer.is_v6 && offer.from_id == from_id && now <= until;
}

bool Continuation::admits(const Offer& offer, const SocketAddress& from,
                          Clock::time_point now) const {
  return owns(offer, from, now) && offer.files.size() <= files &&
         offered_bytes(offer) <= bytes;
}

std::optional<Continuation> Continuations::take(const Offer& offer,
                                                const SocketAddress& from,
                                                Clock::time_point now) {
  std::erase_if(m_entries,
                [&](const Continuation& entry) { return now > entry.until; });
  // A token another address or sender brings is not theirs to spend.
  const auto found = std::find_if(
      m_entries.begin(), m_entries.end(),
      [&](const Continuation& entry) { return entry.owns(offer, from, now); });
  if (found == m_entries.end()) return std::nullopt;
  Continuation entry = std::move(*found);
  m_entries.erase(found);
  if (!entry.admits(offer, from, now)) return std::nullopt;
  return entry;
}

void Continuations::add(Continuation next, Clock::time_point now) {
  std::erase_if(m_entries,
                [&](const Continuation& entry) { return now > entry.until; });
  if (m_entries.size() >= CONTINUATIONS_KEPT) {
    m_entries.erase(
        std::min_element(m_entries.begin(), m_entries.end(),
                         [](const Continuation& a, const Continuation& b) {
                           return a.until < b.until;
                         }));
  }
  m_entries.push_back(std::move(next));
}

Status serve_connection(TcpStream& stream, const ReceiveOptions& options,
                        Continuations& continuations, Store& store) {
  if (Status set = stream.set_read_timeout(OFFER_READ_TIMEOUT); !set.ok()) {
    return set;
  }
  Result<Offer> read = read_offer(stream);
  if (!read.ok()) return std::move(read).error();
  const Offer& offer = read.value();
  // A sender of ours that streams: files back to back, and the parts of a
  // long send accepted once.
  const bool streams = options.extensions && !offer.text && offer.extensions &&
                       offer.extensions->stream >= 1;
  const Result<SocketAddress> from = stream.peer_address();
  std::optional<Continuation> continued;
  if (streams && from.ok()) {
    continued = continuations.take(offer, *from, Clock::now());
  }
  const bool continues = continued.has_value();
  // Offers that no sender of ours makes get no answer at all. The next
  // part of a send may be longer than a first offer, also when its token
  // is no longer good: then it is asked about, so that its sender hears.
  const bool next_part = streams && offer.extensions->token;
  const std::size_t most = next_part ? NEXT_PART_FILES : MAX_OFFER_FILES;
  if (!offer.text && (offer.files.empty() || offer.files.size() > most)) {
    return {};
  }

  std::string sender(text::first_scalars(offer.from, DEVICE_NAME_MAX));
  // One that resumes goes on with what earlier transfers left here.
  const bool resumes =
      streams && offer.extensions->resume >= 1 && offer.from_id;
  Holdings holdings;
  if (resumes) holdings = find_holdings(offer, store);
  const std::uint64_t held = held_bytes(holdings);
  warn_if_no_room(offer, options.folder);
  bool accepted = options.auto_accept || continues;
  if (continues && !options.auto_accept) {
    console::print(Stream::err,
                   "Accepted without asking, as the next part of a send from " +
                       console::peer(Stream::err, sender) + ": " +
                       console::peer(Stream::err, offer_summary(offer, held)) +
                       "\n");
  }
  if (!accepted) {
    if (console::on_terminal(Stream::err)) {
      console::print(Stream::err,
                     offer_listing(offer, from.ok() ? std::optional(*from)
                                                    : std::nullopt));
    }
    Answer answer = ask_to_accept(sender, offer_summary(offer, held), &stream);
    if (answer == Answer::sender_left) {
      console::print(Stream::err, "\n");  // ends the question's line
      return Error{sender_left_text(sender)};
    }
    accepted = answer == Answer::accept;
  }
  std::optional<std::string> token;
  if (accepted && streams) {
    // Verdicts of one byte must not wait for Nagle's algorithm.
    (void)stream.set_no_delay();
    token = new_token();
    ExtensionAnswer extended{STREAM_WINDOW, token, NEXT_PART_FILES};
    if (resumes) extended.resume = resume_list(holdings);
    if (Status sent = write_extension_answer(stream, extended); !sent.ok()) {
      return sent;
    }
  } else {
    std::uint8_t answer = accepted ? ANSWER_ACCEPT : ANSWER_DECLINE;
    if (Status sent = stream.write_all({&answer, 1}); !sent.ok()) {
      return sent;
    }
  }
  if (!accepted) return {};
  if (offer.text) {
    console::print(Stream::out,
                   "Note from " + console::peer(Stream::out, sender) + ": " +
                       console::peer(Stream::out, *offer.text) + "\n");
    return {};
  }
  if (Status set = stream.set_read_timeout(FILE_PHASE_TIMEOUT); !set.ok()) {
    return set;
  }
  Extras extras;
  if (streams) {
    extras.pace = Pace::streamed;
    extras.dates = true;
  }
  if (resumes) {
    extras.holdings = &holdings;
    extras.resume_as = offer.from_id;
  }
  // The file phase opens the store itself, and removes it when emptied.
  store.release();
  Status received =
      receive_files(stream, offer.files, options.folder, sender, extras);
  if (received.ok() && token && from.ok()) {
    // What the user agreed to, less what has come.
    const SendTotal agreed = continues
                                 ? SendTotal{continued->files, continued->bytes}
                                 : announced_total(offer);
    const Clock::time_point now = Clock::now();
    continuations.add({*token, *from, offer.from_id, now + CONTINUATION_LIMIT,
                       agreed.files - offer.files.size(),
                       agreed.bytes - offered_bytes(offer)},
                      now);
  }
  // What this transfer left that no resume can use goes now.
  if (store.open(false).ok()) store.tidy(WallClock::now(), false);
  return received;
}

namespace commands {

CommandResult receive(Args args) {
  ReceiveOptions options;
  options.folder = take_option(args, "--dir").value_or(".");
  options.auto_accept = take_flag(args, "--yes");
  options.once = take_flag(args, "--once");
  options.extensions = !extensions_turned_off();
  options.name = device_name(take_option(args, "--name"));
  if (std::optional<std::string> port = take_option(args, "--port")) {
    options.port = static_cast<std::uint16_t>(
        parse_number_option(*port, UINT16_MAX).value_or(TRANSFER_PORT));
  }

  // An interrupted transfer must not leave a partial file that looks whole.
  platform::discard_incoming_on_interrupt();
  console::write_terminals_in_background();
  if (Status prepared = prepare_folder(options.folder); !prepared.ok()) {
    return CliError{path_error_text(options.folder, prepared.error().message)};
  }
  // The receive folder held for the store, which is tidied now: what an
  // earlier run left that no resume can use goes.
  Result<platform::Directory> receive_folder =
      open_receive_folder(options.folder);
  if (!receive_folder.ok()) {
    return CliError{
        path_error_text(options.folder, receive_folder.error().message)};
  }
  std::optional<Store> store;
  store.emplace(*receive_folder);
  if (Status opened = store->open(false); !opened.ok()) {
    return CliError{
        path_error_text(platform::join_path(options.folder, STORE_NAME),
                        opened.error().message)};
  }
  store->tidy(WallClock::now());
  Result<platform::TcpListener> listener =
      platform::TcpListener::listen_v4(options.port, 128);
  if (!listener.ok()) {
    listener = platform::TcpListener::listen_v4(0, 128);
    if (!listener.ok()) {
      return CliError{cannot_listen_text(listener.error().message)};
    }
  }
  Result<std::uint16_t> bound = listener->local_port();
  std::uint16_t port = bound.ok() ? bound.value() : 0;

  DeviceId id = load_device_id();
  // Ready before the first sender comes, not while it waits.
  Sha256::prepare();
  try {
    std::thread(run_announcer, std::move(id), options.name, port).detach();
  } catch (const std::system_error& e) {
    platform::fatal(std::string("failed to spawn thread: ") + e.what());
  }
  console::print(Stream::err, "Ready to receive as \"" + options.name +
                                  "\" on port " + std::to_string(port) +
                                  ", saving to " + options.folder + "\n");
  if (console::on_terminal(Stream::err)) {
    std::vector<Ipv4> addresses;
    if (auto interfaces = platform::ipv4_interfaces(); interfaces.ok()) {
      for (const auto& interface : *interfaces) {
        addresses.push_back(interface.address);
      }
    }
    console::print(Stream::err, reachable_text(addresses, port, options.port));
    if (!options.auto_accept && platform::input_is_closed()) {
      console::print(Stream::err, INPUT_CLOSED_TEXT);
    }
  }

  Continuations continuations;
  for (;;) {
    Result<TcpStream> accepted = listener->accept();
    if (!accepted.ok()) {
      // Nothing to report; pause so a lasting fault cannot spin the loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    Status served =
        serve_connection(accepted.value(), options, continuations, *store);
    accepted->close();
    if (!served.ok()) {
      console::print(Stream::err,
                     "transfer failed: " +
                         console::peer(Stream::err, served.error().message) +
                         "\n");
    }
    if (options.once) return {};
  }
}

}  // namespace commands
}  // namespace burrowlink
