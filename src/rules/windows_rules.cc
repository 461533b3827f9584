#include "rules/windows_rules.h"

#include <algorithm>

namespace burrowlink::rules::windows {

namespace {

constexpr std::uint32_t ENABLE_PROCESSED_INPUT_FLAG = 0x1;
constexpr std::uint32_t ENABLE_LINE_INPUT_FLAG = 0x2;
constexpr std::uint32_t ENABLE_ECHO_INPUT_FLAG = 0x4;
constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT_FLAG = 0x400;
constexpr std::uint32_t IO_REPARSE_TAG_SYMLINK_TAG = 0xA000000C;
constexpr std::uint32_t IO_REPARSE_TAG_MOUNT_POINT_TAG = 0xA0000003;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Where the component that starts at `from` ends.
std::size_t component_end(std::string_view path, std::size_t from) {
  return std::min(path.find_first_of("/\\", from), path.size());
}

// Extends `end`, the end of a component, over the next `count` components.
std::size_t skip_components(std::string_view path, std::size_t end, int count) {
  for (int i = 0; i < count && end < path.size(); ++i) {
    end = component_end(path, end + 1);
  }
  return end;
}

bool is_ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_unc(std::string_view text) {
  return text.size() == 3 && (text[0] | 0x20) == 'u' &&
         (text[1] | 0x20) == 'n' && (text[2] | 0x20) == 'c';
}

}  // namespace

ErrorKind error_kind(std::uint32_t error) {
  switch (error) {
    case WSAETIMEDOUT_CODE:
    case ERROR_TIMEOUT_CODE:
      return ErrorKind::timed_out;
    case ERROR_FILE_EXISTS_CODE:
    case ERROR_ALREADY_EXISTS_CODE:
      return ErrorKind::already_exists;
    case ERROR_FILE_NOT_FOUND_CODE:
    case ERROR_PATH_NOT_FOUND_CODE:
      return ErrorKind::not_found;
    default:
      return ErrorKind::os;
  }
}

ErrorKind create_file_error_kind(std::uint32_t error, bool something_there,
                                 std::uint32_t last_nt_status) {
  if (error == ERROR_ACCESS_DENIED_CODE &&
      (something_there || last_nt_status == STATUS_DELETE_PENDING_CODE)) {
    return ErrorKind::already_exists;
  }
  return error_kind(error);
}

ErrorKind create_folder_error_kind(std::uint32_t error, bool folder_there) {
  return create_file_error_kind(error, folder_there, 0);
}

std::uint32_t line_input_mode(std::uint32_t mode) {
  return mode | ENABLE_PROCESSED_INPUT_FLAG | ENABLE_LINE_INPUT_FLAG |
         ENABLE_ECHO_INPUT_FLAG;
}

AnswerEnd answer_end(std::wstring_view read) {
  if (read.ends_with(L"\r\n")) return AnswerEnd::enter;
  if (read.ends_with(L'\n')) return AnswerEnd::wake_up;
  return AnswerEnd::open;
}

std::vector<CommandLineArgument> split_command_line(std::wstring_view line) {
  std::size_t i = 0;
  // The program's name ends at the next quote if it starts with one, else
  // at white space; backslashes are no escapes in it.
  if (i < line.size() && line[i] == L'"') {
    i = line.find(L'"', 1);
    i = i == std::wstring_view::npos ? line.size() : i + 1;
  } else {
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  }
  std::vector<CommandLineArgument> args;
  for (;;) {
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= line.size()) return args;
    CommandLineArgument arg;
    // Quotes seen in the current run: odd while inside a quoted part.
    int quotes = 0;
    while (i < line.size()) {
      const wchar_t c = line[i];
      if ((c == L' ' || c == L'\t') && quotes == 0) break;
      if (c == L'\\') {
        std::size_t run = 0;
        while (i < line.size() && line[i] == L'\\') ++run, ++i;
        if (i < line.size() && line[i] == L'"') {
          arg.text.append(run / 2, L'\\');
          if (run % 2 == 1) {
            arg.text += L'"';
            ++i;
          }
        } else {
          arg.text.append(run, L'\\');
        }
        continue;
      }
      if (c != L'"') {
        arg.text += c;
        ++i;
        continue;
      }
      // A run of quotes: each third one is a literal quote.
      arg.quoted = true;
      ++quotes;
      ++i;
      while (i < line.size() && line[i] == L'"') {
        if (++quotes == 3) {
          arg.text += L'"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
    }
    args.push_back(std::move(arg));
  }
}

std::size_t pattern_start(std::string_view argument) {
  const std::size_t cut = argument.find_last_of("\\/:");
  const std::size_t start = cut == std::string_view::npos ? 0 : cut + 1;
  if (argument.find_first_of("*?", start) == std::string_view::npos) {
    return std::string_view::npos;
  }
  return start;
}

bool is_link(std::uint32_t attributes, std::uint32_t reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT_FLAG) &&
         (reparse_tag == IO_REPARSE_TAG_SYMLINK_TAG ||
          reparse_tag == IO_REPARSE_TAG_MOUNT_POINT_TAG);
}

bool is_device_name(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" ||
      stem == "CONIN$" || stem == "CONOUT$") {
    return true;
  }
  if (stem.size() == 4 &&
      (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '0' &&
      stem[3] <= '9') {
    return true;
  }
  // COM and LPT with a superscript digit: ¹ ² ³ in UTF-8.
  return stem.size() == 5 &&
         (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         static_cast<unsigned char>(stem[3]) == 0xC2 &&
         (static_cast<unsigned char>(stem[4]) == 0xB9 ||
          static_cast<unsigned char>(stem[4]) == 0xB2 ||
          static_cast<unsigned char>(stem[4]) == 0xB3);
}

bool names_same_entry(std::string_view name, std::string_view ascii_name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    name.remove_suffix(1);
  }
  auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  std::size_t i = 0;
  for (char wanted : ascii_name) {
    if (i >= name.size()) return false;
    char c = name[i++];
    // U+0131 and U+017F: Unicode upper-cases them to I and S.
    if (c == '\xC4' && i < name.size() && name[i] == '\xB1') {
      c = 'i';
      ++i;
    } else if (c == '\xC5' && i < name.size() && name[i] == '\xBF') {
      c = 's';
      ++i;
    }
    if (lower(c) != lower(wanted)) return false;
  }
  return i == name.size();
}

std::size_t prefix_length(std::string_view path) {
  if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') return 2;
  if (path.size() < 3 || !is_separator(path[0]) || !is_separator(path[1]) ||
      is_separator(path[2])) {
    return 0;
  }
  const std::size_t first_end = component_end(path, 2);
  const std::string_view first = path.substr(2, first_end - 2);
  if ((first == "?" || first == ".") && first_end < path.size()) {
    // A verbatim or device path: its first component names the volume, the
    // device, or "UNC" followed by a server and a share.
    const std::size_t next_end = component_end(path, first_end + 1);
    const std::string_view next =
        path.substr(first_end + 1, next_end - first_end - 1);
    return is_unc(next) ? skip_components(path, next_end, 2) : next_end;
  }
  return skip_components(path, first_end, 1);
}

std::size_t root_length(std::string_view path) {
  const std::size_t prefix = prefix_length(path);
  return prefix < path.size() && is_separator(path[prefix]) ? prefix + 1
                                                            : prefix;
}

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  const bool bare_drive = folder.size() == 2 && prefix_length(folder) == 2;
  if (!path.empty() && !is_separator(path.back()) && !bare_drive) path += '\\';
  path += name;
  return path;
}

std::string parent_path(std::string_view path) {
  const std::size_t root = root_length(path);
  while (path.size() > root && is_separator(path.back())) path.remove_suffix(1);
  if (path.size() <= root) return std::string(path);
  const std::size_t cut = path.find_last_of("\\/");
  if (cut == std::string_view::npos || cut < root) {
    return std::string(path.substr(0, root));
  }
  std::string_view parent = path.substr(0, cut);
  while (parent.size() > root && is_separator(parent.back())) {
    parent.remove_suffix(1);
  }
  if (parent.size() < root) parent = path.substr(0, root);
  return std::string(parent);
}

std::size_t name_units(std::string_view name) {
  std::size_t units = 0;
  for (unsigned char byte : name) {
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

}  // namespace burrowlink::rules::windows
