// The Windows backend's own rules: paths, device names, error texts.
#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <vector>

#include "platform/platform.h"
#include "platform/windows_rules.h"
#include "test_util.h"

namespace burrowlink::platform {
namespace {

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
}

TEST(WindowsFiles, DeviceNamesAreNeverCreated) {
  testing::ScopedTempDir dir;
  Result<Directory> folder = Directory::open(dir.path());
  ASSERT_OK(folder);
  for (const char* name : {"CON", "nul.txt", "Com1.tar.gz", "LPT9 .x", "aux",
                           "PRN", "COM\xC2\xB9"}) {
    Result<IncomingFile> file = folder->create_file(name);
    ASSERT_FALSE(file.ok()) << name;
    EXPECT_EQ(ErrorKind::already_exists, file.error().kind) << name;
    EXPECT_EQ(ErrorKind::already_exists, folder->make_folder(name).error().kind)
        << name;
    EXPECT_EQ(ErrorKind::not_a_folder, folder->open_folder(name).error().kind)
        << name;
  }
  for (const char* name : {"CONSOLE", "COM10", "nul_", "a.con"}) {
    Result<IncomingFile> file = folder->create_file(name);
    ASSERT_OK(file);
    EXPECT_OK(file->keep());
  }
}

TEST(WindowsFiles, PathsLongerThanMaxPathWork) {
  testing::ScopedTempDir dir;
  Result<Directory> folder = Directory::open(dir.path());
  ASSERT_OK(folder);
  for (int level = 0; level < 6; ++level) {
    const std::string name(60, static_cast<char>('a' + level));
    ASSERT_OK(folder->make_folder(name));
    folder = folder->open_folder(name);
    ASSERT_OK(folder);
  }
  ASSERT_GT(folder->path().size(), 300u);
  EXPECT_TRUE(is_directory(folder->path()));
  {
    Result<IncomingFile> created = folder->create_file("x.txt");
    ASSERT_OK(created);
    const std::uint8_t byte = 'x';
    ASSERT_OK(created->write_all({&byte, 1}));
    EXPECT_OK(created->keep());
  }
  const std::string file = join_path(folder->path(), "x.txt");
  Result<FileStatus> status = file_status(file);
  ASSERT_OK(status);
  EXPECT_EQ(1u, status->size);
  EXPECT_OK(remove_file(file));
  EXPECT_FALSE(path_exists(file));
}

// Real Windows answers CreateFileW(CREATE_NEW) with ERROR_ACCESS_DENIED where
// Wine says the name exists: a folder there (STATUS_FILE_IS_A_DIRECTORY), a
// file whose deletion waits for a scanner's handle (STATUS_DELETE_PENDING),
// and a drive root for CreateDirectoryW. Only nothing there is a real
// permission failure.
TEST(WindowsRules, AccessDeniedIsATakenNameWhenWindowsSaysSo) {
  constexpr std::uint32_t DENIED = 5, EXISTS = 80, OTHER = 87;
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
           Case{"other failure", OTHER, true, 0, ErrorKind::os},
       }) {
    EXPECT_EQ(c.kind, windows::create_file_error_kind(
                          c.error, c.something_there, c.nt_status))
        << c.what;
  }
  EXPECT_EQ(ErrorKind::already_exists,
            windows::create_folder_error_kind(DENIED, true))
      << "drive root";
  EXPECT_EQ(ErrorKind::os, windows::create_folder_error_kind(DENIED, false))
      << "no permission";
}

// A scanner or indexer that opens a received file can no longer keep a
// damaged one in place: it must share deletion with our handle, and the
// deletion goes through that handle.
TEST(WindowsFiles, ADiscardedFileGoesWhileAScannerHoldsIt) {
  testing::ScopedTempDir dir;
  Result<Directory> folder = Directory::open(dir.path());
  ASSERT_OK(folder);
  Result<IncomingFile> file = folder->create_file("damaged.bin");
  ASSERT_OK(file);
  const std::wstring path = testing::fs_path(dir.file("damaged.bin")).wstring();
  HANDLE blocking = CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, blocking);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  HANDLE scanner =
      CreateFileW(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, scanner);
  EXPECT_TRUE(file->discard());
  CloseHandle(scanner);
  EXPECT_FALSE(path_exists(dir.file("damaged.bin")));
}

