#include "protocol/receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "protocol/wire.h"
#include "test_util.h"

namespace burrowlink {
namespace {

using platform::TcpStream;
using testing::digest;
using testing::read_whole;
using testing::ScopedTempDir;
using testing::write_whole;

// Runs receive_file on one end of a stream pair while `peer` plays the
// sender on the other.
class ReceiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = TcpStream::pair();
    ASSERT_TRUE(made.ok());
    ours = std::move(made.value().first);
    theirs = std::move(made.value().second);
    // No read waits for good on a peer that never writes.
    ASSERT_OK(ours.set_read_timeout(std::chrono::seconds(30)));
    ASSERT_OK(theirs.set_read_timeout(std::chrono::seconds(30)));
  }

  void peer_sends(const std::string& bytes, bool close_after) {
    ASSERT_OK(theirs.write_all(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
    if (close_after) theirs.close();
  }

  // A file phase in `folder`, with its store, which goes when emptied as
  // a session's does.
  struct Phase {
    Phase(TcpStream& stream, const std::string& folder, std::size_t slot_bytes,
          FilePhaseOptions options = {})
        : root(open_receive_folder(folder)),
          store(root.ok() ? *root : nowhere),
          phase(stream, root, folder, store, events, std::move(options),
                slot_bytes, 2) {}
    Result<platform::Directory> root;
    platform::Directory nowhere;
    Store store;
    ReceiverEvents events;
    FilePhase phase;
  };

  // A small buffer takes several rounds; a large one reads a small file's
  // bytes and its digest together.
  std::optional<std::string> receive(const FileInfo& file,
                                     std::size_t buffer_size = 7) {
    Phase phase(ours, dir.path(), buffer_size);
    return receive_in(phase, file);
  }
  // The failure text, if any.
  static std::optional<std::string> receive_in(Phase& phase,
                                               const FileInfo& file) {
    Result<bool> received = phase.phase.receive(file, 0);
    if (received.ok()) return std::nullopt;
    return received.error().message;
  }

  std::uint8_t verdict() {
    std::uint8_t byte = 0xEE;
    EXPECT_OK(theirs.read_exact({&byte, 1}));
    return byte;
  }

  ScopedTempDir dir;
  TcpStream ours, theirs;
};

TEST_F(ReceiveFileTest, KeepsAVerifiedFile) {
  std::string data = "hello, world and more";
  peer_sends(data + digest(data), false);
  EXPECT_EQ(std::nullopt, receive({"../x.txt", data.size()}));
  EXPECT_EQ(1, verdict());
  EXPECT_EQ(data, read_whole(dir.file("x.txt")));
}

TEST_F(ReceiveFileTest, DigestArrivingWithTheDataOrAfterIt) {
  peer_sends("abc" + digest("abc"), false);
  EXPECT_EQ(std::nullopt, receive({"whole.txt", 3}, 64));
  EXPECT_EQ(1, verdict());

  std::string sum = digest("xyz");
  peer_sends("xyz" + sum.substr(0, 10), false);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer_sends(sum.substr(10), false);
  });
  EXPECT_EQ(std::nullopt, receive({"split.txt", 3}, 64));
  late.join();
  EXPECT_EQ(1, verdict());
  EXPECT_EQ("abc", read_whole(dir.file("whole.txt")));
  EXPECT_EQ("xyz", read_whole(dir.file("split.txt")));
}

TEST_F(ReceiveFileTest, EmptyFileIsVerifiedAgainstTheEmptyDigest) {
  peer_sends(digest(""), false);
  EXPECT_EQ(std::nullopt, receive({"empty", 0}));
  EXPECT_EQ(1, verdict());
  EXPECT_TRUE(std::filesystem::exists(dir.file("empty")));
}

