#include "protocol/hashing_ring.h"

#include <new>
#include <system_error>

namespace burrowlink {

HashingRing::HashingRing(std::size_t slot_bytes, std::size_t slots)
    : m_slot_bytes(slot_bytes),
      // Zero-filled by the system, page by page as each is first used.
      m_bytes(static_cast<std::uint8_t*>(std::calloc(slots, slot_bytes))),
      m_tickets(slots, 0),
      m_slot(slots - 1) {
  if (m_bytes == nullptr) throw std::bad_alloc();
}

bool HashingRing::have_thread() {
  if (!m_thread_tried) {
    m_thread_tried = true;
    try {
      m_thread = std::thread(&HashingRing::run, this);
    } catch (const std::system_error&) {
      // No thread to spare: the caller hashes every chunk itself.
    }
  }
  return m_thread.joinable();
}

HashingRing::~HashingRing() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_work.notify_one();
  if (m_thread.joinable()) m_thread.join();
}

void HashingRing::start_file() {
  wait_idle();
  m_sha.reset();
}

platform::Digest HashingRing::so_far() {
  wait_idle();
  platform::Sha256 copy;
  copy.copy_from(m_sha);
  return copy.finish();
}

std::span<std::uint8_t> HashingRing::next_slot() {
  m_slot = (m_slot + 1) % m_tickets.size();
  wait_for(m_tickets[m_slot]);
  return {m_bytes.get() + m_slot * m_slot_bytes, m_slot_bytes};
}

void HashingRing::hash(std::span<const std::uint8_t> chunk, bool link_is_slow) {
  std::unique_lock lock(m_mutex);
  if (link_is_slow) m_done.wait(lock, [&] { return m_hashed == m_queued; });
  if (((link_is_slow || chunk.size() <= INLINE_BYTES) &&
       m_hashed == m_queued) ||
      !have_thread()) {
    // The thread is idle (or absent) and touches the digest no more.
    lock.unlock();
    m_sha.update(chunk);
    return;
  }
  m_queue.push_back(chunk);
  m_tickets[m_slot] = ++m_queued;
  lock.unlock();
  m_work.notify_one();
}

platform::Digest HashingRing::finish_file() {
  wait_idle();
  return m_sha.finish();
}

void HashingRing::wait_idle() {
  std::unique_lock lock(m_mutex);
  m_done.wait(lock, [&] { return m_hashed == m_queued; });
}

void HashingRing::wait_for(std::uint64_t ticket) {
  std::unique_lock lock(m_mutex);
  m_done.wait(lock, [&] { return m_hashed >= ticket; });
}

void HashingRing::run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_work.wait(lock, [&] { return m_stop || !m_queue.empty(); });
    if (m_queue.empty()) return;  // stopping, with nothing left to hash
    std::span<const std::uint8_t> chunk = m_queue.front();
    lock.unlock();
    m_sha.update(chunk);
    lock.lock();
    m_queue.pop_front();
    ++m_hashed;
    m_done.notify_all();
  }
}

}  // namespace burrowlink
