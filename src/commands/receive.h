#pragma once

// The `receive` command: the listener, the question at the console, and
// one connection served at a time.

#include <cstdint>
#include <string>

#include "cli/options.h"
#include "platform/network.h"
#include "protocol/offer.h"

namespace burrowlink {

struct ReceiveOptions {
  std::string folder = ".";
  bool auto_accept = false;
  bool once = false;
  std::string name;
  std::uint16_t port = 45455;
};

// Handles one connection: offer, answer, then the note or the files.
Status serve_connection(platform::TcpStream& stream,
                        const ReceiveOptions& options);

// "a note: {text}" or "{count} file(s), {size}".
std::string offer_summary(const Offer& offer);
// The sum of the offered sizes, kept at 2^64 - 1 when it would pass it.
std::uint64_t offered_bytes(const Offer& offer);
// On a terminal, says so when the offered files cannot fit in `folder`.
void warn_if_no_room(const Offer& offer, const std::string& folder);

enum class Answer { accept, decline, sender_left };
// Asks at the console: accept for "y" or "yes" in any case. When `watched`
// is given and standard input is a terminal, a sender that leaves ends the
// question (sender_left).
Answer ask_to_accept(std::string_view name, std::string_view summary,
                     const platform::TcpStream* watched = nullptr);

namespace commands {

// `receive [--dir D] [--yes] [--once] [--name N] [--port P]`.
CommandResult receive(Args args);

}  // namespace commands
}  // namespace burrowlink
