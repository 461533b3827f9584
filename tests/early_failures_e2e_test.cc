// What cannot work ends a command at once, with its cause: a sender before
// it looks for its receiver, a receiver before it announces itself.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

namespace fs = std::filesystem;

// `options` run as root without its power to read and write past modes.
ToolResult run_unprivileged(ToolOptions options) {
  options.args.insert(
      options.args.begin(),
      {"--bounding-set=-dac_override,-dac_read_search",
       "--inh-caps=-dac_override,-dac_read_search", "--", tool_path()});
  options.program = "/usr/bin/setpriv";
  return run_tool(options);
}

TEST_F(TransferTest, WhatCannotWorkFailsBeforeAnythingIsAnnouncedOrSent) {
  for (const char* file : {"ok.txt", "secret.txt", "Photos/2024/a.jpg"}) {
    fs::create_directories(fs::path(src(file)).parent_path());
    write_whole(src(file), file);
  }
  fs::permissions(src("secret.txt"), fs::perms::none);
  fs::permissions(src("Photos/2024/a.jpg"), fs::perms::none);
  const std::string shut = work.file("shut"), ro = work.file("ro");
  fs::create_directories(shut);
  fs::permissions(shut, fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_directories(ro);
  const bool mounts = std::getenv("BURROWLINK_PRIVATE_MOUNTS") != nullptr;
  const std::string mount = "mount -t tmpfs -o ro burrowlink-test '" + ro + "'";
  if (mounts) {
    ASSERT_EQ(0, std::system(mount.c_str()));
  }
  const struct {
    ToolOptions options;
    std::string failing;  // the path the error names
    int posix;
    bool unprivileged;  // else on a read-only mount
  } rows[] = {
      {sender_options(
           {tool_src("ok.txt"), tool_src("secret.txt"), "--to", "Recv"}),
       tool_src("secret.txt"), EACCES, true},
      {sender_options({"-r", tool_src("Photos"), "--to", "Recv"}),
       tool().join(tool().join(tool_src("Photos"), "2024"), "a.jpg"), EACCES,
       true},
      {receiver_options({"--dir", tool().path(shut)}), tool().path(shut),
       EACCES, true},
      {receiver_options({"--dir", tool().path(ro)}), tool().path(ro), EROFS,
       false},
  };
  for (const auto& row : rows) {
    // Wine runs as it is; mounts need the tests' own namespace.
    if (row.unprivileged ? tool().windows : !mounts) continue;
    ToolOptions options = row.options;
    options.timeout = 10s;  // a receiver that starts waits for senders
    ToolResult got =
        row.unprivileged ? run_unprivileged(options) : run_tool(options);
    EXPECT_EQ(1, got.status) << row.failing;
    // One line, the error: no search, no offer, no ready line.
    ASSERT_TRUE(got.err.ends_with("\n")) << row.failing << ": " << got.err;
    EXPECT_TRUE(tool().is_os_error(got.err.substr(0, got.err.size() - 1),
                                   "burrowlink: " + row.failing + ": ",
                                   row.posix, 5))  // Wine: access denied
        << got.err;
  }
  EXPECT_TRUE(fs::is_empty(shut));
  if (mounts) std::system(("umount '" + ro + "'").c_str());
}

}  // namespace
}  // namespace burrowlink::testing
