#pragma once

// Console text written on a thread of its own, so that a console that stops
// taking output (a selection in a Windows console window, the Pause key,
// Ctrl+S in a terminal) never holds up the transfer that prints it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/terminal.h"

namespace burrowlink::console {

class BackgroundWriter {
 public:
  using Sink = std::function<void(platform::Stream, std::string_view)>;

  // Starts the thread that hands queued text to `sink`.
  explicit BackgroundWriter(Sink sink);
  // Writes what is still queued, then stops the thread.
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Queues `text`. A `status` text (a redrawn status line) replaces one
  // that is still queued last. Waits only when more than MAX_PENDING bytes
  // are queued, so that a console stopped for hours cannot grow memory.
  void write(platform::Stream stream, std::string text, bool status = false);
  // Returns once everything queued before has been written.
  void flush();

  static constexpr std::size_t MAX_PENDING = 1024 * 1024;

 private:
  struct Item {
    platform::Stream stream;
    std::string text;
    bool status;
  };
  void run();

  Sink m_sink;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Item> m_queue;
  std::size_t m_pending = 0;  // bytes queued or being written
  bool m_stop = false;
  std::thread m_thread;  // last: it starts once everything else exists
};

}  // namespace burrowlink::console
