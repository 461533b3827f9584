#pragma once

// The sender's side of a transfer.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "protocol/offer.h"

namespace burrowlink {

struct SenderEvents {
  // The offer has been written; the answer is awaited next.
  std::function<void()> offered;
  // File `index` was verified, `elapsed` after it was opened.
  std::function<void(std::size_t index, std::chrono::nanoseconds elapsed)>
      verified;
};

// Connects to `to`, offers `offer` and, once accepted, streams the file at
// `paths[i]` for each `offer.files[i]` with its digest, waiting for each
// verdict. Fails with the finished message ("declined", "no answer: ...").
Status run_sender(const platform::SocketAddress& to, const Offer& offer,
                  const std::vector<std::string>& paths,
                  const SenderEvents& events);

}  // namespace burrowlink
