// What the secure channel's trust rests on, between two builds: codes
// compared at first contact against a man in the middle, and no fall back
// to clear for a device met securely.
#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <regex>

#include "base/coding.h"
#include "interop_fixture.h"
#include "protocol/secure_link.h"

namespace burrowlink::testing {
namespace {

using platform::TcpStream;

secure::ConstBytes bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Moves what either channel delivers to the other until both ended.
void relay_between(secure::SecureChannel& a, secure::SecureChannel& b) {
  std::vector<std::uint8_t> buffer(1 << 16);
  bool open[2] = {true, true};
  const auto give_up = std::chrono::steady_clock::now() + 60s;
  while ((open[0] || open[1]) && std::chrono::steady_clock::now() < give_up) {
    bool moved = false;
    for (int side = 0; side < 2; ++side) {
      secure::SecureChannel& from = side == 0 ? a : b;
      secure::SecureChannel& to = side == 0 ? b : a;
      if (!open[side]) continue;
      Result<std::size_t> got = from.read_available(buffer);
      if (!got.ok() ||
          (*got > 0 && !to.write_all({buffer.data(), *got}).ok())) {
        open[side] = false;
        to.close();
      }
      moved = moved || !got.ok() || *got > 0;
    }
    if (!moved) std::this_thread::sleep_for(1ms);
  }
}

// A man in the middle at a first contact: reached by address, it answers
// the question for the channel as a receiver of ours does, or takes the
// preamble of a sender that insists on the channel, then runs a
// handshake of its own with each side under keys of its own, telling each
// the other's id and name, and relays what goes between.
void play_man_in_the_middle(platform::TcpListener& listener, int target_port) {
  Result<TcpStream> from = accept_within(listener, 30s);
  ASSERT_OK(from);
  // A sender that asks first gets the preamble for an answer; one that
  // insists on the channel starts with it.
  std::array<std::uint8_t, 4> start{};
  ASSERT_OK(from->read_exact(start));
  if (start != secure::PREAMBLE) {
    std::string question(decode_fixed32(start), '\0');
    ASSERT_OK(from->read_exact(
        {reinterpret_cast<std::uint8_t*>(question.data()), question.size()}));
    ASSERT_OK(from->write_all(secure::PREAMBLE));
  }
  Result<TcpStream> to = TcpStream::connect(
      SocketAddress::v4({127, 0, 0, 1},
                        static_cast<std::uint16_t>(target_port)),
      5s);
  ASSERT_OK(to);
  const Nonce to_sender = *draw_nonce(), to_receiver = *draw_nonce();
  std::optional<secure::SecureChannel> sender_side;
  std::optional<DeviceCard> sender_card, receiver_card;
  Result<secure::SecureChannel> receiver_side = secure::initiate(
      *to, *secure::generate_key_pair(),
      [&](const secure::Peer& receiver) -> Result<secure::Buffer> {
        receiver_card = read_device_card(receiver.payload);
        if (!receiver_card) return Error{"no card"};
        DeviceCard posing = *receiver_card;
        posing.commit = commitment_to(to_sender);
        const std::string card = device_card(posing);
        Result<secure::SecureChannel> answered = secure::respond(
            *from, *secure::generate_key_pair(), bytes_of(card),
            [&](const secure::Peer& sender) {
              sender_card = read_device_card(sender.payload);
              return sender_card ? Status{} : Status{Error{"no card"}};
            });
        if (!answered.ok()) return answered.error();
        sender_side.emplace(std::move(answered).value());
        posing = *sender_card;
        posing.nonce.reset();
        if (sender_card->verify || receiver_card->verify) {
          posing.nonce = to_receiver;
        }
        const std::string reply = device_card(posing);
        return secure::Buffer(reply.begin(), reply.end());
      });
  if (!receiver_side.ok() || !sender_side) return;
  if (sender_card->verify || receiver_card->verify) {
    // Its nonces were drawn before it saw either side's.
    Nonce revealed{};
    if (!sender_side->write_all(to_sender).ok() ||
        !receiver_side->read_exact(revealed).ok()) {
      return;
    }
  }
  relay_between(*sender_side, *receiver_side);
}

std::optional<std::string> code_in(const std::string& text) {
  std::smatch match;
  static const std::regex code("Verification code: ([0-9]{3} [0-9]{3})");
  if (!std::regex_search(text, match, code)) return std::nullopt;
  return match[1];
}

class TrustTest : public InteropTest {
 protected:
  std::string pins(const Side& side, const std::string& home) const {
    return read_whole(side.flavour().home_file(
        work.file(home), ".burrowlink-cli-known-devices"));
  }
};

// With codes compared, the two users see different ones and nothing is
// pinned or sent; without, the sender pins the man in the middle, and the
// next contact with the real receiver fails as a key change. Without a man
// in the middle, the codes are the same and both sides pin as verified.
TEST_P(TrustTest, ACodeUnmasksAManInTheMiddleAtFirstContact) {
  struct Row {
    const char* what;
    bool in_the_middle, verify;
  };
  for (const Row& row : {Row{"codes, no one between", false, true},
                         Row{"codes, someone between", true, true},
                         Row{"no codes, someone between", true, false}}) {
    SCOPED_TRACE(row.what);
    for (const auto& [side, home] :
         {std::pair{&sending, "home-s"}, {&receiving, "home-r"}}) {
      std::filesystem::remove(side->flavour().home_file(
          work.file(home), ".burrowlink-cli-known-devices"));
    }
    std::filesystem::remove(inbox + "/a.txt");
    std::vector<std::string> receive_args{"receive",
                                          "--yes",
                                          "--once",
                                          "--dir",
                                          receiving.flavour().path(inbox),
                                          "--name",
                                          "Inbox",
                                          "--port",
                                          std::to_string(port)};
    std::vector<std::string> send_args{"send", source("a.txt", "secret")};
    if (row.verify) {
      receive_args.push_back("--verify");
      send_args.push_back("--verify");
    }
    // Users who compare: they confirm only when no one is between.
    const std::string answer = row.in_the_middle ? "n\n" : "y\n";
    ToolOptions receiving_options = options(receiving, "home-r", receive_args);
    receiving_options.input = answer;
    ToolProcess recv(receiving_options);
    ASSERT_TRUE(recv.wait_for_err("Ready to receive", 20s)) << recv.err();
    const int middle = free_tcp_port();
    std::optional<platform::TcpListener> listener;
    std::thread between;
    if (row.in_the_middle) {
      Result<platform::TcpListener> listening =
          platform::TcpListener::listen_v4(static_cast<std::uint16_t>(middle),
                                           1);
      ASSERT_OK(listening);
      listener.emplace(std::move(listening).value());
      between = std::thread(play_man_in_the_middle, std::ref(*listener), port);
    }
    send_args.insert(send_args.end(),
                     {"--to", to(row.in_the_middle ? middle : port)});
    ToolOptions sending_options = options(sending, "home-s", send_args);
    sending_options.input = answer;
    ToolResult sent = run_tool(sending_options);
    if (between.joinable()) between.join();
    ToolResult got = recv.finish(20s);
    const std::optional<std::string> sender_code = code_in(sent.err);
    const std::optional<std::string> receiver_code = code_in(got.err);
    EXPECT_EQ(row.verify, sender_code.has_value()) << sent.err;
    EXPECT_EQ(row.verify, receiver_code.has_value()) << got.err;
    if (!row.verify) {
      // The man in the middle got through, and is pinned for the receiver.
      EXPECT_EQ(0, sent.status) << sent.err;
      EXPECT_EQ("secret", read_whole(inbox + "/a.txt"));
      std::filesystem::remove(inbox + "/a.txt");
      auto again = receiver("Inbox");
      ToolResult direct =
          sender_to(*again, {source("b.txt", "more"), "--to", to(port)});
      again->finish(20s);
      EXPECT_EQ(1, direct.status);
      EXPECT_NE(std::string::npos,
                direct.err.find("Inbox presented another key than the one "
                                "pinned at first contact"))
          << direct.err;
      EXPECT_FALSE(std::filesystem::exists(inbox + "/b.txt"));
      continue;
    }
    EXPECT_EQ(row.in_the_middle, sender_code != receiver_code);
    EXPECT_EQ(row.in_the_middle ? 1 : 0, sent.status) << sent.err;
    EXPECT_EQ(!row.in_the_middle, std::filesystem::exists(inbox + "/a.txt"));
    for (const std::string& pinned :
         {pins(sending, "home-s"), pins(receiving, "home-r")}) {
      EXPECT_EQ(!row.in_the_middle,
                pinned.find(R"("verified":1)") != std::string::npos)
          << pinned;
      if (row.in_the_middle) {
        EXPECT_EQ("", pinned);
      }
    }
  }
}

// A device met securely is never sent to in clear: not when a reset cuts
// the handshake, not when its beacon comes without its key (unless the
// user allows clear); and its id claimed by a clear offer is refused, or
// with --allow-clear asked about, --yes or not.
TEST_P(TrustTest, NothingGoesInClearToOrFromADeviceMetSecurely) {
  auto recv = receiver("Far side", false);
  ToolResult first =
      sender_to(*recv, {source("a.txt", "first"), "--to", to(port)});
  ASSERT_EQ(0, first.status) << first.err;
  recv->kill(SIGTERM);
  recv->finish(10s);

  {
    // A reset right after the preamble, where it was met.
    Result<platform::TcpListener> listening =
        platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
    ASSERT_OK(listening);
    std::thread resetting([&] {
      Result<TcpStream> s = accept_within(*listening, 30s);
      ASSERT_OK(s);
      std::array<std::uint8_t, 4> preamble{};
      EXPECT_TRUE(s->read_exact(preamble).ok());
      EXPECT_EQ(secure::PREAMBLE, preamble);
      s->close();
      EXPECT_FALSE(accept_within(*listening, 3s).ok()) << "a second try";
    });
    ToolResult reset = sender({source("b.txt", "second"), "--to", to(port)});
    resetting.join();
    EXPECT_EQ(1, reset.status);
    EXPECT_TRUE(reset.err.ends_with(
        "; this device was met securely before, so nothing goes in clear "
        "(--allow-clear allows it)\n"))
        << reset.err;
  }

  // A beacon without a key under its id, or under its name and another id
  // (another home): it runs with the extensions off.
  std::vector<std::string> plain_args{
      "receive", "--yes",    "--dir",  receiving.flavour().path(inbox),
      "--name",  "Far side", "--port", std::to_string(port)};
  std::unique_ptr<ToolProcess> keyless;
  for (const std::string home : {"home-x", "home-r"}) {
    SCOPED_TRACE(home);
    std::filesystem::create_directories(work.file(home));
    ToolOptions plain = options(receiving, home, plain_args);
    plain.env.push_back({"BURROWLINK_NO_EXTENSIONS", "1"});
    keyless = std::make_unique<ToolProcess>(plain);
    ASSERT_TRUE(keyless->wait_for_err("Ready to receive", 20s));
    ToolResult refused =
        sender_to(*keyless, {source("b.txt", "second"), "--to", "Far side"});
    EXPECT_EQ(1, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("nothing goes in clear"))
        << refused.err;
    if (home == "home-r") break;
    keyless->kill(SIGTERM);
    keyless->finish(10s);
  }
  ToolResult allowed = sender_to(
      *keyless,
      {source("b.txt", "second"), "--allow-clear", "--to", "Far side"});
  EXPECT_EQ(0, allowed.status) << allowed.err;
  EXPECT_TRUE(keyless->wait_for_out("Received ", 20s)) << keyless->out();
  keyless->kill(SIGTERM);
  keyless->finish(10s);
  std::filesystem::remove(inbox + "/b.txt");

  // A clear offer claiming the sender's id.
  struct Row {
    std::vector<std::string> options;
    const char* input;
    bool kept;
    const char* said;
  };
  const char* const refused = "refused an offer in clear from ";
  const char* const asked = "Accept? [y/N]";
  for (const Row& row :
       {Row{{"--yes"}, "", false, refused}, Row{{}, "y\n", false, refused},
        Row{{"--allow-clear", "--yes"}, "n\n", false, asked},
        Row{{"--allow-clear", "--yes"}, "y\n", true, asked},
        Row{{"--allow-clear", "--yes", "--verify"}, "y\n", false, refused}}) {
    SCOPED_TRACE(::testing::PrintToString(row.options) + row.input);
    std::vector<std::string> args{"receive", "--once",
                                  "--dir",   receiving.flavour().path(inbox),
                                  "--port",  std::to_string(port)};
    args.insert(args.end(), row.options.begin(), row.options.end());
    ToolOptions receiving_options = options(receiving, "home-r", args);
    receiving_options.input = row.input;
    ToolProcess receiving_process(receiving_options);
    ASSERT_TRUE(receiving_process.wait_for_err("Ready to receive", 20s));
    ToolOptions clear =
        options(sending, "home-s",
                {"send", source("c.txt", "clear"), "--to", to(port)});
    clear.env.push_back({"BURROWLINK_NO_EXTENSIONS", "1"});
    ToolResult sent = run_tool(clear);
    ToolResult got = receiving_process.finish(20s);
    EXPECT_EQ(row.kept ? 0 : 1, sent.status) << sent.err << got.err;
    EXPECT_EQ(row.kept, std::filesystem::exists(inbox + "/c.txt"));
    EXPECT_NE(std::string::npos, got.err.find(row.said)) << got.err;
    std::filesystem::remove(inbox + "/c.txt");
  }
}

INSTANTIATE_TEST_SUITE_P(BothWays, TrustTest, ::testing::Bool(), side_name);

}  // namespace
}  // namespace burrowlink::testing
