// The receiver against faults and hostile peers: a full disk, a read-only
// folder, a folder deleted mid-file, senders that vanish, names meant to
// escape or mislead, and malformed frames. Nothing may be lost or left
// half-written, nothing may land outside the folder, and the receiver must
// go on serving an honest sender afterwards.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

// Levels of folders a receiver keeps below its folder.
constexpr std::size_t MAX_DEPTH = 32;

using namespace std::string_literals;

class HostileTest : public TransferTest {
 protected:
  // A small file system at the receive folder, in the tests' own mount
  // namespace so that it vanishes with them.
  void mount_small_folder(const std::string& options) {
    if (std::getenv("BURROWLINK_PRIVATE_MOUNTS") == nullptr) {
      GTEST_SKIP() << "needs a private mount namespace (tests/netns.sh)";
    }
    std::filesystem::create_directories(inbox);
    std::string command =
        "mount -t tmpfs -o " + options + " burrowlink-test '" + inbox + "'";
    ASSERT_EQ(0, std::system(command.c_str()));
  }

  // A one-file offer of `data` from a scripted peer, with its digest.
  std::string one_file(const std::string& name, const std::string& data) {
    return frame(R"({"from":"Peer","files":[{"name":")" + name +
                 R"(","size":)" + std::to_string(data.size()) + "}]}");
  }

  // An honest transfer still works: the receiver goes on serving.
  void expect_still_serving(ToolProcess& recv) {
    TcpStream s = peer();
    put(s, one_file("after.txt", "after"));
    EXPECT_EQ(1, next_byte(s));
    put(s, "after" + digest("after"));
    EXPECT_EQ(1, next_byte(s));
    EXPECT_TRUE(recv.wait_for_out("Received " + shown("after.txt"), 10s))
        << recv.out();
    EXPECT_EQ("after", read_whole(inbox + "/after.txt"));
  }

  void expect_nothing_beside_the_receive_folder() const {
    std::set<std::string> around;
    for (const auto& entry : std::filesystem::directory_iterator(work.path())) {
      around.insert(entry.path().filename().string());
    }
    EXPECT_EQ((std::set<std::string>{"in", "src", "home-r", "home-s"}), around);
  }

  static std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  // The names in the receive folder, but its store's, which may be on its
  // way out just after the last verdict.
  std::set<std::string> stored() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(inbox)) {
      std::u8string name = entry.path().filename().u8string();
      if (name == u8".burrowlink-store") continue;
      names.emplace(name.begin(), name.end());
    }
    return names;
  }
};

TEST_F(HostileTest, AFullDiskFailsTheFileWithItsCause) {
  mount_small_folder("size=1m");
  auto recv = receiver({"--yes"});
  std::string big(3 * 1024 * 1024, 'b');
  TcpStream s = peer();
  put(s, one_file("big.bin", big));
  EXPECT_EQ(1, next_byte(s));
  (void)s.write_all(
      {reinterpret_cast<const std::uint8_t*>(big.data()), big.size()});
  EXPECT_EQ(-1, next_byte(s));
  ASSERT_TRUE(recv->wait_for_err("transfer failed: big.bin: ", 10s))
      << recv->err();
  ASSERT_TRUE(recv->wait_for_err(")\n", 5s));
  std::string line = recv->err().substr(recv->err().find("transfer failed"));
  EXPECT_TRUE(tool().is_os_error(line.substr(0, line.size() - 1),
                                 "transfer failed: big.bin: ", ENOSPC, 112))
      << line;
  EXPECT_TRUE(stored().empty());
  // Nor for a sender that could go on later: a full disk is no break to go
  // on from, and what it holds would only keep the disk full.
  write_whole(src("big.bin"), big);
  EXPECT_NE(0, sender({tool_src("big.bin"), "--to", to()}).status);
  EXPECT_TRUE(store_data().empty());
  expect_still_serving(*recv);
}

