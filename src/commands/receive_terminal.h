#pragma once

// What `receive` adds for a person at a terminal: what is offered, where the
// device can be reached, and why offers would be declined. Pipes and files
// never see any of it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"
#include "protocol/offer.h"

namespace burrowlink::commands {

// Files listed before the accept question.
inline constexpr std::size_t LISTED_FILES = 10;

// The lines shown before the accept question: up to LISTED_FILES files, each
// with its folder and size, "… and N more", the folders sent whole, and the
// address it came `from`, since a sender's name can be anything. Texts from
// the sender come escaped for a terminal.
std::string offer_listing(const Offer& offer,
                          const std::optional<SocketAddress>& from);

// Where senders can reach this device: each address with `port`; when
// `requested` was taken and `port` chosen instead, a second line says so,
// since a sender that gives an address alone tries 45455.
std::string reachable_text(const std::vector<Ipv4>& addresses,
                           std::uint16_t port, std::uint16_t requested);

inline constexpr std::string_view INPUT_CLOSED_TEXT =
    "Standard input is closed, so every offer will be declined; start "
    "receive with --yes to accept offers without asking\n";

// Said once a person at the terminal has answered anything but yes.
inline std::string declined_text(std::string_view sender) {
  return "Declined the offer from " + std::string(sender) + "\n";
}

}  // namespace burrowlink::commands
