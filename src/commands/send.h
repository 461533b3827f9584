#pragma once

// The `send` command: files or a note offered to one device.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace burrowlink::commands {

// `send <file>... --to X [--name N]` or `send --text T --to X`.
CommandResult send(Args args);

// The name `path` is offered under: its last component, with "/" and "\\"
// both separating and a drive or network-share prefix not counting. Empty
// when that component is ".." or nothing follows the prefix.
std::string offered_name(std::string_view path);

// How the files of one send are split into offers. A receiver need take
// at most MAX_OFFER_FILES in one: the files of a folder sent with -r go in
// consecutive offers, each its own connection and answer, and a receiver
// of ours lets the later ones be longer. Without -r an offer is made as it
// is.
struct SendParts {
  std::size_t files = 0;  // of the whole send; none for a note
  bool split = false;     // in parts, rather than in one offer

  // The parts the send takes when each lists MAX_OFFER_FILES.
  std::size_t count_at_shared_limit() const;
  // The end (the first file not in it) of the part that starts at file
  // `first`, where the receiver let it list `granted` files (0: the shared
  // limit). REQUIRES: `first` <= `files`.
  std::size_t part_end(std::size_t first, std::uint64_t granted) const;
  // The end of that part when its offer is too long for its frame: about
  // halved, never below MAX_OFFER_FILES; `end` where it cannot be shorter.
  std::size_t shortened_end(std::size_t first, std::size_t end) const;
};

// What the verified files of a send were: the bytes that crossed the
// network and the time they took, apart from those the receiver had
// already, whole files or the start of one that went on.
struct SendTally {
  std::size_t sent_files = 0;  // some of whose bytes crossed
  std::uint64_t sent_bytes = 0;
  std::chrono::nanoseconds sent_time{0};
  std::size_t there_files = 0;  // already there whole
  std::uint64_t there_bytes = 0;
  std::uint64_t resumed_bytes = 0;  // held of files that went on

  // A file of `size` bytes whose first `held` the receiver had, verified
  // `elapsed` after it started.
  void add(std::uint64_t size, std::uint64_t held,
           std::chrono::nanoseconds elapsed);
};

// "Sent {shown} ({size}, {rate}/s, verified)" for a file whose first
// `held` bytes the receiver had, the rate that of the rest; "already
// there" in place of the rate for one it had whole.
std::string sent_line(std::string_view shown, std::uint64_t size,
                      std::uint64_t held, std::chrono::nanoseconds elapsed);
// The line that sums a send up at a terminal, what was sent apart from
// what was already there.
std::string sent_summary(const SendTally& tally);

}  // namespace burrowlink::commands
