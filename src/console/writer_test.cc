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

  const auto started = std::chrono::steady_clock::now();
  writer.write(Stream::out, "Received a\n");
  for (int i = 0; i < 100; ++i) {
    writer.write(Stream::err, "\rprogress " + std::to_string(i), true);
  }
  writer.write(Stream::err, "\r          \r", true);
  writer.write(Stream::out, "Received b\n");
  writer.write(Stream::out, "Received c\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(1));

  selection_cleared.set_value();
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
