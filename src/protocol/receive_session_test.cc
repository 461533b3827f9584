#include "protocol/receive_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "test_util.h"

namespace burrowlink {
namespace {

using platform::TcpStream;
using testing::digest;
using testing::frame;
using testing::read_whole;
using testing::ScopedTempDir;

// What the session reported, a line each; `ask` answers as scripted.
class RecordedEvents : public ReceiverEvents {
 public:
  Decision decision = Decision::accept;
  std::vector<std::string> lines;

  void offered(const Incoming& in) override {
    if (in.secured) {
      lines.push_back(std::string(in.secured->new_device ? "new " : "known ") +
                      in.secured->id);
    }
  }
  Decision ask(const Incoming& in) override {
    lines.push_back("ask " + in.sender);
    return decision;
  }
  void continued(const Incoming&) override { lines.push_back("continued"); }
  void note(const Incoming& in) override {
    lines.push_back("note " + *in.offer.text);
  }
  void kept(const FileInfo& file, const std::string&) override {
    lines.push_back("kept " + file.name);
  }
  void discarded(const FileInfo& file, Discarded why) override {
    lines.push_back((why == Discarded::damaged ? "damaged " : "not same ") +
                    file.name);
  }
};

// A session on one end of a stream pair; the test plays the sender on the
// other.
class ReceiveSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = TcpStream::pair();
    ASSERT_OK(made);
    ours = std::move(made->first);
    theirs = std::move(made->second);
    ASSERT_OK(theirs.set_read_timeout(std::chrono::seconds(10)));
    settings.folder = dir.path();
    settings.auto_accept = true;
  }
  void TearDown() override {
    if (session.joinable()) session.join();
  }

  void start() {
    session = std::thread([this] {
      served = serve_connection(ours, settings, continuations, events);
      ours.close();
    });
  }
  // The session's failure text, "" for none, once it has ended.
  std::string finish() {
    theirs.close();
    session.join();
    return served.ok() ? "" : served.error().message;
  }
  void put(const std::string& bytes) {
    ASSERT_OK(theirs.write_all(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
  }
  // The next byte, or -1 once the session has closed.
  int next_byte() {
    std::uint8_t byte = 0;
    return theirs.read_exact({&byte, 1}).ok() ? byte : -1;
  }

  ScopedTempDir dir;
  TcpStream ours, theirs;
  ReceiverSettings settings;
  Continuations continuations;
  RecordedEvents events;
  std::thread session;
  Status served;
};

constexpr int EXTENDED = ANSWER_ACCEPT_EXTENDED;

// What each offer gets: the shared answer, the extended one only for an
// offer of ours that asks, or nothing at all for one no sender makes.
TEST_F(ReceiveSessionTest, EachOfferGetsItsAnswer) {
  const std::string file = R"("files":[{"name":"a.txt","size":1}])";
  const std::string ours_asks = R"(,"extensions":{"stream":{"version":1}})";
  std::string thousand_and_one;
  for (int i = 0; i < 1001; ++i) {
    thousand_and_one += std::string(i ? "," : "") + R"({"name":"f","size":1})";
  }
  struct Case {
    const char* what;
    std::string members;  // of the offer after "from" and "fromId"
    int answer;           // -1: the session closes without one
    std::vector<std::string> lines;
    bool extensions = true;
    Decision decision = Decision::accept;
    bool ask = false;
  };
  for (const Case& c : {
           Case{"the shared protocol", file, 1, {"kept a.txt"}},
           Case{"ours", file + ours_asks, EXTENDED, {"kept a.txt"}},
           Case{"a later version",
                file + R"(,"extensions":{"stream":{"version":3}})",
                EXTENDED,
                {"kept a.txt"}},
           Case{"an unusable version",
                file + R"(,"extensions":{"stream":{"version":"1"}})",
                1,
                {"kept a.txt"}},
           Case{"extensions not an object",
                file + R"(,"extensions":[1])",
                1,
                {"kept a.txt"}},
           Case{"ours, extensions turned off",
                file + ours_asks,
                1,
                {"kept a.txt"},
                false},
           Case{"a note that asks to stream",
                R"("files":[],"text":"hi")" + ours_asks,
                1,
                {"note hi"}},
           Case{"no file and no note", R"("files":[])", -1, {}},
           Case{"too many files",
                R"("files":[)" + thousand_and_one + "]" + ours_asks,
                -1,
                {}},
           Case{"declined",
                file,
                0,
                {"ask Peer"},
                true,
                Decision::decline,
                true},
       }) {
    SCOPED_TRACE(c.what);
    SetUp();
    settings.extensions = c.extensions;
    settings.auto_accept = !c.ask;
    events = RecordedEvents();
    events.decision = c.decision;
    start();
    put(frame(R"({"from":"Peer","fromId":"p",)" + c.members + "}"));
    ASSERT_EQ(c.answer, next_byte());
    if (c.answer == EXTENDED) {
      Result<std::optional<ExtensionAnswer>> got =
          read_extension_answer(theirs);
      ASSERT_OK(got);
      ASSERT_TRUE(got->has_value());
      EXPECT_EQ(STREAM_WINDOW, (*got)->stream);
    }
    if (c.lines == std::vector<std::string>{"kept a.txt"}) {
      put("x" + digest("x"));
      EXPECT_EQ(1, next_byte());
    }
    EXPECT_EQ(-1, next_byte());
    EXPECT_EQ("", finish());
    EXPECT_EQ(c.lines, events.lines);
    TearDown();
  }
}

// Frames that cannot be an offer end the connection unanswered, with the
// reason; one the sender gave up on ends it with its own.
TEST_F(ReceiveSessionTest, WhatEndsAConnectionBeforeTheAnswer) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string failure;
    bool ask = false;
  };
  for (const Case& c : {
           Case{"a length past the limit", std::string("\x80\x00\x00\x00", 4),
                "message too large"},
           Case{"the secure preamble, to a receiver without a key",
                std::string("WNS\x01", 4), "message too large"},
           Case{"nested deep and unfinished",
                frame(R"({"from":"X","extra":)" + std::string(100000, '[')),
                "EOF while parsing a list at line 1 column 100020"},
           Case{"the sender left during the question",
                frame(R"({"from":"Peer","files":[{"name":"a","size":1}]})"),
                "Peer stopped waiting for the answer", true},
       }) {
    SCOPED_TRACE(c.what);
    SetUp();
    settings.auto_accept = !c.ask;
    events = RecordedEvents();
    events.decision = Decision::sender_left;
    start();
    put(c.bytes);
    EXPECT_EQ(-1, next_byte());
    EXPECT_EQ(c.failure, finish());
    TearDown();
  }
}

