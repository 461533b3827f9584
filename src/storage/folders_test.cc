#include "storage/folders.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "storage/names.h"
#include "test_util.h"

namespace burrowlink {
namespace {

using testing::ScopedTempDir;
using testing::write_whole;
using List = std::vector<std::string>;

TEST(PrepareFolder, CreatesMissingLevels) {
  ScopedTempDir dir;
  EXPECT_OK(prepare_folder(dir.file("a/b/c")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b/c")));
  EXPECT_OK(prepare_folder(dir.file("a/b/c")));
  EXPECT_OK(prepare_folder(dir.file("a/b/c/")));
  EXPECT_OK(prepare_folder(""));
}

TEST(PrepareFolder, FailsOnAFile) {
  ScopedTempDir dir;
  write_whole(dir.file("f"), "x");
  Status status = prepare_folder(dir.file("f"));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(testing::os_error_text(EEXIST, 183), status.error().message);
  Status below = prepare_folder(dir.file("f/sub/more"));
  ASSERT_FALSE(below.ok());
  // Windows makes the missing levels up to the file, which is in the way.
  EXPECT_EQ(testing::os_error_text(ENOTDIR, 183), below.error().message);
}

TEST(FolderParts, HostileValuesCleanToPartsInsideTheFolder) {
  const bool windows = platform::drops_trailing_dots_and_spaces();
  struct Case {
    const char* folder;
    List parts;
  };
  for (const Case& c : std::vector<Case>{
           {"Photos/2024", {"Photos", "2024"}},
           {"", {}},
           {"../..", {}},
           {"/etc", {"etc"}},
           {"a/../../b", {"a", "b"}},
           {"C:\\x", {"C_", "x"}},
           {"\\\\server\\share", {"server", "share"}},
           {"./a//b/.", {"a", "b"}},
           {"tab\there/\x1b[2J", {"tab_here", "_[2J"}},
           {"doc\xE2\x80\xAEgpj.exe", {"doc_gpj.exe"}},
           {"a. . /b", {windows ? "a" : "a. ", "b"}},
       }) {
    EXPECT_EQ(c.parts, folder_parts(c.folder)) << c.folder;
  }
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "d" + std::to_string(i) + "/";
  List kept = folder_parts(deep);
  ASSERT_EQ(MAX_FOLDER_DEPTH, kept.size());
  EXPECT_EQ("d31", kept.back());
}

class FolderTreeTest : public ::testing::Test {
 protected:
  FolderTree tree() {
    Result<platform::Directory> opened = platform::Directory::open(dir.path());
    EXPECT_TRUE(opened.ok());
    root = std::move(opened).value();
    return FolderTree(root);
  }
  std::string in(const std::string& relative) const {
    return testing::fs_path(dir.path()).append(relative).string();
  }
  ScopedTempDir dir;
  platform::Directory root;
};

// Links, deep and long values: end to end in the receiver's hostile tests.
TEST_F(FolderTreeTest, MergesIntoRealFoldersAndNumbersAroundAnythingElse) {
  std::filesystem::create_directories(in("Photos/2024"));
  testing::write_whole(in("Photos/2024/a.jpg"), "x");
  testing::write_whole(in("Docs"), "a file, not a folder");
  FolderTree folders = tree();
  EXPECT_EQ(
      platform::join_path(platform::join_path(dir.path(), "Photos"), "2024"),
      folders.folder_for("Photos/2024").path());
  EXPECT_EQ(platform::join_path(dir.path(), "Docs (1)"),
            folders.folder_for("Docs").path());
  EXPECT_EQ(dir.path(), folders.folder_for("../..").path());
  EXPECT_TRUE(std::filesystem::is_directory(in("Docs (1)")));
  EXPECT_EQ("a file, not a folder", testing::read_whole(in("Docs")));
}

}  // namespace
}  // namespace burrowlink
