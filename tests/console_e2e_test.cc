// The receiver for a person at a terminal, standard input included: what is
// offered before the question, no answer typed too early, no question left
// open for a sender that is gone, where the device is reached, and a word
// when no answer can ever come. Pipes see none of it (the other suites pin
// their bytes).
#include <gtest/gtest.h>

#include <thread>

#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

class ConsoleTest : public TransferTest {
 protected:
  // `receive` on a terminal that is its standard input too.
  std::unique_ptr<ToolProcess> at_console(std::vector<std::string> extra,
                                          bool null_input = false) {
    ToolOptions options = receiver_options(extra);
    options.terminal = true;
    options.terminal_input = !null_input;
    options.null_input = null_input;
    options.input = "";  // kept open for typing
    auto process = std::make_unique<ToolProcess>(options);
    EXPECT_TRUE(process->wait_for_out("Ready to receive", 10s))
        << process->out();
    return process;
  }

  // Types `text` and Enter, as a person does: Wine's console takes Enter
  // as the carriage return a terminal sends for it.
  static void type(ToolProcess& recv, const std::string& text) {
    recv.send_input(text + (tool().windows ? "\r" : "\n"));
  }

  // True once the question has been asked twice, within 10 seconds.
  static bool asked_twice(ToolProcess& recv) {
    for (int i = 0; i < 100; ++i) {
      const std::string& out = recv.out();
      const std::size_t first = out.find("Accept? [y/N]");
      if (first != std::string::npos &&
          out.find("Accept? [y/N]", first + 1) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(100ms);
      recv.drain();
    }
    return false;
  }

  std::string offer_of(int files) {
    std::string list;
    for (int i = 0; i < files; ++i) {
      list += R"({"name":"f)" + std::to_string(i) +
              R"(.txt","size":1,"folder":"Trip"},)";
    }
    list.pop_back();
    return frame(R"({"from":"Peer","files":[)" + list + "]}");
  }
};

TEST_F(ConsoleTest, ListsTheOfferAndTakesOnlyAnAnswerTypedAfterTheQuestion) {
  auto recv = at_console({"--once"});
  // Typed before any offer came. (Wine's console takes keys from its
  // terminal only while a read asks for them, so there is nothing it could
  // drop: Windows itself is not shown here.)
  if (!tool().windows) type(*recv, "n");
  std::this_thread::sleep_for(200ms);
  TcpStream s = peer();
  put(s, offer_of(12));
  ASSERT_TRUE(recv->wait_for_out("Accept? [y/N]", 10s)) << recv->out();
  // Wine's console decorates lines with its own codes; the order is the same.
  if (!tool().windows) {
    EXPECT_NE(std::string::npos,
              recv->out().find("  Trip/f0.txt (1 B)\n  Trip/f1.txt (1 B)\n"))
        << recv->out();
    EXPECT_NE(std::string::npos,
              recv->out().find("  \u2026 and 2 more\n"
                               "  in the folder Trip\n"
                               "  from 127.0.0.1\n"
                               "Peer wants to send you 12 file(s), 12 B. "
                               "Accept? [y/N] "))
        << recv->out();
  }
  // The early "n" answered nothing; this one does.
  type(*recv, "y");
  EXPECT_EQ(1, next_byte(s));
  s.close();
  recv->finish(10s);
}

// The name is the sender's to choose, the address is not; and a person who
// says no sees it taken.
TEST_F(ConsoleTest, TheQuestionNamesTheAddressAndADeclineIsConfirmed) {
  auto recv = at_console({"--once"});
  TcpStream s = peer();
  put(s, offer_of(1));
  ASSERT_TRUE(recv->wait_for_out("Accept? [y/N]", 10s)) << recv->out();
  type(*recv, "n");
  EXPECT_EQ(0, next_byte(s));
  ASSERT_TRUE(recv->wait_for_out("Declined the offer from Peer", 10s))
      << recv->out();
  // The test's terminal does not echo what is typed.
  if (!tool().windows) {
    EXPECT_NE(std::string::npos,
              recv->out().find("  from 127.0.0.1\nPeer wants to send you 1 "
                               "file(s), 1 B. Accept? [y/N] Declined the "
                               "offer from Peer\n"))
        << recv->out();
  }
}

TEST_F(ConsoleTest, ASenderThatLeavesEndsTheQuestion) {
  auto recv = at_console({});
  {
    TcpStream s = peer();
    put(s, offer_of(1));
    ASSERT_TRUE(recv->wait_for_out("Accept? [y/N]", 10s)) << recv->out();
  }  // the sender gives up
  EXPECT_TRUE(recv->wait_for_out(
      tool().windows
          ? "transfer failed: Peer stopped waiting for the answer"
          : "Accept? [y/N] \ntransfer failed: Peer stopped waiting for the "
            "answer\n",
      10s))
      << recv->out();
  // The next sender is asked at once, not after a ghost question.
  TcpStream s = peer();
  put(s, offer_of(1));
  ASSERT_TRUE(asked_twice(*recv)) << recv->out();
  type(*recv, "y");
  EXPECT_EQ(1, next_byte(s));
}

TEST_F(ConsoleTest, SaysWhereItIsReachedAndWhenAPortWasTaken) {
  ASSERT_TRUE(add_test_interface("t0", "10.77.0.1/24", false));
  const int taken = free_tcp_port();
  auto occupier =
      platform::TcpListener::listen_v4(static_cast<std::uint16_t>(taken), 1);
  ASSERT_TRUE(occupier.ok());
  port = taken;
  auto recv = at_console({"--yes"});
  ASSERT_TRUE(recv->wait_for_out("was taken", 5s)) << recv->out();
  EXPECT_NE(std::string::npos, recv->out().find("Reachable at 10.77.0.1:"))
      << recv->out();
  EXPECT_NE(std::string::npos,
            recv->out().find("Port " + std::to_string(taken) +
                             " was taken: senders that give an address must "
                             "add :"))
      << recv->out();
}

TEST_F(ConsoleTest, SaysOnceThatOffersWillBeDeclinedWithoutInput) {
  auto recv = at_console({}, true);
  EXPECT_TRUE(recv->wait_for_out("every offer will be declined", 5s))
      << recv->out();
  port = free_tcp_port();
  auto accepting = at_console({"--yes"}, true);
  std::this_thread::sleep_for(300ms);
  accepting->drain();
  EXPECT_EQ(std::string::npos, accepting->out().find("declined"))
      << accepting->out();
}

}  // namespace
}  // namespace burrowlink::testing