// cmd.exe and PowerShell hand wildcards to the program; only what was
// written without quotes is a pattern, and our split must agree with the
// system's wherever it says so.
TEST(WindowsArguments, QuotedArgumentsAreNoPatterns) {
  struct Case {
    const wchar_t* line;
    std::vector<std::pair<std::wstring, bool>> args;  // text, quoted
  };
  for (const Case& c : std::vector<Case>{
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
       }) {
    std::vector<windows::CommandLineArgument> split =
        windows::split_command_line(c.line);
    int count = 0;
    LPWSTR* system = CommandLineToArgvW(c.line, &count);
    ASSERT_NE(nullptr, system);
    ASSERT_EQ(c.args.size(), split.size());
    EXPECT_EQ(static_cast<int>(split.size()) + 1, count);
    for (std::size_t i = 0; i < split.size(); ++i) {
      EXPECT_EQ(c.args[i].first, split[i].text) << i;
      EXPECT_EQ(c.args[i].second, split[i].quoted) << i;
      if (static_cast<int>(i) + 1 < count) {
        EXPECT_EQ(system[i + 1], split[i].text) << i;
      }
    }
    LocalFree(system);
  }
}

TEST(WindowsArguments, APatternNamesItsFilesSortedOrItself) {
  testing::ScopedTempDir dir;
  for (const char* name : {"b.jpg", "a.jpg", "C.JPG", "x.txt", "ab.txt"}) {
    testing::write_whole(dir.file(name), "x");
  }
  ASSERT_OK(make_directory(dir.file("sub")));
  using List = std::vector<std::string>;
  EXPECT_EQ((List{dir.file("a.jpg"), dir.file("b.jpg"), dir.file("C.JPG")}),
            windows::expand_pattern(dir.file("*.jpg")));
  EXPECT_EQ((List{dir.file("x.txt")}),
            windows::expand_pattern(dir.file("?.txt")));
  EXPECT_EQ(List{dir.file("*.png")},
            windows::expand_pattern(dir.file("*.png")));
  EXPECT_EQ(List{"no\\such\\*.x"}, windows::expand_pattern("no\\such\\*.x"));
  // Folders match as they do for the runtimes; "." and ".." never.
  EXPECT_EQ(6u, windows::expand_pattern(dir.file("*")).size());
  // Wildcards in a folder's part are not a pattern.
  EXPECT_EQ(List{dir.file("s*\\x")},
            windows::expand_pattern(dir.file("s*\\x")));
  // Arguments that program_arguments did not see unquoted name themselves.
  EXPECT_EQ(List{dir.file("*.jpg")},
            expand_file_argument(99, dir.file("*.jpg")));
}

// A folder walk follows neither symbolic links nor junctions into loops,
// but OneDrive's placeholders (cloud reparse points) are the folders and
// files they stand for.
TEST(WindowsFolders, OnlySymbolicLinksAndJunctionsAreLinks) {
  constexpr std::uint32_t FOLDER = 0x10, REPARSE = 0x400, ARCHIVE = 0x20;
  constexpr std::uint32_t SYMLINK = 0xA000000C, JUNCTION = 0xA0000003;
  constexpr std::uint32_t CLOUD = 0x9000001A, DEDUP = 0x80000013;
  EXPECT_TRUE(windows::is_link(FOLDER | REPARSE, SYMLINK));
  EXPECT_TRUE(windows::is_link(FOLDER | REPARSE, JUNCTION));
  EXPECT_TRUE(windows::is_link(ARCHIVE | REPARSE, SYMLINK));
  EXPECT_FALSE(windows::is_link(FOLDER | REPARSE, CLOUD));
  EXPECT_FALSE(windows::is_link(ARCHIVE | REPARSE, DEDUP));
  // The tag means nothing without the attribute.
  EXPECT_FALSE(windows::is_link(FOLDER, SYMLINK));
}

// Raw mode (no line input) makes Enter a lone CR that never ends a line.
TEST(WindowsConsole, RawModeGetsLineInputForTheAnswer) {
  constexpr std::uint32_t PROCESSED = 0x1, LINE = 0x2, ECHO = 0x4;
  constexpr std::uint32_t QUICK_EDIT_DEFAULT = 0x1F7;
  EXPECT_EQ(PROCESSED | LINE | ECHO, windows::line_input_mode(0));
  EXPECT_EQ(QUICK_EDIT_DEFAULT, windows::line_input_mode(QUICK_EDIT_DEFAULT));
  EXPECT_EQ(0x208u | PROCESSED | LINE | ECHO, windows::line_input_mode(0x208));
}