TEST_F(HostileTest, AFolderTurnedReadOnlyFailsTheFileWithItsCause) {
  mount_small_folder("size=1m");
  // Read-only from the start ends receive before it listens.
  auto recv = receiver({"--yes"});
  ASSERT_EQ(0, std::system(("mount -o remount,ro '" + inbox + "'").c_str()));
  {
    TcpStream s = peer();
    put(s, one_file("a.txt", "a"));
    EXPECT_EQ(1, next_byte(s));
    put(s, "a" + digest("a"));
    EXPECT_EQ(-1, next_byte(s));
  }
  ASSERT_TRUE(recv->wait_for_err(")\n", 10s)) << recv->err();
  std::string line = recv->err().substr(recv->err().find("transfer failed"));
  EXPECT_TRUE(tool().is_os_error(line.substr(0, line.size() - 1),
                                 "transfer failed: " + shown("a.txt") + ": ",
                                 EROFS, 5))  // Wine: access denied
      << line;
  ASSERT_EQ(0, std::system(("mount -o remount,rw '" + inbox + "'").c_str()));
  expect_still_serving(*recv);
}

// A subfolder that is another file system takes no file renamed from the
// store: its files grow beside their names there, are numbered as any
// file, and one cut off leaves nothing behind.
TEST_F(HostileTest, ASubfolderThatIsAMountPointReceivesAsAnyOther) {
  if (std::getenv("BURROWLINK_PRIVATE_MOUNTS") == nullptr) {
    GTEST_SKIP() << "needs a private mount namespace (tests/netns.sh)";
  }
  const std::string mounted = inbox + "/F";
  std::filesystem::create_directories(mounted);
  ASSERT_EQ(0, std::system(("mount -t tmpfs -o size=16m burrowlink-test '" +
                            mounted + "'")
                               .c_str()));
  std::filesystem::create_directories(work.file("src/F/sub"));
  write_whole(src("F/a.txt"), "alpha");
  const std::string big(2 * 1024 * 1024, 'b');  // big enough to go on later
  write_whole(src("F/sub/big.bin"), big);
  auto recv = receiver({"--yes"});
  for (const char* a : {"alpha", "again"}) {
    write_whole(src("F/a.txt"), a);
    ToolResult sent = sender({"-r", tool_src("F"), "--to", to()});
    EXPECT_EQ(0, sent.status) << sent.err << recv->err();
  }
  EXPECT_EQ("alpha", read_whole(mounted + "/a.txt"));
  EXPECT_EQ("again", read_whole(mounted + "/a (1).txt"));
  EXPECT_TRUE(read_whole(mounted + "/sub/big.bin") == big);
  EXPECT_EQ(std::set<std::string>{"big.bin"}, names_in(mounted + "/sub"));

  TcpStream s = peer();
  put(s, frame(R"({"from":"Peer","files":[{"name":"cut.bin","size":1000,)"
               R"("folder":"F"}]})"));
  EXPECT_EQ(1, next_byte(s));
  put(s, std::string(10, 'c'));
  s.close();
  EXPECT_TRUE(recv->wait_for_err("transfer failed: cut.bin: ", 10s))
      << recv->err();
  EXPECT_EQ((std::set<std::string>{"a.txt", "a (1).txt", "sub"}),
            names_in(mounted));

  // Nor does one in progress when the receiver is interrupted.
  TcpStream half = peer();
  const std::string data(4 * 1024 * 1024, 'h');
  put(half, frame(R"({"from":"Peer","files":[{"name":"half.bin","size":)" +
                  std::to_string(data.size()) + R"(,"folder":"F"}]})"));
  EXPECT_EQ(1, next_byte(half));
  put(half, data.substr(0, data.size() / 2));
  bool growing = false;
  for (int i = 0; i < 500 && !growing; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(mounted)) {
      growing = growing ||
                (entry.path().filename().string().starts_with(".burrowlink-") &&
                 entry.file_size() > 0);
    }
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(growing);
  recv->kill(SIGINT);
  recv->finish(10s);
  EXPECT_EQ((std::set<std::string>{"a.txt", "a (1).txt", "sub"}),
            names_in(mounted));
  std::system(("umount '" + mounted + "'").c_str());
}

