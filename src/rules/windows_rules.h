#pragma once

// How Windows names files, splits a command line and reports failures,
// written as functions of the raw values it gives, so that both builds
// compile them and the Linux suite tests them, also with what real Windows
// reports where Wine reports something else.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace burrowlink::rules::windows {

inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
inline constexpr std::uint32_t ERROR_FILE_EXISTS_CODE = 80;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS_CODE = 183;
inline constexpr std::uint32_t ERROR_TIMEOUT_CODE = 1460;
inline constexpr std::uint32_t WSAETIMEDOUT_CODE = 10060;
inline constexpr std::uint32_t STATUS_DELETE_PENDING_CODE = 0xC0000056;

// The kind of a system error code, where callers tell cases apart.
ErrorKind error_kind(std::uint32_t error);

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

// A console's line read ends at Enter, which it returns as CR LF and
// echoes, or at a control character of the read's wake-up mask, which it
// returns last and does not echo. An answer's mask holds LF: a line feed
// that comes with its line in one piece (text pasted with Unix line ends,
// a script's "y\n") arrives as Ctrl+Enter with the character LF, which a
// line read would keep in the line and go on waiting.
inline constexpr std::uint32_t ANSWER_WAKEUP_MASK = 1u << '\n';
enum class AnswerEnd { open, enter, wake_up };
// How what a line read of an answer returned so far ends.
AnswerEnd answer_end(std::wstring_view read);

// One argument of a command line as the runtime splits it.
struct CommandLineArgument {
  std::wstring text;
  bool quoted = false;  // some part of it was inside quotes
  bool operator==(const CommandLineArgument&) const = default;
};
// The arguments of `line` after the program's name, split by the rules of
// CommandLineToArgvW (2n backslashes and a quote give n backslashes and
// start or end a quoted part; 2n+1 give n and a literal quote; "" inside
// quotes is a literal quote).
std::vector<CommandLineArgument> split_command_line(std::wstring_view line);

// Where the last part of `argument` starts when it holds * or ?, as the C
// runtimes take a pattern; npos when it is no pattern.
std::size_t pattern_start(std::string_view argument);

// True when a folder entry with these attributes and reparse tag is a link:
// a symbolic link or a junction. Other reparse points (cloud placeholders,
// deduplicated files) are the files and folders they stand for.
bool is_link(std::uint32_t attributes, std::uint32_t reparse_tag);

// Names that Windows maps to a device in every folder, with or without an
// extension: CON, NUL, COM1, LPT¹ and the like, case and trailing spaces of
// the stem ignored.
bool is_device_name(std::string_view name);

// True when `name` names the entry called `ascii_name` in the same folder:
// case is ignored (with the two letters beyond ASCII that upper-case into
// it, dotless i and long s), and so are trailing dots and spaces.
bool names_same_entry(std::string_view name, std::string_view ascii_name);

// The drive or share that `path` starts with, without the separator after
// it: "C:", "\\server\share", "\\?\C:", "\\?\UNC\server\share",
// "\\.\device", with either separator; 0 for none.
std::size_t prefix_length(std::string_view path);
// The root: the prefix and the separator after it, or a lone leading
// separator ("C:\", "C:", "\", "\\server\share\"); 0 for a relative path.
std::size_t root_length(std::string_view path);

// `folder` and `name` joined with a backslash, unless the folder is empty,
// ends in either separator or is a bare drive such as "C:".
std::string join_path(std::string_view folder, std::string_view name);
// The folder one level up; a root gives itself.
std::string parent_path(std::string_view path);

// The length of UTF-8 `name` in UTF-16 units, the units of Windows' name
// limit: one per character, two beyond the first plane.
std::size_t name_units(std::string_view name);

}  // namespace burrowlink::rules::windows
