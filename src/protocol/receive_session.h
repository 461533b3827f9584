#pragma once

// The receiver's side of a connection, the mirror of the sender: the offer
// read, the decision asked through the events, the answer, then the note
// or the file phase, and the token that lets the send's next part in.

#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/network.h"
#include "protocol/continuations.h"
#include "protocol/receiver_events.h"
#include "protocol/secure_link.h"

namespace burrowlink {

// What a receiver decides without its user.
struct ReceiverSettings {
  std::string folder = ".";
  // Every offer is accepted without asking.
  bool auto_accept = false;
  // Takes up the extensions an offer of ours asks for; without, answers
  // 0x01 or 0x00 only, and takes no secure connection.
  bool extensions = true;
  // This device on the secure channel; none: clear connections only.
  const LocalDevice* device = nullptr;
  // Each secure connection compares a code before any offer.
  bool verify = false;
  // A clear offer that claims a device known from the secure channel is
  // asked about (never taken without asking) rather than refused.
  bool allow_clear = false;
};

// The failure of a clear offer that claims a device pinned at `pinned`.
std::string clear_from_secure_device_text(std::string_view name,
                                          const secure::Key& pinned);

// The failure of a transfer whose sender left while the question was open.
inline std::string sender_left_text(std::string_view sender) {
  return std::string(sender) + " stopped waiting for the answer";
}

// Serves one connection with the receive folder's one store, which it
// opens, and lets go of (removed when empty) before it returns. One that
// starts with the secure channel's preamble is served inside the channel,
// for the device the handshake authenticated.
// `continuations` holds what earlier parts of sends left, and gets what
// this one leaves for its next part. An offer that no sender of ours makes
// gets no answer at all. Fails with the text that ended the transfer.
Status serve_connection(platform::TcpStream& stream,
                        const ReceiverSettings& settings,
                        Continuations& continuations, ReceiverEvents& events);

}  // namespace burrowlink