TEST_F(HostileTest, AFolderDeletedMidFileIsNeverReportedAsReceived) {
  auto recv = receiver({"--yes"});
  std::string data(2 * 1024 * 1024, 'd');
  TcpStream s = peer();
  put(s, one_file("x.bin", data));
  EXPECT_EQ(1, next_byte(s));
  put(s, data.substr(0, data.size() / 2));
  for (int i = 0; i < 200 && !std::filesystem::exists(inbox + "/x.bin"); ++i) {
    std::this_thread::sleep_for(5ms);
  }
  std::filesystem::remove_all(inbox);
  put(s, data.substr(data.size() / 2) + digest(data));
  EXPECT_EQ(-1, next_byte(s));  // no verdict: nothing was kept
  EXPECT_TRUE(recv->wait_for_err("transfer failed: x.bin: ", 10s))
      << recv->err();
  EXPECT_EQ(std::string::npos, recv->out().find("Received")) << recv->out();
  std::filesystem::create_directories(inbox);
  expect_still_serving(*recv);
}

TEST_F(HostileTest, ASenderGoneMidDigestLeavesNothing) {
  auto recv = receiver({"--yes"});
  {
    TcpStream s = peer();
    put(s, one_file("cut.bin", "data"));
    EXPECT_EQ(1, next_byte(s));
    put(s, "data" + digest("data").substr(0, 10));
  }
  EXPECT_TRUE(recv->wait_for_err(
      "transfer failed: cut.bin: failed to fill whole buffer\n", 10s))
      << recv->err();
  EXPECT_TRUE(stored().empty());
  expect_still_serving(*recv);
}

TEST_F(HostileTest, HostileNamesStayInsideTheFolderAndCannotMislead) {
  auto recv = receiver({"--yes"});
  const std::string long_name(10000, 'n');
  const std::vector<std::pair<std::string, std::string>> names = {
      {"../../etc/passwd", "passwd"},
      {"..\\\\..\\\\boot.ini", "boot.ini"},
      {"a/b\\\\c.txt", "c.txt"},
      {"x\\u0001y\\ty", "x_y_y"},
      {"invoice\\u202efdp.exe", "invoice_fdp.exe"},
      {"..", "file"},
  };
  std::string files;
  for (const auto& [offered, _] : names) {
    files += R"({"name":")" + offered + R"(","size":1},)";
  }
  files += R"({"name":")" + long_name + R"(","size":1})";
  {
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","files":[)" + files + "]}"));
    EXPECT_EQ(1, next_byte(s));
    for (std::size_t i = 0; i <= names.size(); ++i) {
      put(s, "z" + digest("z"));
      EXPECT_EQ(1, next_byte(s));
    }
  }
  {
    std::string same;
    for (int i = 0; i < 1000; ++i) same += R"(["same.txt",1],)";
    same.pop_back();
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","files":[)" + same + "]}"));
    EXPECT_EQ(1, next_byte(s));
    for (int i = 0; i < 1000; ++i) {
      put(s, "s" + digest("s"));
      ASSERT_EQ(1, next_byte(s)) << i;
      recv->drain();
    }
  }
  std::set<std::string> expected;
  for (const auto& [_, kept] : names) expected.insert(kept);
  expected.insert(std::string(platform::name_limit(inbox), 'n'));
  expected.insert("same.txt");
  for (int i = 1; i < 1000; ++i) {
    expected.insert("same (" + std::to_string(i) + ").txt");
  }
  EXPECT_EQ(expected, stored());
  expect_nothing_beside_the_receive_folder();
  expect_still_serving(*recv);
}

