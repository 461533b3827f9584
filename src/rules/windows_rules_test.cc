#include "rules/windows_rules.h"

#include <gtest/gtest.h>

#include "rules/windows_rules_test.h"

namespace burrowlink::rules::windows {

// cmd.exe and PowerShell hand wildcards to the program; only what was
// written without quotes is a pattern.
const std::vector<CommandLineCase> COMMAND_LINE_CASES = {
    {LR"("C:\Program Files\b.exe" send *.jpg "*.txt" --to a)",
     {{L"send", false},
      {L"*.jpg", false},
      {L"*.txt", true},
      {L"--to", false},
      {L"a", false}}},
    {LR"(b.exe a\\"b c" d\"e x\y)",
     {{L"a\\b c", true}, {L"d\"e", false}, {L"x\\y", false}}},
    {LR"(b.exe "a""b" "" c)", {{L"a\"b \"", true}, {L"c", false}}},
    {LR"("b.exe"x """" y)", {{L"x", false}, {L"\" y", true}}},
    {L"b.exe \t  x  ", {{L"x", false}}},
};

namespace {

TEST(WindowsCommandLine, SplitAsTheRuntimesSplit) {
  for (const CommandLineCase& c : COMMAND_LINE_CASES) {
    std::vector<CommandLineArgument> expected;
    for (const auto& [text, quoted] : c.args)
      expected.push_back({text, quoted});
    EXPECT_EQ(expected, split_command_line(c.line));
  }
}

TEST(WindowsCommandLine, OnlyTheLastPartHoldsAPattern) {
  EXPECT_EQ(0u, pattern_start("*.jpg"));
  EXPECT_EQ(4u, pattern_start(R"(dir\a?.txt)"));
  EXPECT_EQ(2u, pattern_start("C:*.x"));
  EXPECT_EQ(std::string::npos, pattern_start(R"(s*\x)"));
  EXPECT_EQ(std::string::npos, pattern_start("plain.txt"));
}

TEST(WindowsPaths, JoinWithABackslashExceptAfterASeparatorOrBareDrive) {
  EXPECT_EQ("a\\b", join_path("a", "b"));
  EXPECT_EQ(".\\b", join_path(".", "b"));
  EXPECT_EQ("a/b", join_path("a/", "b"));
  EXPECT_EQ("a\\b", join_path("a\\", "b"));
  EXPECT_EQ("C:b", join_path("C:", "b"));
  EXPECT_EQ("C:\\b", join_path("C:\\", "b"));
  EXPECT_EQ("b", join_path("", "b"));
}

TEST(WindowsPaths, ParentStopsAtTheRoot) {
  EXPECT_EQ("C:\\a", parent_path("C:\\a\\b"));
  EXPECT_EQ("C:\\", parent_path("C:\\a"));
  EXPECT_EQ("C:\\", parent_path("C:\\"));
  EXPECT_EQ("C:", parent_path("C:a"));
  EXPECT_EQ("a", parent_path("a\\b/"));
  EXPECT_EQ("", parent_path("a"));
  EXPECT_EQ("\\\\srv\\share\\", parent_path("\\\\srv\\share\\x"));
  EXPECT_EQ("\\\\?\\UNC\\srv\\share\\",
            parent_path("\\\\?\\UNC\\srv\\share\\x"));
  EXPECT_EQ("\\", parent_path("\\x"));
}

TEST(WindowsPaths, DeviceNamesWithAnyExtension) {
  for (const char* name : {"CON", "nul.txt", "Com1.tar.gz", "LPT9 .x", "aux",
                           "PRN", "COM\xC2\xB9", "conin$"}) {
    EXPECT_TRUE(is_device_name(name)) << name;
  }
  for (const char* name : {"CONSOLE", "COM10", "nul_", "a.con", "COM"}) {
    EXPECT_FALSE(is_device_name(name)) << name;
  }
}

// Windows opens the same entry for names that differ in case or end in dots
// and spaces, so a name kept for the program is taken in all of them.
TEST(WindowsPaths, NamesOfTheSameEntryIgnoreCaseAndTrailingDotsAndSpaces) {
  const struct {
    const char* name;
    bool same;
  } cases[] = {
      {".burrowlink-store", true},
      {".BURROWLINK-STORE", true},
      {".Burrowlink-Store", true},
      {".burrowlink-store.", true},
      {".burrowlink-store . . ", true},
      {".burrowl\xC4\xB1nk-\xC5\xBFtore", true},  // dotless i, long s
      {".burrowlink-store (1)", false},
      {"burrowlink-store", false},
      {" .burrowlink-store", false},
      {".burrowlink-stor", false},
      {".burrowlink-storee", false},
      {".burrowlink-store_", false},
      {".burrowlink-store\xC4", false},
      {".burrowlin\xE2\x84\xAA-store", false},  // the Kelvin sign stays
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.same, names_same_entry(c.name, ".burrowlink-store")) << c.name;
  }
}

TEST(WindowsPaths, NameUnitsAreUtf16Units) {
  EXPECT_EQ(3u, name_units("abc"));
  EXPECT_EQ(1u, name_units("\xC3\xA9"));
  EXPECT_EQ(2u, name_units("\xF0\x9F\x98\x80"));
}

// Real Windows answers CreateFileW(CREATE_NEW) with ERROR_ACCESS_DENIED where
// Wine says the name exists: a folder there (STATUS_FILE_IS_A_DIRECTORY), a
// file whose deletion waits for a scanner's handle (STATUS_DELETE_PENDING),
// and a drive root for CreateDirectoryW. Only nothing there is a real
// permission failure.
TEST(WindowsErrors, AccessDeniedIsATakenNameWhenWindowsSaysSo) {
  constexpr std::uint32_t DENIED = 5, EXISTS = 80, OTHER = 87, MISSING = 3;
  constexpr std::uint32_t IS_A_DIRECTORY = 0xC00000BA;
  constexpr std::uint32_t DELETE_PENDING = 0xC0000056;
  constexpr std::uint32_t ACCESS_DENIED_STATUS = 0xC0000022;
  struct Case {
    const char* what;
    std::uint32_t error;
    bool something_there;
    std::uint32_t nt_status;
    ErrorKind kind;
  };
  for (const Case& c : {
           Case{"folder at the name", DENIED, true, IS_A_DIRECTORY,
                ErrorKind::already_exists},
           Case{"deletion pending", DENIED, false, DELETE_PENDING,
                ErrorKind::already_exists},
           Case{"real permission failure", DENIED, false, ACCESS_DENIED_STATUS,
                ErrorKind::os},
           Case{"file exists", EXISTS, true, 0, ErrorKind::already_exists},
           Case{"parent missing", MISSING, false, 0, ErrorKind::not_found},
           Case{"other failure", OTHER, true, 0, ErrorKind::os},
       }) {
    EXPECT_EQ(c.kind,
              create_file_error_kind(c.error, c.something_there, c.nt_status))
        << c.what;
  }
  EXPECT_EQ(ErrorKind::already_exists, create_folder_error_kind(DENIED, true))
      << "drive root";
  EXPECT_EQ(ErrorKind::os, create_folder_error_kind(DENIED, false))
      << "no permission";
  EXPECT_EQ(ErrorKind::timed_out, error_kind(10060)) << "socket time-out";
}

// A folder walk follows neither symbolic links nor junctions into loops,
// but OneDrive's placeholders (cloud reparse points) are the folders and
// files they stand for.
TEST(WindowsFolders, OnlySymbolicLinksAndJunctionsAreLinks) {
  constexpr std::uint32_t FOLDER = 0x10, REPARSE = 0x400, ARCHIVE = 0x20;
  constexpr std::uint32_t SYMLINK = 0xA000000C, JUNCTION = 0xA0000003;
  constexpr std::uint32_t CLOUD = 0x9000001A, DEDUP = 0x80000013;
  EXPECT_TRUE(is_link(FOLDER | REPARSE, SYMLINK));
  EXPECT_TRUE(is_link(FOLDER | REPARSE, JUNCTION));
  EXPECT_TRUE(is_link(ARCHIVE | REPARSE, SYMLINK));
  EXPECT_FALSE(is_link(FOLDER | REPARSE, CLOUD));
  EXPECT_FALSE(is_link(ARCHIVE | REPARSE, DEDUP));
  // The tag means nothing without the attribute.
  EXPECT_FALSE(is_link(FOLDER, SYMLINK));
}

// Raw mode (no line input) makes Enter a lone CR that never ends a line.
TEST(WindowsConsole, RawModeGetsLineInputForTheAnswer) {
  constexpr std::uint32_t PROCESSED = 0x1, LINE = 0x2, ECHO = 0x4;
  constexpr std::uint32_t QUICK_EDIT_DEFAULT = 0x1F7;
  EXPECT_EQ(PROCESSED | LINE | ECHO, line_input_mode(0));
  EXPECT_EQ(QUICK_EDIT_DEFAULT, line_input_mode(QUICK_EDIT_DEFAULT));
  EXPECT_EQ(0x208u | PROCESSED | LINE | ECHO, line_input_mode(0x208));
}

// What the line read of an answer returns, one character at a time, for
// the key records a console gives: Enter (VK_RETURN, '\r') is returned as
// CR LF; a line feed that came with its line (Ctrl+Enter with '\n', from
// pasted text or a script) wakes the read up and is returned alone.
TEST(WindowsConsole, AnswerEndsAtEnterOrAtALineFeedThatCameWithIt) {
  const struct {
    std::wstring_view read;
    AnswerEnd end;
  } cases[] = {
      {L"y\r\n", AnswerEnd::enter}, {L"\r\n", AnswerEnd::enter},
      {L"y\n", AnswerEnd::wake_up}, {L"\n", AnswerEnd::wake_up},
      {L"y\r", AnswerEnd::open},    {L"y", AnswerEnd::open},
      {L"", AnswerEnd::open},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    EXPECT_EQ(cases[row].end, answer_end(cases[row].read)) << "row " << row;
  }
  // Enter must not wake the read up: it would end at CR and leave its LF
  // to answer the next question.
  EXPECT_EQ(1u << 10, ANSWER_WAKEUP_MASK);
}

}  // namespace
}  // namespace burrowlink::rules::windows
