#include "protocol/sender.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/files.h"
#include "protocol/extensions.h"
#include "test_util.h"

namespace burrowlink {
namespace {

// For offers whose files are never read.
Source no_paths(std::size_t) { return {}; }

// The extended answer with `body` as its frame.
std::string framed(const std::string& body) {
  return "\xA5" + testing::frame(body);
}

// What a send reported.
class RecordedEvents : public SenderEvents {
 public:
  void offered() override { ++offers; }
  void verified(std::size_t index, std::chrono::nanoseconds) override {
    verified_files.push_back(index);
  }
  void token(std::string handed_out, std::uint64_t files) override {
    next_token = std::move(handed_out);
    next_files = files;
  }

  int offers = 0;
  std::vector<std::size_t> verified_files;
  std::string next_token;
  std::uint64_t next_files = 0;
};

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
      // A sender that fails before it connects must not hold this thread.
      auto accepted =
          testing::accept_within(listener, std::chrono::seconds(30));
      ASSERT_OK(accepted);
      ASSERT_OK(accepted->set_read_timeout(std::chrono::seconds(30)));
      auto offer = read_offer(accepted.value());
      ASSERT_TRUE(offer.ok()) << offer.error().message;
      script(accepted.value(), offer.value());
    });
  }

  Status send_from(const Offer& offer, const SourceOf& source_of) {
    Status status = run_sender(address, offer, source_of, events);
    receiver.join();
    return status;
  }
  Status send(const Offer& offer, const std::vector<std::string>& paths) {
    return send_from(offer, [&](std::size_t i) { return Source{paths[i]}; });
  }

  static void put(TcpStream& s, std::uint8_t byte) {
    EXPECT_OK(s.write_all({&byte, 1}));
  }
  // Reads one file of `size` bytes with its digest.
  static std::string take_file(TcpStream& s, std::size_t size) {
    std::string got(size + 32, '\0');
    EXPECT_OK(s.read_exact(
        {reinterpret_cast<std::uint8_t*>(got.data()), got.size()}));
    return got.substr(0, size);
  }
  // Reads until the sender closes.
  static std::string read_to_end(TcpStream& s) {
    std::string got;
    std::uint8_t buffer[64];
    for (std::size_t n; (n = s.read_some(buffer).value_or(0)) > 0;) {
      got.append(buffer, buffer + n);
    }
    return got;
  }
  // True when nothing more arrives for a while.
  static bool quiet(TcpStream& s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::uint8_t byte;
    return s.read_available({&byte, 1}).value_or(1) == 0;
  }
  // Answers with the bytes of `answer`; with `holds`, waits for the sender
  // to close. With `takes`, then takes the files of streaming_offer(),
  // else closes.
  void serve_answer(const std::string& answer, bool holds, bool takes) {
    serve([answer, holds, takes](TcpStream& s, const Offer&) {
      ASSERT_OK(
          s.write_all({reinterpret_cast<const std::uint8_t*>(answer.data()),
                       answer.size()}));
      if (holds) {
        // A sender that waits for more fails when this gives up.
        ASSERT_OK(s.set_read_timeout(std::chrono::seconds(5)));
        read_to_end(s);
      }
      if (!takes) {
        s.close();
        return;
      }
      for (const char* name : {"axy", "bxy", "cxy"}) {
        EXPECT_EQ(name, take_file(s, 3));
        put(s, 1);
      }
    });
  }
  // Three files of three bytes, offered by a sender that streams.
  Offer streaming_offer() {
    for (const char* name : {"a", "b", "c"})
      write_whole(dir.file(name), name + std::string("xy"));
    return Offer{"Desk",
                 "id",
                 {{"a", 3}, {"b", 3}, {"c", 3}},
                 std::nullopt,
                 OfferExtensions{STREAM_VERSION, std::nullopt}};
  }
  std::vector<std::string> paths() const {
    return {dir.file("a"), dir.file("b"), dir.file("c")};
  }

  TcpListener listener;
  SocketAddress address;
  std::thread receiver;
  ScopedTempDir dir;
  RecordedEvents events;
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
      EXPECT_EQ(expected + testing::digest(expected), got);
      put(s, 1);
    }
  });
  EXPECT_OK(send(offer, {dir.file("a"), dir.file("b")}));
  EXPECT_EQ(1, events.offers);
  EXPECT_EQ((std::vector<std::size_t>{0, 1}), events.verified_files);
}

TEST_F(SenderTest, AcceptedNoteEndsAfterTheAnswer) {
  Offer offer{"Desk", "id", {}, std::string("back at 6")};
  serve([](TcpStream& s, const Offer& got) {
    EXPECT_EQ("back at 6", got.text.value_or("?"));
    put(s, 1);
  });
  EXPECT_OK(send(offer, {}));
}