// A sender's "folder" values are cleaned, bounded and made inside the
// receive folder, whatever they say; none fails the transfer.
TEST_F(HostileTest, HostileFoldersStayInsideTheReceiveFolder) {
  auto recv = receiver({"--yes"});
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "d/";
  const std::vector<std::pair<std::string, std::string>> folders = {
      {"../..", ""},
      {"/etc", "etc"},
      {"C:\\\\x", "C_/x"},
      {"a/../../b", "a/b"},
      {"\\\\\\\\server\\\\share", "server/share"},
      {"tab\\there/\\u0001", "tab_here/_"},
      {"CON", tool().windows ? "CON (1)" : "CON"},
      {std::string(10000, 'n'), std::string(platform::name_limit(inbox), 'n')},
      {deep, ""},
  };
  std::string files;
  for (const auto& [folder, _] : folders) {
    files += R"({"name":"f.txt","size":1,"folder":")" + folder + R"("},)";
  }
  files.pop_back();
  {
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","files":[)" + files + "]}"));
    EXPECT_EQ(1, next_byte(s));
    for (std::size_t i = 0; i < folders.size(); ++i) {
      put(s, "z" + digest("z"));
      EXPECT_EQ(1, next_byte(s)) << folders[i].first;
    }
  }
  for (const auto& [folder, lands] : folders) {
    std::string expected = lands;
    if (folder == deep) {
      for (std::size_t i = 0; i < MAX_DEPTH; ++i) expected += "d/";
    } else if (!expected.empty()) {
      expected += "/";
    }
    EXPECT_EQ("z", read_whole(inbox + "/" + expected + "f.txt"))
        << folder.substr(0, 40);
  }
  EXPECT_FALSE(std::filesystem::exists("/etc/f.txt"));
  expect_nothing_beside_the_receive_folder();
  expect_still_serving(*recv);
}

// The store is the receiver's alone: whatever names it, folder or file,
// is numbered as a device name is, and a kept file stays where its line
// says, also after the pruning around each transfer.
TEST_F(HostileTest, NothingAPeerNamesLandsInTheStore) {
  auto recv = receiver({"--yes"});
  struct Row {
    std::string folder;  // "" for none
    std::string name;
    std::vector<std::string> lands;  // below the receive folder
    // Where Windows, which ignores case, merges the first level instead.
    std::string windows_first = {};
  };
  const std::vector<Row> rows = {
      {".burrowlink-store",
       "0000000000000000.part",
       {".burrowlink-store (1)", "0000000000000000.part"}},
      {".burrowlink-store/inner",
       "b.txt",
       {".burrowlink-store (1)", "inner", "b.txt"}},
      {"./.burrowlink-store", "c.txt", {".burrowlink-store (1)", "c.txt"}},
      {".BURROWLINK-STORE",
       "d.txt",
       {".BURROWLINK-STORE (1)", "d.txt"},
       ".burrowlink-store (1)"},
      {"", ".burrowlink-store", {".burrowlink-store (2)"}},
      {"deeper", ".burrowlink-store", {"deeper", ".burrowlink-store"}},
      {"sub/.burrowlink-store", "e.txt", {"sub", ".burrowlink-store", "e.txt"}},
  };
  std::string files;
  for (const Row& row : rows) {
    files += R"({"name":")" + row.name + R"(","size":1)";
    if (!row.folder.empty()) files += R"(,"folder":")" + row.folder + "\"";
    files += "},";
  }
  files.pop_back();
  {
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","files":[)" + files + "]}"));
    EXPECT_EQ(1, next_byte(s));
    for (const Row& row : rows) {
      put(s, "z" + digest("z"));
      EXPECT_EQ(1, next_byte(s)) << row.folder << " " << row.name;
    }
  }
  auto lands = [&](const Row& row) {
    const bool merged = tool().windows && !row.windows_first.empty();
    std::string path =
        inbox + "/" + (merged ? row.windows_first : row.lands[0]);
    std::string said = shown(row.lands.front());
    for (std::size_t i = 1; i < row.lands.size(); ++i) {
      path += "/" + row.lands[i];
      said = tool().join(said, row.lands[i]);
    }
    return std::pair{path, said};
  };
  for (const Row& row : rows) {
    const auto [path, said] = lands(row);
    EXPECT_TRUE(recv->wait_for_out("Received " + said + " from", 10s))
        << recv->out();
  }
  // Another transfer, and its pruning, leave them where they are.
  expect_still_serving(*recv);
  for (const Row& row : rows) {
    EXPECT_EQ("z", read_whole(lands(row).first))
        << row.folder << " " << row.name;
  }
  expect_nothing_beside_the_receive_folder();
}

