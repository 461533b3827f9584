#pragma once

// Decisions of the Windows backend that depend on what real Windows
// reports, written as functions of those raw results so that tests can feed
// them what Wine never shows.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace burrowlink::platform::windows {

inline constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
inline constexpr std::uint32_t STATUS_DELETE_PENDING_CODE = 0xC0000056;

// The kind of a failed CreateFileW(CREATE_NEW) with system error `error`.
// Windows gives ERROR_ACCESS_DENIED for a folder at the name and for a name
// whose deletion is still pending (last NT status STATUS_DELETE_PENDING):
// the name is taken then, as it is when `something_there`. A real lack of
// permission has nothing at the name.
ErrorKind create_file_error_kind(std::uint32_t error, bool something_there,
                                 std::uint32_t last_nt_status);

// The kind of a failed CreateDirectoryW with system error `error`. A drive
// root ("D:\") gives ERROR_ACCESS_DENIED, not ERROR_ALREADY_EXISTS, so
// access denied on what is a folder already means it is there.
ErrorKind create_folder_error_kind(std::uint32_t error, bool folder_there);

// The console input mode for reading one answer: line input, echo and
// processed input on, whatever an earlier program left (in raw mode Enter
// gives a lone CR and a line never ends).
std::uint32_t line_input_mode(std::uint32_t mode);

// One argument of a command line as the runtime splits it.
struct CommandLineArgument {
  std::wstring text;
  bool quoted = false;  // some part of it was inside quotes
};
// The arguments of `line` after the program's name, split by the rules of
// CommandLineToArgvW (2n backslashes and a quote give n backslashes and
// start or end a quoted part; 2n+1 give n and a literal quote; "" inside
// quotes is a literal quote).
std::vector<CommandLineArgument> split_command_line(std::wstring_view line);

// The files that `argument` names as a pattern: * and ? in its last part,
// expanded as the C runtimes expand one, sorted with case ignored, as NTFS
// keeps names.
// Itself when it holds no pattern or nothing matches.
std::vector<std::string> expand_pattern(const std::string& argument);

// True when a folder entry with these attributes and reparse tag is a link:
// a symbolic link or a junction. Other reparse points (cloud placeholders,
// deduplicated files) are the files and folders they stand for.
bool is_link(std::uint32_t attributes, std::uint32_t reparse_tag);

}  // namespace burrowlink::platform::windows
