#include "storage/names.h"

#include <algorithm>
#include <utility>

#include "text/unicode.h"

namespace burrowlink {

namespace {

struct NameParts {
  std::string_view stem;
  std::string_view extension;  // with its dot, or empty
};

NameParts split_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {name, {}};
  return {name.substr(0, dot), name.substr(dot)};
}

// The longest start of `text`, cut between characters, that takes at most
// `budget` of the system's name units.
std::string_view leading_units(std::string_view text, std::size_t budget) {
  std::size_t used = 0, end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    while (next < text.size() &&
           (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) {
      ++next;
    }
    used += platform::name_units(text.substr(end, next - end));
    if (used > budget) break;
    end = next;
  }
  return text.substr(0, end);
}

}  // namespace

// The extension is kept when cut, unless it is itself most of the limit.
std::string candidate_name(std::string_view safe_name, std::uint64_t n,
                           std::size_t limit) {
  NameParts parts = split_extension(safe_name);
  std::string suffix = n == 0 ? "" : " (" + std::to_string(n) + ")";
  std::string name =
      std::string(parts.stem) + suffix + std::string(parts.extension);
  if (platform::name_units(name) <= limit) return name;
  if (platform::name_units(parts.extension) > limit / 2) {
    parts = {safe_name, {}};
  }
  std::size_t tail =
      platform::name_units(suffix) + platform::name_units(parts.extension);
  std::string_view stem =
      leading_units(parts.stem, limit > tail ? limit - tail : 0);
  if (suffix.empty() && parts.extension.empty()) {
    // The cut end is the name's end: it must not end as cleaning forbids.
    return safe_file_name(stem);
  }
  return std::string(stem) + suffix + std::string(parts.extension);
}

std::string safe_file_name(std::string_view offered) {
  return safe_file_name(offered, platform::drops_trailing_dots_and_spaces());
}

std::string safe_file_name(std::string_view offered, bool until_stable) {
  std::size_t cut = offered.find_last_of("/\\");
  if (cut != std::string_view::npos) offered.remove_prefix(cut + 1);
  std::string name = clean_name(offered, until_stable);
  return name.empty() ? "file" : name;
}

std::string clean_name(std::string_view part, bool until_stable) {
  std::string cleaned;
  cleaned.reserve(part.size());
  for (std::size_t i = 0; i < part.size(); ++i) {
    auto byte = static_cast<unsigned char>(part[i]);
    std::size_t bidi = text::bidi_control_length(part.substr(i));
    bool c1 = byte == 0xC2 && i + 1 < part.size() &&
              static_cast<unsigned char>(part[i + 1]) >= 0x80 &&
              static_cast<unsigned char>(part[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F ||
        std::string_view("<>:\"|?*").find(static_cast<char>(byte)) !=
            std::string_view::npos) {
      cleaned += '_';
    } else if (c1) {
      cleaned += '_';
      ++i;
    } else if (bidi > 0) {
      // Bidirectional controls let a name show another extension than it
      // has ("invoice<RLO>fdp.exe").
      cleaned += '_';
      i += bidi - 1;
    } else {
      cleaned += static_cast<char>(byte);
    }
  }

  // Where the system drops trailing dots and spaces, a name that still ends
  // in one (". ." gives ". ") would be stored under another name than the
  // one reported, so trimming goes on until it changes nothing.
  std::string_view name = cleaned;
  for (std::size_t before = name.size() + 1; name.size() != before;) {
    before = name.size();
    name = text::trim_white_space(name);
    while (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (!until_stable) break;
  }
  return std::string(name);
}

std::vector<std::string> folder_parts(std::string_view folder) {
  const bool until_stable = platform::drops_trailing_dots_and_spaces();
  std::vector<std::string> parts;
  while (!folder.empty() && parts.size() < MAX_FOLDER_DEPTH) {
    const std::size_t cut =
        std::min(folder.find_first_of("/\\"), folder.size());
    std::string part = clean_name(folder.substr(0, cut), until_stable);
    if (!part.empty()) parts.push_back(std::move(part));
    folder.remove_prefix(std::min(cut + 1, folder.size()));
  }
  return parts;
}

std::string FreeNames::key_of(const platform::Directory& folder,
                              std::string_view safe_name) {
  std::string key = folder.path();
  key += '\0';
  key += safe_name;
  return key;
}

std::uint64_t FreeNames::first_untried(const std::string& key) const {
  auto known = m_next.find(key);
  return known == m_next.end() ? 0 : known->second;
}

void FreeNames::took(const std::string& key, std::uint64_t n) {
  if (n > 0) m_next[key] = n + 1;
}

}  // namespace burrowlink
