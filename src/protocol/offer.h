#pragma once

// The offer: the one framed message of a transfer.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network.h"
#include "protocol/extensions.h"

namespace burrowlink {

// One offered file.
struct FileInfo {
  std::string name;
  std::uint64_t size = 0;
  // Where it lies in a folder that is sent whole: its folders from the one
  // given to `send -r` down, joined by "/". Written as a member that
  // readers who know nothing of it skip; absent for a file given directly.
  std::optional<std::string> folder = std::nullopt;
  // The source's modification time in nanoseconds since 1970 (UTC), from a
  // sender of ours; another member that other readers skip.
  std::optional<std::int64_t> modified = std::nullopt;
  bool operator==(const FileInfo&) const = default;
};

// What a sender proposes: files, or a note when `text` is present.
struct Offer {
  std::string from;
  std::optional<std::string> from_id;
  std::vector<FileInfo> files;
  std::optional<std::string> text;
  // What a sender of ours asks for beyond the shared protocol, as a member
  // after the others, which other readers skip.
  std::optional<OfferExtensions> extensions = std::nullopt;
  bool operator==(const Offer&) const = default;
};

// The compact JSON body of `offer`, members in the order from, fromId, files,
// text; absent members written as null.
std::string offer_to_json(const Offer& offer);

// Parses a body strictly. Errors carry the texts of a JSON failure, followed
// by " at line {line} column {column}".
Result<Offer> offer_from_json(std::string_view body);

// Writes the offer's frame (write_frame).
Status write_offer(platform::Connection& stream, const Offer& offer);

inline constexpr std::string_view MESSAGE_TOO_LARGE_TEXT = "message too large";

// Reads one frame; fails with MESSAGE_TOO_LARGE_TEXT (kind invalid_data)
// above 1,048,576 body bytes without reading the body. `first`: the frame's
// first byte, read already.
Result<Offer> read_offer(platform::Connection& stream,
                         std::optional<std::uint8_t> first = std::nullopt);

}  // namespace burrowlink
