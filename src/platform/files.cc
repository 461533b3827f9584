// What every backend's files do alike.
#include "platform/files.h"

namespace burrowlink::platform {

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