// A damaged file in a stream ends it: the files before it are kept, and
// the one after it is never waited for.
TEST_F(ReceiveSessionTest, ADamagedFileInTheMiddleEndsTheStream) {
  start();
  put(frame(R"({"from":"Peer","fromId":"p","files":[{"name":"a","size":1},)"
            R"({"name":"b","size":1},{"name":"c","size":1}],"text":null,)"
            R"("extensions":{"stream":{"version":1}}})"));
  ASSERT_EQ(EXTENDED, next_byte());
  ASSERT_OK(read_extension_answer(theirs));
  put("a" + digest("a") + "b" + digest("B") + "c" + digest("c"));
  EXPECT_EQ(1, next_byte());
  EXPECT_EQ(0, next_byte());
  EXPECT_EQ(-1, next_byte());
  EXPECT_EQ("c: unexpected end of file", finish());
  EXPECT_EQ((std::vector<std::string>{"kept a", "damaged b"}), events.lines);
  EXPECT_EQ("a", read_whole(dir.file("a")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("b")));
  EXPECT_FALSE(std::filesystem::exists(dir.file(".burrowlink-store")));
}

}  // namespace
}  // namespace burrowlink

namespace burrowlink {
namespace {

secure::KeyPair key_pair(std::uint8_t seed) {
  secure::Key key{};
  key.fill(seed);
  return *secure::key_pair_from(key);
}

// Inside the channel the offer must name the device that authenticated,
// and it is the device's own name that the question shows.
TEST_F(ReceiveSessionTest, ASecureOfferComesFromTheDeviceThatAuthenticated) {
  ScopedTempDir home;
  const LocalDevice local{key_pair(1), "receiver-id", "Inbox", home.path()};
  const LocalDevice peer{key_pair(2), "peer-id", "Peer", home.path()};
  struct Case {
    const char* what;
    std::string from_id;
    std::vector<std::string> lines;
    std::string failure;
  };
  for (const Case& c : {
           Case{"its own id, first contact",
                R"("fromId":"peer-id",)",
                {"new peer-id", "kept a.txt"},
                ""},
           Case{"its own id, known",
                R"("fromId":"peer-id",)",
                {"known peer-id", "kept a.txt"},
                ""},
           Case{"another id",
                R"("fromId":"other",)",
                {},
                "refused an offer from Peer that claims to come from another "
                "device (\"other\")"},
           Case{"no id",
                "",
                {},
                "refused an offer from Peer that claims to "
                "come from another device (no id)"},
       }) {
    SCOPED_TRACE(c.what);
    SetUp();
    std::filesystem::remove(dir.file("a.txt"));
    settings.device = &local;
    events = RecordedEvents();
    start();
    const std::string card = device_card(card_of(peer));
    Result<secure::SecureChannel> channel =
        secure::initiate(theirs, peer.key, [&](const secure::Peer&) {
          return Result<secure::Buffer>(
              secure::Buffer(card.begin(), card.end()));
        });
    ASSERT_OK(channel);
    const std::string offer = frame(R"({"from":"Claimed",)" + c.from_id +
                                    R"("files":[{"name":"a.txt","size":1}]})");
    ASSERT_OK(channel->write_all(
        {reinterpret_cast<const std::uint8_t*>(offer.data()), offer.size()}));
    std::uint8_t answer = 0;
    if (c.failure.empty()) {
      ASSERT_OK(channel->read_exact({&answer, 1}));
      EXPECT_EQ(ANSWER_ACCEPT, answer);
      const std::string file = "x" + digest("x");
      ASSERT_OK(channel->write_all(
          {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}));
      ASSERT_OK(channel->read_exact({&answer, 1}));
    } else {
      EXPECT_FALSE(channel->read_exact({&answer, 1}).ok());
    }
    channel->close();
    EXPECT_EQ(c.failure, finish());
    EXPECT_EQ(c.lines, events.lines);
    TearDown();
  }
}

}  // namespace
}  // namespace burrowlink
