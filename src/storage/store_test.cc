#include "storage/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "test_util.h"

namespace burrowlink {
namespace {

using testing::ScopedTempDir;

ResumeKey key_of(std::string name, std::uint64_t size = 10) {
  return ResumeKey{"sender", "Photos/2024", std::move(name), size, 1234};
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root.ok()) << root.error().message; }

  // An entry holding `bytes` of `key`'s file, as a broken transfer leaves
  // it; its id.
  std::string waiting(const ResumeKey& key, const std::string& bytes) {
    Store store(*root, lists);
    std::string id;
    Result<platform::IncomingFile> file = store.create(key, id);
    EXPECT_OK(file);
    if (!file.ok()) return id;
    EXPECT_OK(file->write_all(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
    EXPECT_OK(file->suspend());
    EXPECT_OK(
        store.checkpoint(id, {0, bytes.size(), testing::sha256_of(bytes)}));
    return id;
  }

  std::vector<std::string> names() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(
             testing::fs_path(dir.file(std::string(STORE_NAME))), error)) {
      found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  ScopedTempDir dir;
  Result<platform::Directory> root = platform::Directory::open(dir.path());
  // Lists of kept files go where the test can see them.
  ScopedTempDir home;
  std::string lists = home.path();
};

TEST(StoreRecord, ReadsOnlyWhatItWrites) {
  StoreEntry entry{"id", key_of("a \"b\".jpg", 99), {}, {}, std::nullopt};
  const std::string record = store_record(entry);
  EXPECT_EQ(R"({"sender":"sender","folder":"Photos/2024","name":"a \"b\".jpg",)"
            R"("size":99,"modified":1234})",
            record);
  EXPECT_EQ(entry.key, read_store_record(record)->key);
  for (const char* bad : {
           R"({"sender":"s","folder":"","name":"n","size":1})",
           R"({"sender":"s","folder":"","name":"n","size":1,"modified":-1})",
           R"({"sender":"s","folder":"","name":"n","size":"1","modified":1})",
           R"({"sender":"s","folder":"","name":"n","size":1,"modified":1,)"
           R"("size":2})",
           R"({"sender":"s","folder":"","name":"n","size":1,"modified":1,)"
           R"("more":0})",
           R"(["s","","n",1,1])",
           R"({"sender":"s","folder":"","name":"n","size":1,"modified":1)",
       }) {
    EXPECT_EQ(std::nullopt, read_store_record(bad)) << bad;
  }
}

TEST_F(StoreTest, FindsAPrefixOnlyForTheSameFileFromTheSameSender) {
  waiting(key_of("a.jpg"), "12345");
  Store store(*root, lists);
  ASSERT_OK(store.open(false));
  std::optional<StoreEntry> found = store.find(key_of("a.jpg"), {});
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(5u, found->bytes_held());
  // One entry serves one file of an offer.
  EXPECT_EQ(std::nullopt, store.find(key_of("a.jpg"), {found->id}));

  // Each differs from the waiting file in one part of its key.
  ResumeKey later = key_of("a.jpg");
  later.modified += 1;
  ResumeKey elsewhere = key_of("a.jpg");
  elsewhere.folder = "Photos";
  ResumeKey stranger = key_of("a.jpg");
  stranger.sender = "someone else";
  for (const ResumeKey& other :
       {key_of("b.jpg"), key_of("a.jpg", 11), later, elsewhere, stranger}) {
    EXPECT_EQ(std::nullopt, store.find(other, {}))
        << other.sender << " " << other.folder << " " << other.name << " "
        << other.size << " " << other.modified;
  }
}

// What no resume can use goes: data of senders that cannot resume, records
// without data, records that do not read, and entries older than a week;
// and an empty store goes with them.
TEST_F(StoreTest, TidyingKeepsOnlyWhatCanResumeWithinAWeek) {
  const std::string fresh = waiting(key_of("fresh"), "abc");
  const std::string gone = waiting(key_of("gone"), "abc");
  Store store(*root, lists);
  ASSERT_OK(store.open(false));
  std::string plain;
  {
    Result<platform::IncomingFile> file = store.create(std::nullopt, plain);
    ASSERT_OK(file);
    ASSERT_OK(file->suspend());
  }
  ASSERT_OK(store.open(true));
  std::filesystem::remove(dir.file(std::string(STORE_NAME)) + "/" + gone +
                          ".part");
  testing::write_whole(dir.file(std::string(STORE_NAME)) + "/junk.json", "{");
  store.prune(WallClock::now());
  EXPECT_EQ((std::vector<std::string>{fresh + ".json", fresh + ".part",
                                      fresh + ".sums"}),
            names());
  EXPECT_TRUE(store.find(key_of("fresh"), {}).has_value());

  store.prune(WallClock::now() + STORE_KEEPS + std::chrono::hours(1));
  EXPECT_FALSE(std::filesystem::exists(dir.file(std::string(STORE_NAME))));
}

TEST_F(StoreTest, RoomIsMadeOldestFirstSparingWhatIsWanted) {
  // An entry of 100 bytes whose record was written `hours` ago.
  auto aged = [&](const char* name, int hours) {
    const std::string id = waiting(key_of(name, 100), std::string(100, 'x'));
    std::filesystem::last_write_time(
        testing::fs_path(dir.file(std::string(STORE_NAME)) + "/" + id +
                         ".json"),
        std::filesystem::file_time_type::clock::now() -
            std::chrono::hours(hours));
    return id;
  };
  const std::string oldest = aged("1", 3);
  aged("2", 2);
  aged("3", 0);
  Store store(*root, lists);
  ASSERT_OK(store.open(false));
  // 150 bytes more than are free: two entries go, the wanted one stays.
  store.make_room(250, 100, {oldest});
  EXPECT_TRUE(store.find(key_of("1", 100), {}).has_value());
  EXPECT_FALSE(store.find(key_of("2", 100), {}).has_value());
  EXPECT_FALSE(store.find(key_of("3", 100), {}).has_value());
  store.make_room(10, 100, {});
  EXPECT_TRUE(store.find(key_of("1", 100), {}).has_value());
}

// A second receiver on the same folder tidies while the first one writes:
// what is being written stays, recorded or not, until it is closed.
TEST_F(StoreTest, TidyingLeavesWhatAnotherReceiverIsWriting) {
  Store writing(*root, lists);
  std::string recorded, plain;
  Result<platform::IncomingFile> big = writing.create(key_of("big"), recorded);
  Result<platform::IncomingFile> small = writing.create(std::nullopt, plain);
  ASSERT_OK(big);
  ASSERT_OK(small);
  Result<platform::Directory> again = platform::Directory::open(dir.path());
  ASSERT_OK(again);
  Store other(*again, lists);
  ASSERT_OK(other.open(false));
  other.prune(WallClock::now());
  other.make_room(1000, 0, {});
  std::vector<std::string> writing_now{plain + ".part", recorded + ".json",
                                       recorded + ".part"};
  std::sort(writing_now.begin(), writing_now.end());
  EXPECT_EQ(writing_now, names());
  // Closed with nothing in them, both are of no use.
  ASSERT_OK(big->suspend());
  ASSERT_OK(small->suspend());
  other.prune(WallClock::now());
  EXPECT_EQ(std::vector<std::string>{}, names());
}

// Room is made only when the prefixes that may go make enough of it.
TEST_F(StoreTest, NoRoomIsMadeForWhatCannotFitAnyway) {
  struct Case {
    std::uint64_t needed, free;
    std::size_t left;
  };
  for (const Case& c : {Case{250, 100, 1}, Case{400, 100, 0}, Case{401, 100, 3},
                        Case{UINT64_MAX, 100, 3}, Case{4000, 0, 3}}) {
    std::filesystem::remove_all(dir.file(std::string(STORE_NAME)));
    for (const char* name : {"1", "2", "3"}) {
      waiting(key_of(name, 100), std::string(100, 'x'));
    }
    Store store(*root, lists);
    ASSERT_OK(store.open(false));
    store.make_room(c.needed, c.free, {});
    std::size_t left = 0;
    for (const char* name : {"1", "2", "3"}) {
      left += store.find(key_of(name, 100), {}).has_value();
    }
    EXPECT_EQ(c.left, left) << c.needed << " " << c.free;
  }
}

// A prefix is the chain of stretches from byte 0 that its list holds: a
// later line for the same start replaces the earlier one, and a line that
// a crash cut short, or that does not read, is no line.
TEST(StoreSegments, TheChainFromTheFirstByteIsWhatIsHeld) {
  const platform::Digest a{1}, b{2}, c{3};
  const Segment first{0, 10, a}, again{0, 20, b}, next{20, 30, c};
  struct Case {
    std::string text;
    std::vector<Segment> chain;
  } cases[] = {
      {"", {}},
      {segment_line(first), {first}},
      {segment_line(first) + segment_line(again), {again}},
      {segment_line(first) + segment_line(again) + segment_line(next),
       {again, next}},
      // No stretch from 0, or one that does not join on.
      {segment_line(next), {}},
      {segment_line(first) + segment_line(next), {first}},
      // Cut short, or not ours.
      {segment_line(first) + segment_line(again).substr(0, 20), {first}},
      {"0 10 zz\n", {}},
      {"0 0 " + std::string(64, '0') + "\n", {}},
      {"-1 10 " + std::string(64, '0') + "\n", {}},
  };
  for (const Case& row : cases) {
    EXPECT_EQ(row.chain, read_segments(row.text)) << row.text;
  }
}

// A file kept whole is offered only while it is just as it was placed:
// the record spares reading it, so any change must end the record.
TEST_F(StoreTest, AKeptFileCountsOnlyWhileItIsUnchanged) {
  const ResumeKey key{"sender", "", "big.bin", 5, 1234};
  Store store(*root, lists);
  std::string id;
  {
    Result<platform::IncomingFile> file = store.create(key, id);
    ASSERT_OK(file);
    ASSERT_OK(
        file->write_all({reinterpret_cast<const std::uint8_t*>("12345"), 5}));
    ASSERT_OK(file->place(*root, "big.bin"));
  }
  Result<platform::FileStatus> placed = root->status("big.bin");
  ASSERT_OK(placed);
  store.forget(id);
  store.keep(
      {"", key, {}, {{0, 5, platform::Digest{7}}}, Kept{"big.bin", *placed}});
  // Windows removes no folder that is held open.
  store.close();
  {
    Store again(*root, lists);
    ASSERT_OK(again.open(false));
    std::optional<StoreEntry> found = again.find(key, {});
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(5u, found->bytes_held());
    ASSERT_TRUE(found->kept.has_value());
    EXPECT_EQ("big.bin", found->kept->file);
  }
  // Rewritten with the same bytes: its change time moved on.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  testing::write_whole(dir.file("big.bin"), "12345");
  Store after(*root, lists);
  ASSERT_OK(after.open(false));
  EXPECT_EQ(std::nullopt, after.find(key, {}));
  after.prune(WallClock::now());
  EXPECT_FALSE(std::filesystem::exists(dir.file(std::string(STORE_NAME))));
  EXPECT_TRUE(std::filesystem::is_empty(
      testing::fs_path(home.path() + "/" + std::string(KEPT_LISTS))));
}

}  // namespace
}  // namespace burrowlink
