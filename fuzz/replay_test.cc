// Replays every fuzz target's seeds and saved crash inputs through its entry
// point, without a fuzzing engine, so that the test suite keeps them passing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz.h"
#include "test_util.h"

extern "C" {
int burrowlink_fuzz_address(const std::uint8_t* data, std::size_t size);
int burrowlink_fuzz_beacon(const std::uint8_t* data, std::size_t size);
int burrowlink_fuzz_file_name(const std::uint8_t* data, std::size_t size);
int burrowlink_fuzz_offer(const std::uint8_t* data, std::size_t size);
int burrowlink_fuzz_secure(const std::uint8_t* data, std::size_t size);
int burrowlink_fuzz_unicode(const std::uint8_t* data, std::size_t size);
}

namespace burrowlink {
namespace {

using Entry = int (*)(const std::uint8_t*, std::size_t);

// The inputs in fuzz/{corpus,regressions}/`target`, in name order; dot
// files and READMEs are notes, not inputs.
std::vector<std::filesystem::path> inputs_of(const std::string& target) {
  std::vector<std::filesystem::path> inputs;
  for (const char* kind : {"corpus", "regressions"}) {
    const std::filesystem::path folder =
        std::filesystem::path(BURROWLINK_FUZZ_DIR) / kind / target;
    if (!std::filesystem::is_directory(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name.starts_with('.') ||
          name.starts_with("README")) {
        continue;
      }
      inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

// Runs every input; a broken invariant aborts, naming the file.
std::size_t replay(const std::string& target, Entry entry) {
  const std::vector<std::filesystem::path> inputs = inputs_of(target);
  for (const std::filesystem::path& path : inputs) {
    fuzz::current_input() = path.string();
    const std::string bytes = testing::read_whole(path.string());
    entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  fuzz::current_input().clear();
  return inputs.size();
}

TEST(FuzzReplay, Address) {
  EXPECT_GT(replay("address", burrowlink_fuzz_address), 0u);
}

TEST(FuzzReplay, Beacon) {
  EXPECT_GT(replay("beacon", burrowlink_fuzz_beacon), 0u);
}

TEST(FuzzReplay, FileName) {
  EXPECT_GT(replay("file_name", burrowlink_fuzz_file_name), 0u);
}

TEST(FuzzReplay, Offer) {
  EXPECT_GT(replay("offer", burrowlink_fuzz_offer), 0u);
}

TEST(FuzzReplay, Secure) {
  EXPECT_GT(replay("secure", burrowlink_fuzz_secure), 0u);
}

TEST(FuzzReplay, Unicode) {
  EXPECT_GT(replay("unicode", burrowlink_fuzz_unicode), 0u);
}

}  // namespace
}  // namespace burrowlink
