#pragma once

// What a receiving session reports as it goes, for whoever shows it: the
// session itself writes nothing to the console.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/address.h"
#include "platform/network.h"
#include "protocol/offer.h"
#include "protocol/secure_link.h"

namespace burrowlink {

// An offer as the session received it.
struct Incoming {
  const Offer& offer;
  // The sender's name, cut to the length a device name may have.
  std::string sender;
  std::optional<SocketAddress> from;
  // Bytes of the offered files that may be here already: the sender has
  // yet to prove they are the same.
  std::uint64_t held = 0;
  // The connection, for a question that ends when the sender leaves.
  const platform::TcpStream& connection;
  // The sending device as the secure channel authenticated it; none on a
  // clear connection.
  const Authenticated* secured = nullptr;
  // A clear offer that claims to come from a device pinned here: asked
  // about always, for it may come from anyone.
  bool claims_secure_device = false;
};

enum class Decision {
  accept,
  decline,
  sender_left,  // the sender gave up waiting before the user answered
};

enum class Discarded {
  damaged,       // its digest did not match its bytes
  not_the_same,  // not the file a sender proved was here already
};

// Every member has an empty default; `ask` declines by default.
class ReceiverEvents {
 public:
  virtual ~ReceiverEvents() = default;
  // Shows the code to compare with the sender's; true when the user
  // confirmed it. `asked_here`: this side's user asked for codes.
  virtual bool confirm_code(const Authenticated& /*sender*/,
                            std::string_view /*code*/, bool /*asked_here*/) {
    return false;
  }
  // The connection only asked for the secure channel, which this receiver
  // does not take: it was closed unanswered.
  virtual void probed() {}
  // An offer arrived and is about to be decided on.
  virtual void offered(const Incoming& /*incoming*/) {}
  // The user's decision; not asked when the offer is taken without asking.
  virtual Decision ask(const Incoming& /*incoming*/) {
    return Decision::decline;
  }
  // Taken without asking, as the next part of a send already accepted.
  virtual void continued(const Incoming& /*incoming*/) {}
  // An accepted note, whose text the offer carries.
  virtual void note(const Incoming& /*incoming*/) {}
  // `done` bytes of file `index` of `count` have arrived.
  virtual void progress(const FileInfo& /*file*/, std::size_t /*index*/,
                        std::size_t /*count*/, std::uint64_t /*done*/) {}
  // From now on an interruption keeps what arrived of file `index`, `held`
  // bytes so far, for the same send to go on. A file that goes on from an
  // earlier transfer says so before its first byte, with what it had.
  virtual void holding(const FileInfo& /*file*/, std::size_t /*index*/,
                       std::uint64_t /*held*/) {}
  // The file was verified and kept at `path`.
  virtual void kept(const FileInfo& /*file*/, const std::string& /*path*/) {}
  // The file was here already, as the sender proved, at `path`.
  virtual void already_here(const FileInfo& /*file*/,
                            const std::string& /*path*/) {}
  // The file's bytes were dropped, and the sender told so.
  virtual void discarded(const FileInfo& /*file*/, Discarded /*why*/) {}
};

}  // namespace burrowlink
