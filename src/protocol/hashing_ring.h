#pragma once

// The buffers of one file phase: a small ring of slots, and SHA-256 on a
// thread of its own, so that hashing one chunk overlaps reading or writing
// the next. Both exist only while a file phase runs.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/sha256.h"

namespace burrowlink {

class HashingRing {
 public:
  // `slots` zero-filled slots of `slot_bytes` each. The memory is reserved
  // at once but touched only as slots are used, and the hashing thread
  // starts with the first chunk worth handing over, so that a phase of
  // small files pays for neither; without a thread to spare, chunks are
  // hashed by the caller.
  HashingRing(std::size_t slot_bytes, std::size_t slots);
  // Stops and joins the thread.
  ~HashingRing();
  HashingRing(const HashingRing&) = delete;
  HashingRing& operator=(const HashingRing&) = delete;

  // Starts a new digest, once every chunk before has been hashed.
  void start_file();
  // The digest of every chunk so far, which goes on.
  platform::Digest so_far();
  // The next slot, once the thread no longer reads what it held.
  std::span<std::uint8_t> next_slot();
  // Hashes `chunk`, which lies in the slot last given by `next_slot`, after
  // the chunks before it. Small chunks are hashed at once when nothing is
  // queued, since handing them over costs more than it saves; so is every
  // chunk when `link_is_slow`: the caller would only wait for the link, and
  // a hand-over costs a wake-up.
  void hash(std::span<const std::uint8_t> chunk, bool link_is_slow = false);
  // The digest of every chunk since `start_file`.
  platform::Digest finish_file();

  // Chunks up to this size are hashed by the caller when the thread is idle.
  static constexpr std::size_t INLINE_BYTES = 32 * 1024;
  // A full slot that takes the receiver this long to fill came over a link
  // slower than hashing (under about 256 MB/s).
  static constexpr std::chrono::milliseconds SLOW_SLOT{1};

 private:
  void run();
  // Starts the thread once; false when there is none.
  bool have_thread();
  void wait_for(std::uint64_t ticket);
  // Waits until every queued chunk is hashed.
  void wait_idle();

  struct Free {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
  };

  std::size_t m_slot_bytes;
  std::unique_ptr<std::uint8_t[], Free> m_bytes;
  std::vector<std::uint64_t> m_tickets;  // per slot: the last chunk queued
  std::size_t m_slot = 0;                // the slot last given out

  platform::Sha256 m_sha;
  std::mutex m_mutex;
  std::condition_variable m_work;  // a chunk was queued, or stop
  std::condition_variable m_done;  // a chunk was hashed
  std::deque<std::span<const std::uint8_t>> m_queue;
  std::uint64_t m_queued = 0;  // tickets handed out, one per queued chunk
  std::uint64_t m_hashed = 0;  // queued chunks hashed so far
  bool m_stop = false;
  bool m_thread_tried = false;
  std::thread m_thread;
};

}  // namespace burrowlink
