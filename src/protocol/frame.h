#pragma once

// The frame that carries each JSON message of a transfer: length (4 bytes,
// big-endian), then body (length bytes).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/network.h"

namespace burrowlink {

inline constexpr std::size_t FRAME_LENGTH_BYTES = 4;

// Writes `lead` when given, then the frame of `body`: the bytes before the
// body with one write-all, the body with another. Fails with "message too
// large" (kind invalid_data), writing nothing, when the length does not fit
// in 4 bytes.
Status write_frame(platform::Connection& stream, std::string_view body,
                   std::optional<std::uint8_t> lead = std::nullopt);

// The body of a frame of at most `largest` bytes. A longer one fails with
// `too_long` of its length, its body left unread. `first`: the length's
// first byte, which the caller has read already.
Result<std::string> read_frame(
    platform::Connection& stream, std::uint32_t largest,
    Error (*too_long)(std::uint32_t length),
    std::optional<std::uint8_t> first = std::nullopt);

}  // namespace burrowlink
