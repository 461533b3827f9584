#pragma once

// The `receive` command: the listener, the question at the console, and
// one connection served at a time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

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

// The next part of a send that a receiver takes without asking: the offer
// that brings `token` from the same address and sender id, in time.
struct Continuation {
  using Clock = std::chrono::steady_clock;
  std::string token;
  SocketAddress peer;
  std::optional<std::string> from_id;
  Clock::time_point until;
  bool admits(const Offer& offer, const SocketAddress& from,
              Clock::time_point now) const;
};

// Handles one connection: offer, answer, then the note or the files.
// `continuation` is what the last part of a send left, and what this one
// leaves for its next part.
Status serve_connection(platform::TcpStream& stream,
                        const ReceiveOptions& options,
                        std::optional<Continuation>& continuation,
                        Store& store);

// "a note: {text}" or "{count} file(s), {size}", with " ({held} already
// here)" when some of it is.
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
