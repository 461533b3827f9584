// What every backend's files do alike.
#include "platform/files.h"

#include "rules/windows_rules.h"

namespace burrowlink::platform {

bool Directory::holds_back(std::string_view name) const {
  return !m_held_back.empty() &&
         rules::windows::names_same_entry(name, m_held_back);
}

Result<Directory> Directory::open_folder(std::string_view name) const {
  if (holds_back(name)) {
    return Error{"the name is kept for burrowlink", ErrorKind::not_a_folder};
  }
  Result<Directory> folder = open_child(name);
  if (!folder.ok() || m_held_back.empty()) return folder;
  // Reached by another name, such as a short one, it is still the same.
  Result<FileIdentity> held = identity(m_held_back);
  Result<FileIdentity> opened = folder->identity();
  if (held.ok() && opened.ok() && *held == *opened) {
    return Error{"the folder is kept for burrowlink", ErrorKind::not_a_folder};
  }
  return folder;
}

std::optional<std::string> Directory::read_small(std::string_view name,
                                                 std::size_t most) const {
  Result<File> opened = open_file(name);
  if (!opened.ok()) return std::nullopt;
  std::string text;
  std::uint8_t buffer[4096];
  for (Result<std::size_t> got = opened->read(buffer);
       got.ok() && *got > 0 && text.size() < most; got = opened->read(buffer)) {
    text.append(reinterpret_cast<const char*>(buffer), *got);
  }
  return text;
}

IncomingFile::IncomingFile(File file, const Directory& folder,
                           std::string_view name, std::uint64_t device,
                           std::uint64_t number)
    : m_file(std::move(file)),
      m_folder(&folder),
      m_name(name),
      m_device(device),
      m_number(number) {}

IncomingFile::IncomingFile(IncomingFile&& other) noexcept
    : m_file(std::move(other.m_file)),
      m_folder(other.m_folder),
      m_name(std::move(other.m_name)),
      m_device(other.m_device),
      m_number(other.m_number) {}

}  // namespace burrowlink::platform
