#include "commands/sources.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "test_util.h"

namespace burrowlink::commands {
namespace {

using testing::ScopedTempDir;
using testing::write_whole;

std::string error_of(const Args& paths, bool recursive) {
  auto listed = list_sources(paths, recursive);
  return listed.ok() ? "listed" : listed.error().message;
}

TEST(ListSources, AFolderIsWalkedDepthFirstInByteOrder) {
  ScopedTempDir dir;
  const std::string top = dir.file("Photos");
  std::filesystem::create_directories(top + "/b/c");
  std::filesystem::create_directories(top + "/B");
  write_whole(top + "/b/c/z.txt", "zz");
  write_whole(top + "/b/a.txt", "a");
  write_whole(top + "/B/x", "");
  write_whole(top + "/a.jpg", "jpg");
  write_whole(dir.file("notes.txt"), "n");
  auto listed = list_sources({top, dir.file("notes.txt")}, true);
  ASSERT_TRUE(listed.ok()) << listed.error().message;
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < listed->size(); ++i) {
    const FileInfo info = listed->info(i);
    seen.push_back(info.folder.value_or("-") + " " + info.name + " " +
                   std::to_string(info.size));
  }
  EXPECT_EQ((std::vector<std::string>{"Photos/B x 0", "Photos a.jpg 3",
                                      "Photos/b a.txt 1", "Photos/b/c z.txt 2",
                                      "- notes.txt 1"}),
            seen);
  EXPECT_EQ(dir.file("notes.txt"), listed->path(4));
  EXPECT_EQ(top + "/b/c/z.txt", listed->path(3));
}

TEST(ListSources, AFolderGivenAsDotOrDotDotKeepsItsName) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.file("Photos/2024"));
  write_whole(dir.file("Photos/2024/a.jpg"), "a");
  const struct {
    const char* path;
    const char* folder;
  } rows[] = {
      {"Photos/.", "Photos/2024"},       {"Photos/./", "Photos/2024"},
      {"Photos/2024/..", "Photos/2024"}, {"Photos/2024/../.", "Photos/2024"},
      {"Photos/2024/.", "2024"},         {"Photos//", "Photos/2024"},
  };
  for (const auto& row : rows) {
    auto listed = list_sources({dir.file(row.path)}, true);
    ASSERT_TRUE(listed.ok()) << row.path << ": " << listed.error().message;
    EXPECT_EQ(row.folder, listed->info(0).folder.value_or("-")) << row.path;
  }
}

TEST(ListSources, WhatCannotBeSentFailsBeforeAnythingMoves) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.file("empty/inner"));
  EXPECT_EQ(dir.file("empty") +
                " is not a file (send folders as separate "
                "files)",
            error_of({dir.file("empty")}, false));
  EXPECT_EQ(dir.file("empty") +
                ": no files in this folder or below it (empty folders are "
                "not sent)",
            error_of({dir.file("empty")}, true));

  std::filesystem::create_directories(dir.file("odd"));
  write_whole(dir.file("odd/ok.txt"), "x");
  // A link that leads nowhere for another reason than a missing target.
  std::filesystem::create_symlink(dir.file("odd/loop"), dir.file("odd/loop"));
  EXPECT_EQ(dir.file("odd") +
                "/loop: Too many levels of symbolic links (os error 40)",
            error_of({dir.file("odd")}, true));
  std::filesystem::remove(dir.file("odd/loop"));
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string socket_path = dir.file("odd/socket");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
  ASSERT_EQ(0,
            bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address));
  EXPECT_EQ(socket_path + ": neither a regular file nor a folder",
            error_of({dir.file("odd")}, true));
  close(sock);
}

TEST(ListSources, LinksToFilesAreSentLinksToFoldersAndToNothingAreNot) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.file("top/sub"));
  write_whole(dir.file("top/sub/f.txt"), "four");
  std::filesystem::create_symlink(dir.file("top/sub/f.txt"),
                                  dir.file("top/link.txt"));
  std::filesystem::create_directory_symlink(dir.file("top"),
                                            dir.file("top/sub/loop"));
  std::filesystem::create_symlink(dir.file("missing"), dir.file("top/gone"));
  std::filesystem::create_symlink(dir.file("missing/deeper"),
                                  dir.file("top/sub/gone too"));
  auto listed = list_sources({dir.file("top")}, true);
  ASSERT_TRUE(listed.ok()) << listed.error().message;
  ASSERT_EQ(2u, listed->size());
  EXPECT_EQ("link.txt", listed->info(0).name);
  EXPECT_EQ(4u, listed->info(0).size);
  EXPECT_EQ("top/sub", listed->info(1).folder);
}

}  // namespace
}  // namespace burrowlink::commands
