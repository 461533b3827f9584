#include "test_util.h"

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/files.h"

namespace burrowlink::testing {

platform::Digest sha256_of(std::string_view data) {
  platform::Sha256 sha;
  sha.update({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
  return sha.finish();
}

std::string digest(std::string_view data) {
  const platform::Digest bytes = sha256_of(data);
  return std::string(bytes.begin(), bytes.end());
}

std::string frame(std::string_view body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string out;
  for (int shift : {24, 16, 8, 0}) out += static_cast<char>(length >> shift);
  out += body;
  return out;
}

std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

namespace {

std::string utf8_of(const std::filesystem::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    char name[32];
    std::snprintf(name, sizeof name, "burrowlink-test-%08x",
                  static_cast<unsigned>(random()));
    std::error_code error;
    if (std::filesystem::create_directory(base / name, error)) {
      m_path = utf8_of(base / name);
      return;
    }
    if (error) std::abort();
  }
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::permissions(fs_path(m_path),
                               std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(fs_path(m_path), ignored);
}

std::string ScopedTempDir::file(const std::string& name) const {
  return platform::join_path(m_path, name);
}

std::string read_whole(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_whole(const std::string& path, const std::string& data) {
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out << data;
}

bool is_test_interface(const std::string& name, std::uint32_t address) {
  bool test_name = name == "lo" ||
                   (name.size() == 2 && name[0] == 't' && name[1] >= '0' &&
                    name[1] <= '9') ||
                   name.starts_with("bl-");
  bool test_address = (address >> 24) == 127 || (address >> 24) == 10;
  return test_name && test_address;
}

bool wait_for_file(const std::string& path, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::error_code error;
    if (std::filesystem::file_size(fs_path(path), error) > 0 && !error) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace burrowlink::testing