TEST_F(ReceiveFileTest, DeletesADamagedFile) {
  peer_sends("abc" + digest("abd"), false);
  EXPECT_EQ(std::nullopt, receive({"d.bin", 3}));
  EXPECT_EQ(0, verdict());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReceiveFileTest, ANameFreedByADamagedFileIsTakenAgain) {
  Phase phase(ours, dir.path(), 64);
  peer_sends("abc" + digest("abd"), false);
  EXPECT_EQ(std::nullopt, receive_in(phase, {"a.txt", 3}));
  EXPECT_EQ(0, verdict());
  peer_sends("abc" + digest("abc"), false);
  EXPECT_EQ(std::nullopt, receive_in(phase, {"a.txt", 3}));
  EXPECT_EQ(1, verdict());
  EXPECT_EQ("abc", read_whole(dir.file("a.txt")));
}

TEST_F(ReceiveFileTest, EndOfStreamLeavesNoPartialFile) {
  peer_sends("half", true);
  EXPECT_EQ("cut.bin: unexpected end of file", receive({"cut.bin", 100}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReceiveFileTest, ShortDigestLeavesNoFile) {
  peer_sends("abc" + digest("abc").substr(0, 10), true);
  EXPECT_EQ("d.bin: failed to fill whole buffer", receive({"d.bin", 3}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReceiveFileTest, NeverWritesThroughALink) {
  ScopedTempDir elsewhere;
  std::string target = elsewhere.file("victim");
  write_whole(target, "precious");
  std::error_code error;
  std::filesystem::create_symlink(target, dir.file("a.txt"), error);
  if (error) GTEST_SKIP() << "no links here: " << error.message();
  std::filesystem::create_symlink(elsewhere.file("none"), dir.file("b.txt"),
                                  error);  // dangling
  ASSERT_FALSE(error) << error.message();

  peer_sends("new" + digest("new"), false);
  EXPECT_EQ(std::nullopt, receive({"a.txt", 3}));
  peer_sends("new" + digest("new"), false);
  EXPECT_EQ(std::nullopt, receive({"b.txt", 3}));
  EXPECT_EQ("precious", read_whole(target));
  EXPECT_FALSE(std::filesystem::exists(elsewhere.file("none")));
  EXPECT_EQ("new", read_whole(dir.file("a (1).txt")));
  EXPECT_EQ("new", read_whole(dir.file("b (1).txt")));
}

TEST_F(ReceiveFileTest, SizeNearTheTopOfTheRangeIsReceivedUntilTheEnd) {
  // Counting the digest into the bytes still due must not wrap around.
  std::atomic<bool> returned = false;
  std::thread peer([&] {
    peer_sends(std::string(1000, 'x'), false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned) << "gave up while the sender was still sending";
    peer_sends(std::string(1000, 'y'), true);
  });
  std::optional<std::string> failure =
      receive({"huge.bin", UINT64_MAX}, TRANSFER_BUFFER_BYTES);
  returned = true;
  peer.join();
  EXPECT_EQ("huge.bin: unexpected end of file", failure);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReceiveFileTest, UncreatableFileNamesItsPath) {
  std::string gone = dir.file("gone");
  peer_sends("x", false);
  Phase phase(ours, gone, 64);
  std::optional<std::string> failure = receive_in(phase, {"a.txt", 1});
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(0u, failure->find(platform::join_path(gone, "a.txt") + ": "))
      << *failure;
  // The folder is missing: ENOENT, or ERROR_FILE_NOT_FOUND for it.
  EXPECT_TRUE(failure->ends_with(" (os error 2)")) << *failure;
}

TEST_F(ReceiveFileTest, NamesTooLongForTheFolderAreShortened) {
  const std::size_t limit = platform::name_limit(dir.path());
  ASSERT_GE(limit, 100u);
  std::string long_stem(limit + 45, 'n');
  peer_sends("a" + digest("a"), false);
  ASSERT_EQ(std::nullopt, receive({long_stem + ".txt", 1}, 64));
  EXPECT_EQ(1, verdict());
  // The same name again is numbered, and the number still fits.
  peer_sends("b" + digest("b"), false);
  ASSERT_EQ(std::nullopt, receive({long_stem + ".txt", 1}, 64));
  EXPECT_EQ(1, verdict());
  // Characters of several bytes are never cut in half. (Under Wine the
  // Linux file system counts bytes where Windows counts UTF-16 units.)
  const bool units_are_real = !testing::ON_WINDOWS;
  if (units_are_real) {
    std::string cjk;
    for (std::size_t i = 0; i < limit; ++i) cjk += "\xE6\x97\xA5";
    peer_sends("c" + digest("c"), false);
    ASSERT_EQ(std::nullopt, receive({cjk + ".txt", 1}, 64));
    EXPECT_EQ(1, verdict());
  }

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    std::u8string name = entry.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  ASSERT_EQ(units_are_real ? 3u : 2u, names.size());
  std::string kept = std::string(limit - 4, 'n') + ".txt";
  std::string numbered = std::string(limit - 8, 'n') + " (1).txt";
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), kept));
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), numbered));
  auto cut = std::find_if(names.begin(), names.end(), [](const auto& name) {
    return name.ends_with("\xE6\x97\xA5.txt");
  });
  if (units_are_real) {
    ASSERT_NE(names.end(), cut) << ::testing::PrintToString(names);
    EXPECT_LE(platform::name_units(*cut), limit);
    EXPECT_GT(platform::name_units(*cut), limit - 3);
  }
  EXPECT_EQ("a", read_whole(dir.file(kept)));
  EXPECT_EQ("b", read_whole(dir.file(numbered)));
}