// Any verdict but 0x01 is damage and ends the send: in lockstep before
// the next file is opened, streamed once the verdict arrives.
TEST_F(SenderTest, AnyVerdictButOneIsDamage) {
  const struct {
    std::uint8_t verdict;
    bool streamed;
  } cases[] = {{0, false}, {2, false}, {0, true}, {2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.verdict) + (c.streamed ? ", streamed" : ""));
    events.verified_files.clear();
    Offer offer = streaming_offer();
    if (!c.streamed) offer.extensions.reset();
    serve([&](TcpStream& s, const Offer&) {
      if (c.streamed) {
        ASSERT_OK(write_extension_answer(s, ExtensionAnswer{STREAM_WINDOW}));
        for (const char* name : {"axy", "bxy", "cxy"})
          EXPECT_EQ(name, take_file(s, 3));
      } else {
        put(s, 1);
        EXPECT_EQ("axy", take_file(s, 3));
      }
      put(s, 1);
      if (!c.streamed) {
        EXPECT_EQ("bxy", take_file(s, 3));
      }
      put(s, c.verdict);
    });
    // In lockstep the third file is never opened.
    std::vector<std::string> sources = paths();
    if (!c.streamed) sources.back() = dir.file("missing");
    Status status = send(offer, sources);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ("b: the receiver reported damaged data", status.error().message);
    EXPECT_EQ((std::vector<std::size_t>{0}), events.verified_files);
  }
}

TEST_F(SenderTest, ShrunkFileIsReported) {
  write_whole(dir.file("a"), "ab");
  Offer offer{"Desk", "id", {{"a", 10}}, std::nullopt};
  serve([](TcpStream& s, const Offer&) {
    put(s, 1);
    read_to_end(s);
  });
  Status status = send(offer, {dir.file("a")});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(dir.file("a") + " changed while sending", status.error().message);
}

// A file that changed between the listing and its turn fails the send
// before its digest, so that a receiver keeps nothing of it; an unchanged
// one goes as its offer says, to any receiver.
TEST_F(SenderTest, AFileChangedSinceItWasListedGetsNoDigest) {
  using namespace std::chrono_literals;
  struct Case {
    const char* what;
    std::function<void(const std::string&)> change;
    bool fails;
  };
  const Case cases[] = {
      {"unchanged", [](const std::string&) {}, false},
      {"grown", [](const std::string& path) { write_whole(path, "axymore"); },
       true},
      {"rewritten, same size",
       [](const std::string& path) { write_whole(path, "AXY"); }, true},
      {"touched",
       [](const std::string& path) {
         const auto at = testing::fs_path(path);
         std::filesystem::last_write_time(
             at, std::filesystem::last_write_time(at) + 3s);
       },
       true},
  };
  for (const Case& c : cases) {
    for (const bool streamed : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (streamed ? ", streamed" : ""));
      const std::string path = dir.file("a");
      write_whole(path, "axy");
      const auto listed = platform::file_status(path);
      ASSERT_TRUE(listed.ok());
      Offer offer{"Desk", "id", {{"a", 3}}, std::nullopt};
      if (streamed) offer.extensions = OfferExtensions{STREAM_VERSION, {}};
      serve([&](TcpStream& s, const Offer&) {
        c.change(path);  // after the offer, before the file's turn
        if (streamed) {
          ASSERT_OK(write_extension_answer(s, ExtensionAnswer{STREAM_WINDOW}));
        } else {
          put(s, 1);
        }
        if (!c.fails) {
          EXPECT_EQ("axy", take_file(s, 3));
          put(s, 1);
          return;
        }
        EXPECT_LE(read_to_end(s).size(), 3u) << "no digest";
      });
      const Status status = send_from(offer, [&](std::size_t) {
        return Source{path, listed->modified};
      });
      if (c.fails) {
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(path + " changed while sending", status.error().message);
      } else {
        EXPECT_OK(status);
      }
    }
  }
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

// A receiver that knows no extension answers 0x01: each file goes only
// after the verdict on the one before.
TEST_F(SenderTest, ALockstepReceiverGetsNoFileBeforeTheVerdictBefore) {
  const Offer offer = streaming_offer();
  serve([](TcpStream& s, const Offer& got) {
    EXPECT_TRUE(got.extensions.has_value());
    put(s, 1);
    for (const char* name : {"axy", "bxy", "cxy"}) {
      EXPECT_EQ(name, take_file(s, 3));
      EXPECT_TRUE(quiet(s)) << name;
      put(s, 1);
    }
  });
  EXPECT_OK(send(offer, paths()));
  EXPECT_EQ((std::vector<std::size_t>{0, 1, 2}), events.verified_files);
}

