#include "protocol/frame.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <utility>

#include "base/coding.h"

namespace burrowlink {

Status write_frame(platform::Connection& stream, std::string_view body,
                   std::optional<std::uint8_t> lead) {
  if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Error{"message too large", ErrorKind::invalid_data};
  }
  const auto length = encode_fixed32(static_cast<std::uint32_t>(body.size()));
  std::array<std::uint8_t, 1 + FRAME_LENGTH_BYTES> head{};
  std::span<const std::uint8_t> used = head;
  if (lead) {
    head[0] = *lead;
  } else {
    used = used.subspan(1);
  }
  std::copy(length.begin(), length.end(), head.begin() + 1);
  // After a lead byte the body follows at once: they may share a segment.
  const bool more = lead.has_value() && !body.empty();
  if (Status written = stream.write_all(used, more); !written.ok()) {
    return written;
  }
  return stream.write_all(
      {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
}

Result<std::string> read_frame(platform::Connection& stream,
                               std::uint32_t largest,
                               Error (*too_long)(std::uint32_t length),
                               std::optional<std::uint8_t> first) {
  std::array<std::uint8_t, FRAME_LENGTH_BYTES> prefix{};
  if (first) prefix[0] = *first;
  if (Status got = stream.read_exact(std::span(prefix).subspan(first ? 1 : 0));
      !got.ok()) {
    return std::move(got).error();
  }
  const std::uint32_t length = decode_fixed32(prefix);
  if (length > largest) return too_long(length);
  std::string body(length, '\0');
  if (Status got = stream.read_exact(
          {reinterpret_cast<std::uint8_t*>(body.data()), body.size()});
      !got.ok()) {
    return std::move(got).error();
  }
  return body;
}

}  // namespace burrowlink
