#include "protocol/continuations.h"

#include <algorithm>

namespace burrowlink {

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

}  // namespace burrowlink
