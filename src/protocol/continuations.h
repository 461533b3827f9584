#pragma once

// The parts of a send after the first: a receiver of ours hands out a
// token with its answer, and the next part that brings it is taken without
// asking again, within what the user agreed to.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/address.h"
#include "protocol/offer.h"

namespace burrowlink {

// How long after a part of a send its token lets the next part in.
inline constexpr std::chrono::seconds CONTINUATION_LIMIT{60};
// The most sends whose next part is awaited at once: another sender served
// between two parts must not cost the first one its token.
inline constexpr std::size_t CONTINUATIONS_KEPT = 16;

// The sum of the offered sizes, kept at 2^64 - 1 when it would pass it.
std::uint64_t offered_bytes(const Offer& offer);
// What the user is asked about: the whole send's files and bytes when the
// offer announces them (and they cover the offer), else the offer's own.
SendTotal announced_total(const Offer& offer);

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

}  // namespace burrowlink
