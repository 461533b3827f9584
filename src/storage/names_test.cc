#include "storage/names.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

namespace burrowlink {
namespace {

using testing::ScopedTempDir;
using testing::write_whole;

TEST(SafeFileName, KeepsOnlyTheLastPart) {
  EXPECT_EQ("passwd", safe_file_name("../../etc/passwd"));
  EXPECT_EQ("x.dll", safe_file_name("C:\\Windows\\x.dll"));
  EXPECT_EQ("c.txt", safe_file_name("a/b\\c.txt"));
}

TEST(SafeFileName, ReplacesReservedAndControlCharacters) {
  EXPECT_EQ("a_b_c_.txt", safe_file_name("a:b*c?.txt"));
  EXPECT_EQ("tab_and_line_", safe_file_name("tab\tand\nline\x1b"));
  EXPECT_EQ("c1_", safe_file_name("c1\xC2\x9B"));
  EXPECT_EQ("_______", safe_file_name("<>:\"|?*"));
  EXPECT_EQ("r\xC3\xA9sum\xC3\xA9.pdf",
            safe_file_name("r\xC3\xA9sum\xC3\xA9.pdf"));
}

TEST(SafeFileName, ReplacesBidirectionalControls) {
  EXPECT_EQ("invoice_fdp.exe", safe_file_name("invoice\xE2\x80\xAE"
                                              "fdp.exe"));
  EXPECT_EQ("a_b_c_d_e_", safe_file_name("a\xD8\x9C"
                                         "b\xE2\x80\x8E"
                                         "c\xE2\x80\x8F"
                                         "d\xE2\x81\xA6"
                                         "e\xE2\x81\xA9"));
  // Neighbours of the set stay.
  EXPECT_EQ(
      "a\xE2\x80\xAF"
      "b\xE2\x81\xA5"
      "c",
      safe_file_name("a\xE2\x80\xAF"
                     "b\xE2\x81\xA5"
                     "c"));
}

TEST(SafeFileName, TrimsSpaceThenTrailingDots) {
  EXPECT_EQ("report", safe_file_name("report. "));
  EXPECT_EQ("report ", safe_file_name("report .", false));
  EXPECT_EQ(".profile", safe_file_name(".profile"));
  for (const char* empty : {"..", ".", "   ", "dir/", ""}) {
    EXPECT_EQ("file", safe_file_name(empty)) << empty;
  }
}

TEST(SafeFileName, WhereTrailingDotsAndSpacesVanishTrimsUntilStable) {
  EXPECT_EQ("report ", safe_file_name("report .", false));
  EXPECT_EQ("report", safe_file_name("report .", true));
  EXPECT_EQ("file", safe_file_name(". .", true));
  EXPECT_EQ("a", safe_file_name("a . .\xC2\xA0.", true));
  EXPECT_EQ(".profile", safe_file_name(".profile", true));
  EXPECT_EQ(platform::drops_trailing_dots_and_spaces(),
            safe_file_name("x .") == "x");
}

TEST(FreeNames, NumbersBeforeTheExtensionAroundWhatIsThere) {
  ScopedTempDir dir;
  Result<platform::Directory> folder = platform::Directory::open(dir.path());
  ASSERT_OK(folder);
  FreeNames names;
  auto place = [&](std::string_view safe_name) {
    std::string path;
    EXPECT_OK(names.place(
        *folder, safe_name, path,
        [&](const std::string& name) { return folder->write_new(name, ""); }));
    return path;
  };
  EXPECT_EQ(dir.file("photo.jpg"), place("photo.jpg"));
  EXPECT_EQ(dir.file("photo (1).jpg"), place("photo.jpg"));
  EXPECT_EQ(dir.file("photo (2).jpg"), place("photo.jpg"));

  write_whole(dir.file(".profile"), "x");
  EXPECT_EQ(dir.file(".profile (1)"), place(".profile"));
  write_whole(dir.file("archive.tar.gz"), "x");
  EXPECT_EQ(dir.file("archive.tar (1).gz"), place("archive.tar.gz"));
  std::filesystem::create_directory(testing::fs_path(dir.file("notes")));
  EXPECT_EQ(dir.file("notes (1)"), place("notes"));
}

}  // namespace
}  // namespace burrowlink