// A file grows in the store: one deleted there is never kept, and whatever
// takes its name meanwhile stays, the file taking the next number.
TEST_F(ReceiveFileTest, AFileDeletedOrOvertakenMeanwhileIsNeverKeptOverIt) {
  std::string data(100000, 'd');
  // Windows lets nothing take a path while the deleted file is still open.
  for (bool overtake : {false, true}) {
    std::thread peer([&] {
      peer_sends(data.substr(0, 50000), false);
      // The receiver has created the file by now.
      const std::string store = dir.file(".burrowlink-store");
      for (int i = 0; i < 200 && (!std::filesystem::exists(store) ||
                                  std::filesystem::is_empty(store));
           ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (overtake) {
        write_whole(dir.file("x.bin"), "someone else's");
      } else if (!testing::ON_WINDOWS) {
        for (const auto& entry : std::filesystem::directory_iterator(store)) {
          std::filesystem::remove(entry.path());
        }
      }
      peer_sends(data.substr(50000) + digest(data), false);
    });
    std::optional<std::string> failure = receive({"x.bin", data.size()}, 64);
    peer.join();
    if (overtake) {
      EXPECT_EQ(std::nullopt, failure);
      EXPECT_EQ(1, verdict());
      EXPECT_EQ("someone else's", read_whole(dir.file("x.bin")));
      EXPECT_EQ(data, read_whole(dir.file("x (1).bin")));
    } else if (!testing::ON_WINDOWS) {
      ASSERT_TRUE(failure.has_value());
      EXPECT_EQ(0u, failure->find("x.bin: ")) << *failure;
      EXPECT_FALSE(std::filesystem::exists(dir.file("x.bin")));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file(".burrowlink-store")));
}

// A stream's verdicts may wait while more files are already here, but
// never while the receiver itself waits: a sender that holds the next file
// back until it has them must get them.
TEST_F(ReceiveFileTest, HeldVerdictsGoOutBeforeTheReceiverWaits) {
  ASSERT_OK(theirs.set_read_timeout(std::chrono::seconds(5)));
  std::vector<FileInfo> files;
  std::string first_two;
  for (std::string name : {"a", "b", "c"}) {
    files.push_back({name, 1});
    if (name != "c") first_two += name + digest(name);
  }
  std::thread peer([&] {
    peer_sends(first_two, false);
    std::uint8_t two[2] = {};
    if (!theirs.read_exact(two).ok()) return theirs.close();
    EXPECT_EQ(1, two[0]);
    EXPECT_EQ(1, two[1]);
    peer_sends("c" + digest("c"), false);
    EXPECT_EQ(1, verdict());
  });
  Phase streamed(ours, dir.path(), TRANSFER_BUFFER_BYTES,
                 {Pace::streamed, nullptr, std::nullopt, false});
  EXPECT_OK(streamed.phase.receive_all(files));
  peer.join();
  EXPECT_EQ("c", read_whole(dir.file("c")));
}

}  // namespace
}  // namespace burrowlink