TEST_F(HostileTest, AFolderThatIsALinkIsNeverWrittenThrough) {
  if (tool().windows) GTEST_SKIP() << "Wine shows links as plain folders";
  std::filesystem::create_directories(inbox);
  ScopedTempDir elsewhere;
  std::filesystem::create_directory_symlink(elsewhere.path(),
                                            inbox + "/Photos");
  auto recv = receiver({"--yes"});
  TcpStream s = peer();
  put(s, frame(R"({"from":"Peer","files":[{"name":"a.jpg","size":1,)"
               R"("folder":"Photos/2024"}]})"));
  EXPECT_EQ(1, next_byte(s));
  put(s, "a" + digest("a"));
  EXPECT_EQ(1, next_byte(s));
  EXPECT_EQ("a", read_whole(inbox + "/Photos (1)/2024/a.jpg"));
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

TEST_F(HostileTest, MalformedFramesAndBurstsAreRefusedAndServingGoesOn) {
  auto recv = receiver({"--yes"});
  for (std::string prefix : {"\x80\x00\x00\x00"s, "\xFF\xFF\xFF\xFF"s}) {
    TcpStream s = peer();
    put(s, prefix);
    EXPECT_EQ(-1, next_byte(s));
  }
  {
    // Nested a million levels deep inside a skipped member, and unfinished.
    TcpStream s = peer();
    put(s, frame(R"({"from":"X","extra":)" + std::string(1000000, '[')));
    EXPECT_EQ(-1, next_byte(s));
  }
  for (int i = 0; i < 50; ++i) {
    TcpStream s = peer();  // connects and closes at once
  }
  std::string expected =
      "transfer failed: message too large\n"
      "transfer failed: message too large\n"
      "transfer failed: EOF while parsing a list at line 1 column 1000020\n";
  for (int i = 0; i < 50; ++i) {
    expected += "transfer failed: failed to fill whole buffer\n";
  }
  EXPECT_TRUE(recv->wait_for_err(expected, 20s)) << recv->err();
  EXPECT_TRUE(stored().empty());
  expect_still_serving(*recv);
}

TEST_F(HostileTest, AnInterruptedReceiveLeavesNoPartialFile) {
  std::string big(4 * 1024 * 1024, 'p');
  // Wine turns SIGINT into the console's Ctrl+C event; other signals end
  // a Windows program without one.
  const std::vector<int> signals =
      tool().windows ? std::vector<int>{SIGINT}
                     : std::vector<int>{SIGINT, SIGTERM, SIGHUP};
  for (int signal_number : signals) {
    std::filesystem::remove_all(inbox);
    auto recv = receiver({"--yes"});
    {
      TcpStream s = peer();
      put(s, one_file("kept.txt", "kept"));
      EXPECT_EQ(1, next_byte(s));
      put(s, "kept" + digest("kept"));
      EXPECT_EQ(1, next_byte(s));
    }
    TcpStream s = peer();
    put(s, one_file("half.bin", big));
    EXPECT_EQ(1, next_byte(s));
    put(s, big.substr(0, big.size() / 2));
    ASSERT_TRUE(wait_for_store_data()) << signal_number;
    recv->kill(signal_number);
    ToolResult result = recv->finish(10s);
    // Ended as the signal ends a program, for the shell to see; on Windows
    // with STATUS_CONTROL_C_EXIT, of which the status keeps the low byte.
    EXPECT_EQ(tool().windows ? 0x3A : 128 + signal_number, result.status)
        << signal_number;
    EXPECT_EQ((std::set<std::string>{"kept.txt"}), stored()) << signal_number;
    // The store it emptied goes with it.
    EXPECT_FALSE(std::filesystem::exists(inbox + "/.burrowlink-store"))
        << signal_number;
  }
  if (tool().windows) return;
  // Started with SIGHUP ignored, as under nohup, it stays ignored.
  ToolOptions options = receiver_options({"--yes"});
  options.ignored_signals = {SIGHUP};
  ToolProcess recv(options);
  ASSERT_TRUE(recv.wait_for_err("Ready to receive", 5s)) << recv.err();
  recv.kill(SIGHUP);
  expect_still_serving(recv);
}

}  // namespace
}  // namespace burrowlink::testing
