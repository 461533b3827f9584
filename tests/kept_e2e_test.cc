// What an interruption leaves for later is said at a terminal: by a sender
// that can go on, by a receiver that keeps a file's start, and by the next
// receiver on the same folder.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

// What a terminal shows, as one line: Wine's console adds cursor escapes,
// CRLF and line breaks of its own at 80 columns.
std::string flat(std::string text) {
  text = std::regex_replace(text, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  return text;
}

TEST_F(TransferTest, AnInterruptionSaysWhatItLeavesForLater) {
  write_whole(src("big.bin"), std::string(48 << 20, 'b'));
  const std::string store =
      tool().join(tool().path(inbox), ".burrowlink-store");
  auto recv = receiver({"--yes"}, {}, true);
  {
    // Slow enough to break in the middle.
    Relay relay(port, {"--rate-mbit", "200"});
    const std::string to = "127.0.0.1:" + std::to_string(relay.port());
    ToolProcess sending(
        sender_options({tool_src("big.bin"), "--to", to}, true));
    ASSERT_TRUE(sending.wait_for_out(" left", 10s)) << sending.out();
    sending.kill(SIGINT);
    const std::string out = sending.finish(10s).out;
    // Its progress line may still be on its way when the process ends:
    // the line, not where it lands, is what counts.
    EXPECT_NE(std::string::npos,
              flat(out).find("0 of 1 files were verified; the same command "
                             "goes on where this one stopped"))
        << out;
    ASSERT_TRUE(recv->wait_for_out("transfer failed: ", 10s)) << recv->out();

    ToolProcess again(sender_options({tool_src("big.bin"), "--to", to}));
    // Its own progress line, drawn once the file goes on.
    const std::size_t failed = recv->out().find("transfer failed: ");
    for (int i = 0;
         i < 1000 && recv->out().find(" left", failed) == std::string::npos;
         ++i) {
      std::this_thread::sleep_for(10ms);
      recv->drain();
    }
    recv->kill(SIGINT);
    const std::string kept = recv->finish(10s).out;
    EXPECT_TRUE(std::regex_search(
        flat(kept),
        std::regex(
            "Kept [0-9.]+ MB of big\\.bin for the same send to go "
            "on, up to 7 days after it began; to drop it, delete " +
            std::regex_replace(store, std::regex(R"([.\\])"), R"(\$&)"))))
        << kept;
    again.finish(30s);
  }
  auto next = receiver({"--yes"}, {}, true);
  next->kill(SIGTERM);
  const std::string waits = next->finish(10s).out;
  EXPECT_TRUE(std::regex_search(
      flat(waits), std::regex("^[0-9.]+ MB of 1 unfinished file waits in ")))
      << waits;
  EXPECT_NE(std::string::npos,
            flat(waits).find(store +
                             " for the same send to go on, up to 7 days after "
                             "it began; to drop it, delete that folderReady "))
      << waits;
}

}  // namespace
}  // namespace burrowlink::testing
