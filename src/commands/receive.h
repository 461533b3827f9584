#pragma once

// The `receive` command: the listener, the question at the console, and
// one connection served at a time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/network.h"
#include "protocol/offer.h"
#include "storage/store.h"

namespace burrowlink {

struct ReceiveOptions {
  std::string folder = ".";
  bool auto_accept = false;
  bool once = false;
  std::string name;
  std::uint16_t port = 45455;
  // Takes up the extensions an offer of ours asks for; without, answers
  // 0x01 or 0x00 only.
  bool extensions = true;
};

// How long after a part of a send its token lets the next part in.
inline constexpr std::chrono::seconds CONTINUATION_LIMIT{60};
// The most sends whose next part is awaited at once: another sender served
// between two parts must not cost the first one its token.
inline constexpr std::size_t CONTINUATIONS_KEPT = 16;

// The next part of a send that a receiver takes without asking: the offer
// that brings `token` from the same address and sender id, in time, and
// within what the user agreed to (`files` and `bytes` still to come).
struct Continuation {
  using Clock = std::chrono::steady_clock;
  std::string token;
  SocketAddress peer;
  std::optional<std::string> from_id;
  Clock::time_point until;
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  // The offer brings this token from its sender, in time.
  bool owns(const Offer& offer, const SocketAddress& from,
            Clock::time_point now) const;
  bool admits(const Offer& offer, const SocketAddress& from,
              Clock::time_point now) const;
};

// What the sends in parts being served await, one entry per token.
class Continuations {
 public:
  using Clock = Continuation::Clock;
  // The entry that lets `offer` in, taken out. A token is good once: the
  // entry its sender brings goes also when the offer is too big for it.
  std::optional<Continuation> take(const Offer& offer,
                                   const SocketAddress& from,
                                   Clock::time_point now);
  // Keeps `next`; the one nearest its end goes when CONTINUATIONS_KEPT are
  // kept already.
  void add(Continuation next, Clock::time_point now);
  std::size_t size() const { return m_entries.size(); }

 private:
  std::vector<Continuation> m_entries;
};

// What the user is asked about: the whole send's files and bytes when the
// offer announces them (and they cover the offer), else the offer's own.
SendTotal announced_total(const Offer& offer);

// Handles one connection: offer, answer, then the note or the files.
// `continuations` holds what earlier parts of sends left, and gets what
// this one leaves for its next part.
Status serve_connection(platform::TcpStream& stream,
                        const ReceiveOptions& options,
                        Continuations& continuations, Store& store);

// "a note: {text}" or "{count} file(s), {size}" (of the whole send, as
// `announced_total`), with " (up to {held} already here)" when some is.
std::string offer_summary(const Offer& offer, std::uint64_t held = 0);
// The sum of the offered sizes, kept at 2^64 - 1 when it would pass it.
std::uint64_t offered_bytes(const Offer& offer);
// On a terminal, says so when the offered files cannot fit in `folder`.
void warn_if_no_room(const Offer& offer, const std::string& folder);

enum class Answer { accept, decline, sender_left };
// Asks at the console: accept for "y" or "yes" in any case. When `watched`
// is given and standard input is a terminal, a sender that leaves ends the
// question (sender_left). A person at a terminal who declines is told so.
Answer ask_to_accept(std::string_view name, std::string_view summary,
                     const platform::TcpStream* watched = nullptr);

namespace commands {

// `receive [--dir D] [--yes] [--once] [--name N] [--port P]`.
CommandResult receive(Args args);

}  // namespace commands
}  // namespace burrowlink