TEST_F(SenderTest, AStreamingReceiverGetsFilesBackToBackWithinItsWindow) {
  const Offer offer = streaming_offer();
  serve([](TcpStream& s, const Offer&) {
    const std::string hand_out(32, 'e');
    ASSERT_OK(write_extension_answer(
        s, ExtensionAnswer{StreamWindow{2, 100}, hand_out, 5000}));
    EXPECT_EQ("axy", take_file(s, 3));
    EXPECT_EQ("bxy", take_file(s, 3));
    EXPECT_TRUE(quiet(s)) << "a window of two files";
    put(s, 1);
    EXPECT_EQ("cxy", take_file(s, 3));
    put(s, 1);
    put(s, 1);
  });
  EXPECT_OK(send(offer, paths()));
  EXPECT_EQ((std::vector<std::size_t>{0, 1, 2}), events.verified_files);
  EXPECT_EQ(std::string(32, 'e'), events.next_token);
  EXPECT_EQ(5000u, events.next_files);
}

// What a receiver may answer, and what the sender makes of it. Any byte
// but 0x01 and, to an offer that asked, 0xA5 declines at once, whether or
// not the receiver still holds the connection; so does 0xA5 and the end.
// Closing without an answer is none. After 0xA5 an unusable window means
// lockstep, which every receiver of ours takes, and a frame that cannot be
// read is no answer.
TEST_F(SenderTest, AnswersThatAreHostileOrUnusable) {
  struct Case {
    const char* what;
    std::string answer;   // the answer byte and what follows it
    bool offered;         // the offer asked for extensions
    const char* failure;  // nullptr: every file verified
    bool holds = false;   // the receiver waits for the sender to close
  };
  const std::vector<Case> cases = {
      {"not asked for", framed("{}"), false, "declined", true},
      {"0x02", "\x02", true, "declined", true},
      {"0x02, not asked for", "\x02", false, "declined", true},
      {"0x02, then the end", "\x02", false, "declined"},
      {"the end", "", false, "no answer: failed to fill whole buffer"},
      {"0x00", std::string(1, '\0'), true, "declined", true},
      {"0xFF", "\xFF", true, "declined", true},
      {"0xA5, then the end", "\xA5", true, "declined"},
      {"no stream", framed("{}"), true, nullptr},
      {"unknown version",
       framed(R"({"stream":{"version":9,"files":8,"bytes":8}})"), true,
       nullptr},
      {"empty window",
       framed(R"({"stream":{"version":1,"files":0,"bytes":8}})"), true,
       nullptr},
      {"huge window",
       framed(
           R"({"stream":{"version":1,"files":1e99,"bytes":18446744073709551615}})"),
       true, nullptr},
      {"wrong types", framed(R"({"stream":[1,2],"token":7})"), true, nullptr},
      {"longer than its bound", std::string("\xA5\x00\x10\x00\x01", 5), true,
       "no answer: the extension answer of 1048577 bytes is longer than "
       "1048576"},
      {"not JSON", framed("{\"stream\":"), true,
       "no answer: the extension answer is not valid JSON"},
      {"cut short", std::string("\xA5\x00\x00", 3), true,
       "no answer: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    events.verified_files.clear();
    Offer offer = streaming_offer();
    if (!c.offered) offer.extensions.reset();
    serve_answer(c.answer, c.holds, !c.failure);
    Status status = send(offer, paths());
    if (c.failure) {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(c.failure, status.error().message);
    } else {
      EXPECT_OK(status);
      EXPECT_EQ(3u, events.verified_files.size());
    }
  }
}

// A longer next part is granted only above the shared limit and together
// with a token to bring back; any other value is the shared limit.
TEST(ExtensionAnswerText, NextFilesCountsOnlyAboveTheSharedLimitWithAToken) {
  const std::string token = R"(,"token":")" + std::string(32, 'a') + "\"";
  const struct {
    std::string members;
    std::uint64_t next_files;
  } cases[] = {
      {token + R"(,"next_files":10000)", 10000},
      {token, 0},
      {R"(,"next_files":10000)", 0},
      {token + R"(,"next_files":1000)", 0},
      {token + R"(,"next_files":"9999")", 0},
      {token + R"(,"next_files":-5000)", 0},
      {token + R"(,"next_files":1e99)", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    Result<ExtensionAnswer> got = extension_answer_from_json(
        R"({"stream":{"version":1,"files":8,"bytes":8)" + c.members + "}}");
    ASSERT_OK(got);
    EXPECT_EQ(c.next_files, got->next_files);
    // What is read is written back the same.
    EXPECT_EQ(
        *got,
        extension_answer_from_json(extension_answer_to_json(*got)).value());
  }
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
  SenderEvents none;
  Status status = run_sender(address, Offer{"D", "i", {}, std::string("x")},
                             no_paths, none);
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
  SenderEvents none;
  Status status = run_sender(SocketAddress::v4({127, 0, 0, 1}, port), offer,
                             no_paths, none);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " +
                testing::os_error_text(ECONNREFUSED, 10061),
            status.error().message);
}

}  // namespace
}  // namespace burrowlink
