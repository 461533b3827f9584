#pragma once

// The sender's side of a transfer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"
#include "protocol/offer.h"
#include "protocol/secure_link.h"

namespace burrowlink {

// The sender's failure texts.
inline constexpr std::string_view DECLINED_TEXT = "declined";
inline std::string cannot_connect_text(std::string_view address,
                                       std::string_view reason) {
  return "cannot connect to " + std::string(address) + ": " +
         std::string(reason);
}
inline std::string no_answer_text(std::string_view reason) {
  return "no answer: " + std::string(reason);
}
inline std::string changed_while_sending_text(std::string_view path) {
  return std::string(path) + " changed while sending";
}
inline std::string connection_lost_text(std::string_view reason) {
  return "connection lost: " + std::string(reason);
}
inline std::string damaged_text(std::string_view name) {
  return std::string(name) + ": the receiver reported damaged data";
}
// The receiver's copy of a file of the same name, size and time that this
// sender sent before differs from it.
inline std::string not_the_same_text(std::string_view name) {
  return std::string(name) +
         ": the receiver's copy is not this file; the next send sends it whole";
}

// What a send reports as it goes, for the console to show. Each event
// does nothing unless a subclass overrides it.
class SenderEvents {
 public:
  virtual ~SenderEvents() = default;

  // The offer has been written; the answer is awaited next.
  virtual void offered() {}
  // `done` bytes of file `index` have been sent.
  virtual void progress(std::size_t /*index*/, std::uint64_t /*done*/) {}
  // File `index` was verified, `elapsed` after it was opened, or, where
  // files overlap, after the later of its opening and the verdict before.
  virtual void verified(std::size_t /*index*/,
                        std::chrono::nanoseconds /*elapsed*/) {}
  // The verdicts that arrived together have all been reported through
  // `verified`: a moment to write what they made.
  virtual void settled() {}
  // The receiver can resume files; an interrupted send can go on.
  virtual void resumable() {}
  // File `index` goes on after its first `offset` bytes, which the
  // receiver has (all of them: it is there already).
  virtual void resuming(std::size_t /*index*/, std::uint64_t /*offset*/) {}
  // The receiver handed out a token for the next part of this send, which
  // may list up to `next_files` (0: the shared limit).
  virtual void token(std::string /*token*/, std::uint64_t /*next_files*/) {}
  // The secure channel authenticated the receiving device.
  virtual void secured(const Authenticated& /*receiver*/) {}
  // Shows the code to compare with the receiver's; true when the user
  // confirmed it. `asked_here`: this side's user asked for codes.
  virtual bool confirm_code(const Authenticated& /*receiver*/,
                            std::string_view /*code*/, bool /*asked_here*/) {
    return false;
  }
};

// How a send goes over the secure channel: as `device`, to a receiver
// that, when new to this device, must hold `expected` (the key its beacon
// announced, or that of the device pinned at its address). With
// `verify`, the users compare a code before anything is offered. With
// `ask_first`, an offer that lists nothing asks the receiver whether it
// takes the channel; one that does not closes it unanswered (as the
// shared protocol has it).
struct SecureSend {
  const LocalDevice& device;
  std::optional<secure::Key> expected;
  // The id its beacon announced, which its handshake must carry.
  std::optional<DeviceId> expected_id;
  bool verify = false;
  bool ask_first = false;
  // Set when the channel could not be had, nothing having gone: the
  // receiver does not take it, or the handshake failed (but not because
  // either side refused the other).
  bool* not_taken = nullptr;
  bool* unavailable = nullptr;
};
inline std::string cannot_secure_text(std::string_view address,
                                      std::string_view reason) {
  return "cannot connect securely to " + std::string(address) + ": " +
         std::string(reason);
}

// Where a file of an offer is read from, and the modification time it had
// when it was listed: one whose size or time moved since is not the file
// offered.
struct Source {
  std::string path;
  // None: only its size is checked.
  std::optional<std::int64_t> modified = std::nullopt;
};
// The source of file `index`; asked when its turn comes.
using SourceOf = std::function<Source(std::size_t index)>;

// Connects to `to`, offers `offer` and, once accepted, streams the file
// `source_of(i)` for each `offer.files[i]` with its digest. A receiver of
// ours that takes up `offer.extensions` gets the files back to back;
// others get each file only after the verdict on the one before. A file
// that changed since it was listed fails the send before its digest, so
// that the receiver keeps nothing of it. Fails with the finished message
// ("declined", "no answer: ..."). With `secure`, all of it goes inside
// the secure channel, and only to the device the pins allow.
Status run_sender(const SocketAddress& to, const Offer& offer,
                  const SourceOf& source_of, SenderEvents& events,
                  const SecureSend* secure = nullptr);

}  // namespace burrowlink
