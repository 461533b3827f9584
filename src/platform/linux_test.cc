// What the Linux backend does with the real system.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/files.h"
#include "platform/interrupts_posix.h"
#include "platform/network.h"
#include "test_util.h"

namespace burrowlink::platform {
namespace {

TEST(InterruptDeathTest, AnInterruptWaitsUntilTheWaitEndsThenEndsTheProcess) {
  testing::ScopedTempDir dir;
  const std::string reached = join_path(dir.path(), "reached");
  EXPECT_EXIT(
      {
        discard_incoming_on_interrupt();
        {
          InterruptsWait wait;
          ::raise(SIGTERM);
          testing::write_whole(reached, "");
        }
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_TRUE(std::filesystem::exists(reached));
}

// A bind mount reaches the held-back folder by another name, as a short
// name does on Windows: only its identity tells.
// Keys, pins and the store's records: readable by this user alone, under
// any umask.
TEST(PrivateFiles, AreThisUsersAloneWhateverTheUmask) {
  testing::ScopedTempDir dir;
  Result<Directory> folder = Directory::open(dir.path());
  ASSERT_OK(folder);
  const mode_t before = ::umask(0);
  ASSERT_OK(folder->write_new("key", "secret"));
  ASSERT_OK(folder->append("pins", "line\n"));
  ::umask(before);
  for (const char* name : {"key", "pins"}) {
    EXPECT_EQ(std::filesystem::perms::owner_read |
                  std::filesystem::perms::owner_write,
              std::filesystem::status(dir.file(name)).permissions())
        << name;
  }
}

TEST(HeldBackFolder, IsRefusedByAnyNameThatReachesIt) {
  if (std::getenv("BURROWLINK_PRIVATE_MOUNTS") == nullptr) {
    GTEST_SKIP() << "needs a private mount namespace (tests/netns.sh)";
  }
  testing::ScopedTempDir dir;
  for (const char* name : {"store", "alias", "other"}) {
    std::filesystem::create_directory(dir.file(name));
  }
  const std::string mount =
      "mount --bind '" + dir.file("store") + "' '" + dir.file("alias") + "'";
  ASSERT_EQ(0, std::system(mount.c_str()));
  Result<Directory> root = Directory::open(dir.path());
  ASSERT_TRUE(root.ok());
  root->hold_back("store");
  const Result<Directory> alias = root->open_folder("alias");
  const Result<Directory> other = root->open_folder("other");
  const Result<Directory> own = root->open_private_folder("store");
  std::system(("umount '" + dir.file("alias") + "'").c_str());
  ASSERT_FALSE(alias.ok());
  EXPECT_EQ(ErrorKind::not_a_folder, alias.error().kind);
  EXPECT_TRUE(other.ok());
  EXPECT_TRUE(own.ok());
}

// No file is renamed across mounts, a bind mount of the same file system
// included: its volume says so, though its device is the same.
TEST(Volume, DiffersAcrossEveryMount) {
  if (std::getenv("BURROWLINK_PRIVATE_MOUNTS") == nullptr) {
    GTEST_SKIP() << "needs a private mount namespace (tests/netns.sh)";
  }
  testing::ScopedTempDir dir;
  for (const char* name : {"plain", "tmpfs", "bound", "source"}) {
    std::filesystem::create_directory(dir.file(name));
  }
  ASSERT_EQ(0, std::system(("mount -t tmpfs burrowlink-test '" +
                            dir.file("tmpfs") + "'")
                               .c_str()));
  ASSERT_EQ(0, std::system(("mount --bind '" + dir.file("source") + "' '" +
                            dir.file("bound") + "'")
                               .c_str()));
  Result<Directory> root = Directory::open(dir.path());
  ASSERT_TRUE(root.ok());
  const struct {
    const char* name;
    bool same;
  } cases[] = {{"plain", true}, {"tmpfs", false}, {"bound", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Directory> folder = root->open_folder(c.name);
    ASSERT_TRUE(folder.ok());
    EXPECT_EQ(c.same, root->volume().value() == folder->volume().value());
  }
  for (const char* name : {"tmpfs", "bound"}) {
    std::system(("umount '" + dir.file(name) + "'").c_str());
  }
}

// Outside a folder of ours alone, another file put in place of the one
// received is never given the final name.
TEST(IncomingFiles, OneReplacedInASharedFolderIsNotPlaced) {
  testing::ScopedTempDir dir;
  Result<Directory> root = Directory::open(dir.path());
  ASSERT_TRUE(root.ok());
  Result<IncomingFile> out = root->create_file(".growing");
  ASSERT_TRUE(out.ok());
  ASSERT_OK(out->write_all(
      {reinterpret_cast<const std::uint8_t*>("ours"), std::size_t{4}}));
  std::filesystem::rename(dir.file(".growing"), dir.file("moved"));
  testing::write_whole(dir.file(".growing"), "theirs");
  EXPECT_FALSE(out->place(*root, "final").ok());
  EXPECT_FALSE(std::filesystem::exists(dir.file("final")));
  EXPECT_EQ("theirs", testing::read_whole(dir.file(".growing")));
}

TEST(Streams, ClosedPeerIsAnErrorNotASignal) {
  auto pair = TcpStream::pair();
  ASSERT_TRUE(pair.ok());
  pair->second.close();
  std::uint8_t byte = 1;
  Status status = pair->first.write_all({&byte, 1});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("Broken pipe (os error 32)", status.error().message);
}

TEST(Streams, RepliesStopPollingOnceSeveralPollsFoundNothing) {
  auto pair = TcpStream::pair();
  ASSERT_TRUE(pair.ok());
  TcpStream& ours = pair->first;
  ours.set_spin(std::chrono::microseconds(100));
  // A late byte that never comes fails the test rather than hanging it.
  ASSERT_OK(ours.set_read_timeout(std::chrono::seconds(30)));
  std::uint8_t byte = 7;
  // A reply already there is a hit and resets the count.
  for (int round = 0; round < TcpStream::SPIN_MISSES + 2; ++round) {
    ASSERT_OK(pair->second.write_all({&byte, 1}));
    ASSERT_OK(ours.read_exact({&byte, 1}, Expect::reply));
  }
  EXPECT_TRUE(ours.spinning());
  // Bulk data never polls, so it never counts.
  for (int round = 0; round < TcpStream::SPIN_MISSES + 2; ++round) {
    std::thread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::uint8_t sent = 7;  // not `byte`, which the reader fills
      (void)pair->second.write_all({&sent, 1});
    });
    ASSERT_OK(ours.read_exact({&byte, 1}, Expect::data));
    late.join();
  }
  EXPECT_TRUE(ours.spinning());
  for (int round = 0; round < TcpStream::SPIN_MISSES; ++round) {
    EXPECT_TRUE(ours.spinning());
    std::thread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::uint8_t sent = 7;  // not `byte`, which the reader fills
      (void)pair->second.write_all({&sent, 1});
    });
    ASSERT_OK(ours.read_exact({&byte, 1}, Expect::reply));
    late.join();
  }
  EXPECT_FALSE(ours.spinning());
}

TEST(Streams, ReadTimeoutGivesTheSystemsText) {
  auto pair = TcpStream::pair();
  ASSERT_TRUE(pair.ok());
  ASSERT_OK(pair->first.set_read_timeout(std::chrono::milliseconds(50)));
  std::uint8_t byte;
  Result<std::size_t> got = pair->first.read_some({&byte, 1});
  ASSERT_FALSE(got.ok());
  EXPECT_EQ("Resource temporarily unavailable (os error 11)",
            got.error().message);
}

}  // namespace
}  // namespace burrowlink::platform

