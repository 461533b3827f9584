#include "console/writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace burrowlink::console {
namespace {

using platform::Stream;

// A console that takes no output until released, as a Windows console window
// does while the user selects text (QuickEdit) and a terminal after Ctrl+S.
TEST(BackgroundWriter, AStoppedConsoleNeverStopsTheCaller) {
  std::promise<void> selection_cleared;
  std::shared_future<void> cleared = selection_cleared.get_future().share();
  std::string written;
  std::mutex written_mutex;
  BackgroundWriter writer([&](Stream stream, std::string_view text) {
    cleared.wait();
    std::lock_guard lock(written_mutex);
    written += (stream == Stream::out ? "out:" : "err:") + std::string(text);
  });

  // Written on a thread of the test's own, so that a write that waits for
  // the console fails the test instead of hanging it.
  auto writes = std::async(std::launch::async, [&] {
    writer.write(Stream::out, "Received a\n");
    for (int i = 0; i < 100; ++i) {
      writer.write(Stream::err, "\rprogress " + std::to_string(i), true);
    }
    writer.write(Stream::err, "\r          \r", true);
    writer.write(Stream::out, "Received b\n");
    writer.write(Stream::out, "Received c\n");
  });
  const bool returned =
      writes.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  selection_cleared.set_value();
  writes.wait();
  ASSERT_TRUE(returned) << "a write waited for the stopped console";

  writer.flush();
  std::lock_guard lock(written_mutex);
  // In order; status lines that were never shown replaced by the last one;
  // lines for one stream written together.
  EXPECT_EQ(
      "out:Received a\n"
      "err:\r          \r"
      "out:Received b\nReceived c\n",
      written);
}

}  // namespace
}  // namespace burrowlink::console
