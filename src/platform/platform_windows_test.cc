// The Windows backend's own rules: paths, device names, error texts.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"
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
  for (const char* name : {"CON", "nul.txt", "Com1.tar.gz", "LPT9 .x", "aux",
                           "PRN", "COM\xC2\xB9"}) {
    Result<File> file = File::create_new(dir.file(name));
    ASSERT_FALSE(file.ok()) << name;
    EXPECT_EQ(ErrorKind::already_exists, file.error().kind) << name;
  }
  for (const char* name : {"CONSOLE", "COM10", "nul_", "a.con"}) {
    EXPECT_OK(File::create_new(dir.file(name)));
  }
}

TEST(WindowsFiles, PathsLongerThanMaxPathWork) {
  testing::ScopedTempDir dir;
  std::string folder = dir.path();
  for (int level = 0; level < 6; ++level) {
    folder = join_path(folder, std::string(60, static_cast<char>('a' + level)));
    ASSERT_OK(make_directory(folder));
  }
  ASSERT_GT(folder.size(), 300u);
  EXPECT_TRUE(is_directory(folder));
  std::string file = join_path(folder, "x.txt");
  {
    Result<File> created = File::create_new(file);
    ASSERT_OK(created);
    const std::uint8_t byte = 'x';
    ASSERT_OK(created->write_all({&byte, 1}));
    EXPECT_OK(created->check_in_place(file));
    EXPECT_OK(created->close());
  }
  Result<FileStatus> status = file_status(file);
  ASSERT_OK(status);
  EXPECT_EQ(1u, status->size);
  EXPECT_TRUE(path_exists(file));
  EXPECT_OK(remove_file(file));
  EXPECT_FALSE(path_exists(file));
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