namespace burrowlink::platform {
namespace {

bool has_destination(const Ipv4& wanted) {
  auto list = ipv4_broadcast_addresses();
  if (!list.ok()) return false;
  for (const Ipv4& a : *list) {
    if (a == wanted) return true;
  }
  return false;
}

TEST(BroadcastAddresses, OnlyInterfacesThatAreUpAndRunning) {
  std::string why;
  ASSERT_TRUE(testing::network_is_isolated(&why)) << why;
  // One end of a veth pair has no carrier until the other end is up.
  ASSERT_EQ(0, std::system("ip link add bl-v0 type veth peer name bl-v1 && "
                           "ip addr add 10.78.0.1/24 dev bl-v0 && "
                           "ip addr add 10.79.0.1/16 dev bl-v0 && "
                           "ip link set bl-v0 up"));
  EXPECT_FALSE(has_destination({10, 78, 0, 255}));
  ASSERT_EQ(0, std::system("ip link set bl-v1 up"));
  for (int i = 0; i < 100 && !has_destination({10, 78, 0, 255}); ++i) {
    usleep(10000);
  }
  EXPECT_TRUE(has_destination({10, 78, 0, 255}));
  EXPECT_TRUE(has_destination({10, 79, 255, 255}));
  EXPECT_FALSE(has_destination({127, 255, 255, 255}));
  std::system("ip link del bl-v0");
}

}  // namespace
}  // namespace burrowlink::platform
