#include "protocol/sender.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/sha256.h"
#include "test_util.h"

namespace burrowlink {
namespace {

// For offers whose files are never read.
std::string no_paths(std::size_t) { return ""; }

using platform::TcpListener;
using platform::TcpStream;
using testing::ScopedTempDir;
using testing::write_whole;

// A receiver on loopback that answers with scripted bytes.
class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = TcpListener::listen_v4(0, 4);
    ASSERT_TRUE(made.ok());
    listener = std::move(made.value());
    address = SocketAddress::v4({127, 0, 0, 1}, listener.local_port().value());
  }

  // Accepts, reads the offer, then runs `script` on the connection.
  void serve(std::function<void(TcpStream&, const Offer&)> script) {
    receiver = std::thread([this, script] {
      auto accepted = listener.accept();
      ASSERT_TRUE(accepted.ok());
      auto offer = read_offer(accepted.value());
      ASSERT_TRUE(offer.ok()) << offer.error().message;
      script(accepted.value(), offer.value());
    });
  }

  Status send(const Offer& offer, const std::vector<std::string>& paths) {
    SenderEvents events;
    events.offered = [this] { ++offered; };
    events.verified = [this](std::size_t i, std::chrono::nanoseconds) {
      verified.push_back(i);
    };
    Status status = run_sender(
        address, offer, [&](std::size_t i) { return paths[i]; }, events);
    receiver.join();
    return status;
  }

  static void put(TcpStream& s, std::uint8_t byte) {
    EXPECT_OK(s.write_all({&byte, 1}));
  }

  TcpListener listener;
  SocketAddress address;
  std::thread receiver;
  ScopedTempDir dir;
  int offered = 0;
  std::vector<std::size_t> verified;
};

TEST_F(SenderTest, StreamsEachFileWithItsDigestAndWaitsForVerdicts) {
  write_whole(dir.file("a"), "alpha");
  write_whole(dir.file("b"), "");
  Offer offer{"Desk", "id", {{"a", 5}, {"b", 0}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    for (std::string expected : {"alpha", ""}) {
      std::string got(expected.size() + 32, '\0');
      ASSERT_OK(s.read_exact(
          {reinterpret_cast<std::uint8_t*>(got.data()), got.size()}));
      Sha256 sha;
      sha.update({reinterpret_cast<const std::uint8_t*>(expected.data()),
                  expected.size()});
      Digest d = sha.finish();
      EXPECT_EQ(expected + std::string(d.begin(), d.end()), got);
      put(s, 1);
    }
  });
  EXPECT_OK(send(offer, {dir.file("a"), dir.file("b")}));
  EXPECT_EQ(1, offered);
  EXPECT_EQ((std::vector<std::size_t>{0, 1}), verified);
}

TEST_F(SenderTest, AnyAnswerButOneDeclines) {
  Offer offer{"Desk", "id", {{"a", 1}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) { put(s, 2); });
  Status status = send(offer, {dir.file("never-opened")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("declined", status.error().message);
}

TEST_F(SenderTest, ClosingWithoutAnswerIsNoAnswer) {
  Offer offer{"Desk", "id", {{"a", 1}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) { s.close(); });
  Status status = send(offer, {dir.file("a")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("no answer: failed to fill whole buffer", status.error().message);
}

TEST_F(SenderTest, AcceptedNoteEndsAfterTheAnswer) {
  Offer offer{"Desk", "id", {}, std::string("back at 6")};
  serve([](TcpStream& s, const Offer& got) {
    EXPECT_EQ("back at 6", got.text.value_or("?"));
    put(s, 1);
  });
  EXPECT_OK(send(offer, {}));
}

TEST_F(SenderTest, DamagedVerdictStopsBeforeTheNextFile) {
  write_whole(dir.file("a"), "abc");
  Offer offer{"Desk", "id", {{"a.txt", 3}, {"b.txt", 3}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    std::uint8_t skip[35];
    ASSERT_OK(s.read_exact(skip));
    put(s, 0);
  });
  Status status = send(offer, {dir.file("a"), dir.file("missing")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("a.txt: the receiver reported damaged data",
            status.error().message);
}

TEST_F(SenderTest, AnyVerdictButOneIsDamage) {
  write_whole(dir.file("a"), "abc");
  write_whole(dir.file("b"), "def");
  Offer offer{"Desk", "id", {{"a.txt", 3}, {"b.txt", 3}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    std::uint8_t skip[35];
    ASSERT_OK(s.read_exact(skip));
    put(s, 2);
  });
  Status status = send(offer, {dir.file("a"), dir.file("b")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("a.txt: the receiver reported damaged data",
            status.error().message);
  EXPECT_TRUE(verified.empty());
}

TEST_F(SenderTest, ShrunkFileIsReported) {
  write_whole(dir.file("a"), "ab");
  Offer offer{"Desk", "id", {{"a", 10}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    std::uint8_t rest[64];
    while (s.read_some(rest).value_or(0) > 0) {
    }
  });
  Status status = send(offer, {dir.file("a")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(dir.file("a") + " changed while sending", status.error().message);
}

TEST_F(SenderTest, GrownFileSendsOnlyTheOfferedBytes) {
  write_whole(dir.file("a"), "abcdef");
  Offer offer{"Desk", "id", {{"a", 3}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    std::uint8_t got[35];
    ASSERT_OK(s.read_exact(got));
    EXPECT_EQ("abc", std::string(got, got + 3));
    put(s, 1);
  });
  EXPECT_OK(send(offer, {dir.file("a")}));
}

TEST_F(SenderTest, FileGoneAtItsTurnNamesThePath) {
  Offer offer{"Desk", "id", {{"a", 1}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) { put(s, 1); });
  Status status = send(offer, {dir.file("vanished")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(dir.file("vanished") + ": " + testing::os_error_text(ENOENT, 2),
            status.error().message);
}

TEST_F(SenderTest, ReceiverGoneDuringDataIsALostConnection) {
  write_whole(dir.file("big"), std::string(32 << 20, 'b'));
  Offer offer{"Desk", "id", {{"big", 32 << 20}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    s.close();
  });
  Status status = send(offer, {dir.file("big")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(0u, status.error().message.find("connection lost: "))
      << status.error().message;
}

TEST(Connect, NoAnswerWithinFiveSecondsTimesOut) {
  // A listener whose queue is full drops further connection requests.
  auto full = TcpListener::listen_v4(0, 0);
  ASSERT_TRUE(full.ok());
  auto address = SocketAddress::v4({127, 0, 0, 1}, full->local_port().value());
  std::vector<TcpStream> queued;
  for (int i = 0; i < 2; ++i) {
    auto s = TcpStream::connect(address, std::chrono::milliseconds(500));
    if (s.ok()) queued.push_back(std::move(s).value());
  }
  auto started = std::chrono::steady_clock::now();
  Status status = run_sender(address, Offer{"D", "i", {}, std::string("x")},
                             no_paths, SenderEvents{});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(
      "cannot connect to " + format_address(address) + ": connection timed out",
      status.error().message);
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(5));
}

TEST(Connect, RefusedPortNamesTheAddress) {
  auto probe = TcpListener::listen_v4(0, 1);
  ASSERT_TRUE(probe.ok());
  std::uint16_t port = probe->local_port().value();
  probe->close();
  Offer offer{"Desk", "id", {}, std::string("x")};
  Status status = run_sender(SocketAddress::v4({127, 0, 0, 1}, port), offer,
                             no_paths, SenderEvents{});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " +
                testing::os_error_text(ECONNREFUSED, 10061),
            status.error().message);
}

}  // namespace
}  // namespace burrowlink
