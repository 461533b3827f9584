#include "console/writer.h"

#include <utility>

namespace burrowlink::console {

BackgroundWriter::BackgroundWriter(Sink sink)
    : m_sink(std::move(sink)), m_thread(&BackgroundWriter::run, this) {}

BackgroundWriter::~BackgroundWriter() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void BackgroundWriter::write(platform::Stream stream, std::string text,
                             bool status) {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [&] { return m_pending <= MAX_PENDING; });
  if (status && !m_queue.empty() && m_queue.back().status &&
      m_queue.back().stream == stream) {
    m_pending -= m_queue.back().text.size();
    m_queue.pop_back();
  }
  m_pending += text.size();
  m_queue.push_back({stream, std::move(text), status});
  lock.unlock();
  m_changed.notify_all();
}

void BackgroundWriter::flush() {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [&] { return m_pending == 0; });
}

void BackgroundWriter::run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [&] { return m_stop || !m_queue.empty(); });
    if (m_queue.empty()) return;  // stopping, with everything written
    Item item = std::move(m_queue.front());
    m_queue.pop_front();
    // Whatever follows for the same stream goes out in the same write.
    while (!m_queue.empty() && m_queue.front().stream == item.stream) {
      item.text += m_queue.front().text;
      m_queue.pop_front();
    }
    lock.unlock();
    m_sink(item.stream, item.text);
    lock.lock();
    m_pending -= item.text.size();
    m_changed.notify_all();
  }
}

}  // namespace burrowlink::console
