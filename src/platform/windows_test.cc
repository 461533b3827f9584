// What the Windows backend does with the real system: files, sockets,
// arguments and error texts.
#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <aclapi.h>
// clang-format on

#include <vector>

#include "platform/files.h"
#include "platform/network.h"
#include "platform/process.h"
#include "platform/win32.h"
#include "rules/windows_rules.h"
#include "rules/windows_rules_test.h"
#include "test_util.h"

namespace burrowlink::platform {
namespace {

// What write_new and append make (keys, pins, the store's records) lets
// the current user alone in, whatever the folder's rights: no entry for
// anyone else (Wine adds SYSTEM to what it shows), where a file made
// plainly lets others read.
TEST(WindowsFiles, FilesForThisUserAloneLetNoOneElseIn) {
  testing::ScopedTempDir dir;
  Result<Directory> folder = Directory::open(dir.path());
  ASSERT_OK(folder);
  ASSERT_OK(folder->write_new("key", "secret"));
  ASSERT_OK(folder->append("pins", "line\n"));
  ASSERT_OK(write_file(dir.file("plain"), "x"));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<std::uint8_t> user(256);
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(),
                                  static_cast<DWORD>(user.size()), &size));
  CloseHandle(token);
  PSID me = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  std::vector<std::uint8_t> system(SECURITY_MAX_SID_SIZE);
  DWORD system_size = static_cast<DWORD>(system.size());
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system.data(),
                                 &system_size));
  for (auto [name, alone] :
       {std::pair{"key", true}, {"pins", true}, {"plain", false}}) {
    SCOPED_TRACE(name);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(
        ERROR_SUCCESS,
        GetNamedSecurityInfoW(win32::native_path(dir.file(name)).c_str(),
                              SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor));
    ASSERT_NE(nullptr, dacl);
    bool mine = false, others = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, i, &ace));
      PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
      if (EqualSid(sid, me)) {
        mine = true;
      } else if (!EqualSid(sid, system.data())) {
        others = true;
      }
    }
    LocalFree(descriptor);
    EXPECT_TRUE(mine);
    EXPECT_EQ(!alone, others);
  }
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
    EXPECT_OK(file->place(*folder, std::string(name) + " kept"));
  }
}

// The short name no rule predicts reaches the held-back folder too.
TEST(WindowsFiles, AHeldBackFolderIsRefusedByItsShortName) {
  testing::ScopedTempDir dir;
  Result<Directory> root = Directory::open(dir.path());
  ASSERT_OK(root);
  root->hold_back(".burrowlink-store");
  Result<Directory> store = root->open_private_folder(".burrowlink-store");
  ASSERT_OK(store);
  const std::wstring full = win32::native_path(store->path());
  std::wstring short_path(MAX_PATH * 4, L'\0');
  const DWORD length = GetShortPathNameW(full.c_str(), short_path.data(),
                                         static_cast<DWORD>(short_path.size()));
  ASSERT_GT(length, 0u);
  short_path.resize(length);
  const std::string short_name =
      win32::narrow(short_path.substr(short_path.find_last_of(L'\\') + 1));
  if (short_name == ".burrowlink-store") GTEST_SKIP() << "no short names here";
  const Result<Directory> by_short = root->open_folder(short_name);
  ASSERT_FALSE(by_short.ok()) << short_name;
  EXPECT_EQ(ErrorKind::not_a_folder, by_short.error().kind);
  EXPECT_OK(root->make_folder("other"));
  EXPECT_OK(root->open_folder("other"));
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
    Result<IncomingFile> created = folder->create_file("x.part");
    ASSERT_OK(created);
    const std::uint8_t byte = 'x';
    ASSERT_OK(created->write_all({&byte, 1}));
    EXPECT_OK(created->place(*folder, "x.txt"));
  }
  const std::string file = join_path(folder->path(), "x.txt");
  Result<FileStatus> status = file_status(file);
  ASSERT_OK(status);
  EXPECT_EQ(1u, status->size);
  EXPECT_OK(remove_file(file));
  EXPECT_FALSE(path_exists(file));
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

// Our split only decides what was quoted; where it gives text, that text
// must be the system's own.
TEST(WindowsArguments, SplitAgreesWithTheSystem) {
  for (const rules::windows::CommandLineCase& c :
       rules::windows::COMMAND_LINE_CASES) {
    std::vector<rules::windows::CommandLineArgument> split =
        rules::windows::split_command_line(c.line);
    int count = 0;
    LPWSTR* system = CommandLineToArgvW(c.line, &count);
    ASSERT_NE(nullptr, system);
    EXPECT_EQ(static_cast<int>(split.size()) + 1, count);
    for (std::size_t i = 0; i < split.size(); ++i) {
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
            win32::expand_pattern(dir.file("*.jpg")));
  EXPECT_EQ((List{dir.file("x.txt")}),
            win32::expand_pattern(dir.file("?.txt")));
  EXPECT_EQ(List{dir.file("*.png")}, win32::expand_pattern(dir.file("*.png")));
  EXPECT_EQ(List{"no\\such\\*.x"}, win32::expand_pattern("no\\such\\*.x"));
  // Folders match as they do for the runtimes; "." and ".." never.
  EXPECT_EQ(6u, win32::expand_pattern(dir.file("*")).size());
  // Wildcards in a folder's part are not a pattern.
  EXPECT_EQ(List{dir.file("s*\\x")}, win32::expand_pattern(dir.file("s*\\x")));
  // Arguments that program_arguments did not see unquoted name themselves.
  EXPECT_EQ(List{dir.file("*.jpg")},
            expand_file_argument(99, dir.file("*.jpg")));
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