// CREATE_ALWAYS with FILE_ATTRIBUTE_NORMAL fails on a hidden or system file,
// which would give a new identity on every run.
TEST(WindowsFiles, AHiddenSystemFileIsRewritten) {
  testing::ScopedTempDir dir;
  const std::string file = dir.file(".burrowlink-cli-id");
  testing::write_whole(file, "an older and longer identifier");
  ASSERT_TRUE(
      SetFileAttributesW(testing::fs_path(file).wstring().c_str(),
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_OK(write_file(file, "id"));
  EXPECT_EQ("id", testing::read_whole(file));
}

// Winsock lets a socket with SO_REUSEADDR bind one address over a wildcard
// listener and take its connections, unless the listener has exclusive use.
// (Wine's host refuses such a bind either way.)
TEST(WindowsSockets, NoOtherSocketTakesTheListenersPort) {
  Result<TcpListener> listener = TcpListener::listen_v4(0, 4);
  ASSERT_OK(listener);
  Result<std::uint16_t> port = listener->local_port();
  ASSERT_OK(port);
  SOCKET other = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(INVALID_SOCKET, other);
  BOOL on = TRUE;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR,
             reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(*port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(0,
            bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address));
  closesocket(other);
}

TEST(WindowsErrors, SystemTextWithoutItsLineEnd) {
  Result<File> file = File::open_read("surely-missing.file");
  ASSERT_FALSE(file.ok());
  const std::string& message = file.error().message;
  EXPECT_EQ(ErrorKind::not_found, file.error().kind);
  EXPECT_TRUE(message.ends_with(" (os error 2)")) << message;
  EXPECT_EQ(std::string::npos, message.find_first_of("\r\n")) << message;
  EXPECT_EQ(testing::os_error_text(0, 2), message);
}

TEST(WindowsText, EnvironmentValuesArriveAsUtf8) {
  testing::ScopedEnv env;
  env.set("BURROWLINK_TEST_VALUE", "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ("\xC3\xA9\xF0\x9F\x98\x80", get_env("BURROWLINK_TEST_VALUE"));
  env.set("BURROWLINK_TEST_VALUE", "");
  EXPECT_EQ("", get_env("BURROWLINK_TEST_VALUE"));
  env.unset("BURROWLINK_TEST_VALUE");
  EXPECT_EQ(std::nullopt, get_env("BURROWLINK_TEST_VALUE"));
}

// Runs burrowlink.exe from beside this test program with `arguments` (a
// command line tail, in UTF-16 as given) and returns its exit status and
// standard error.
std::pair<DWORD, std::string> run_tool(const std::wstring& arguments) {
  wchar_t own[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring tool(own, length);
  tool = tool.substr(0, tool.find_last_of(L"\\/") + 1) + L"burrowlink.exe";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return {~0u, ""};
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  std::wstring command = L"\"" + tool + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(tool.c_str(), command.data(), nullptr, nullptr,
                                TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    return {~0u, ""};
  }
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    output.append(buffer, got);
  }
  CloseHandle(read_end);
  WaitForSingleObject(process.hProcess, 30000);
  DWORD status = ~0u;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return {status, output};
}

TEST(WindowsArguments, ALoneSurrogateIsRefusedAndTextArrivesWhole) {
  auto [status, err] = run_tool(L"list --seconds x\xD800y");
  EXPECT_EQ(1u, status);
  // Shown with a replacement character for each byte of its UTF-8 form.
  EXPECT_EQ(
      "burrowlink: argument 3 is not valid text: \"x\xEF\xBF\xBD"
      "\xEF\xBF\xBD\xEF\xBF\xBDy\"\n",
      err);

  // A character beyond the BMP, as a surrogate pair, is ordinary text.
  auto [ok_status, ok_err] = run_tool(L"nope\xD83D\xDE00");
  EXPECT_EQ(1u, ok_status);
  EXPECT_EQ(0u,
            ok_err.find("burrowlink: unknown command \"nope\xF0\x9F\x98\x80\""))
      << ok_err;
}

}  // namespace
}  // namespace burrowlink::platform
