#pragma once

// The one error value of the command layer, and its texts.

#include <string>
#include <string_view>

namespace burrowlink {

struct CliError {
  std::string message;
};

inline constexpr std::string_view USAGE_TEXT =
    "BurrowLink on the command line\n"
    "\n"
    "  burrowlink list [--seconds 5]\n"
    "  burrowlink send <file>... --to <device name | ip[:port]> [--name "
    "MyName]\n"
    "  burrowlink send --text \"a note or link\" --to <device>\n"
    "  burrowlink receive [--dir folder] [--yes] [--once] [--name MyName] "
    "[--port 45455]\n"
    "\n"
    "Devices on the same Wi-Fi running BurrowLink (Windows, Android or this "
    "tool) find each other.";

inline constexpr std::string_view NO_TARGET_TEXT =
    "say where to send with --to <device name | ip[:port]>";
inline constexpr std::string_view NOTHING_TO_SEND_TEXT =
    "nothing to send: give files, or --text \"...\"";

inline std::string unknown_command_text(std::string_view word) {
  return "unknown command \"" + std::string(word) + "\"\n\n" +
         std::string(USAGE_TEXT);
}
inline std::string path_error_text(std::string_view path,
                                   std::string_view reason) {
  return std::string(path) + ": " + std::string(reason);
}
inline constexpr std::string_view NO_FOLDERS_WITHOUT_EXTENSIONS_TEXT =
    "-r cannot be used with BURROWLINK_NO_EXTENSIONS set: the shared "
    "protocol has no folders (send the files themselves)";
inline constexpr std::string_view NO_SECURE_WITHOUT_EXTENSIONS_TEXT =
    "--secure and --verify cannot be used with BURROWLINK_NO_EXTENSIONS set: "
    "the shared protocol is clear";
inline constexpr std::string_view NO_VERIFY_WITHOUT_EXTENSIONS_TEXT =
    "--verify cannot be used with BURROWLINK_NO_EXTENSIONS set: the shared "
    "protocol is clear";
inline constexpr std::string_view CLEAR_AND_SECURE_TEXT =
    "--allow-clear cannot be used with --secure or --verify, which require "
    "the secure channel";
// Said after a secure connection that failed before it came up.
inline constexpr std::string_view MET_SECURELY_TEXT =
    "; this device was met securely before, so nothing goes in clear "
    "(--allow-clear allows it)";
inline constexpr std::string_view NOT_IN_CLEAR_TEXT =
    "; nothing went in clear (--allow-clear allows it)";
inline std::string not_a_file_text(std::string_view path) {
  return std::string(path) + " is not a file (send folders as separate files)";
}
// Lines added below an error for a person at a terminal.
inline constexpr std::string_view RECURSIVE_HINT_TEXT =
    "Add -r to send a folder and everything in it";
inline std::string did_you_mean_text(std::string_view command) {
  return "Did you mean " + std::string(command) + "?";
}
inline std::string no_device_text(std::string_view to) {
  return "no device called \"" + std::string(to) +
         "\" found (run `burrowlink list`, or give its IP address)";
}
inline std::string several_devices_text(std::string_view to,
                                        std::string_view names) {
  return "\"" + std::string(to) +
         "\" matches several devices: " + std::string(names);
}
inline std::string cannot_listen_text(std::string_view reason) {
  return "cannot listen: " + std::string(reason);
}
// `shown` is the argument with its ill-formed bytes replaced.
inline std::string invalid_argument_text(std::size_t position,
                                         std::string_view shown) {
  return "argument " + std::to_string(position) + " is not valid text: \"" +
         std::string(shown) + "\"";
}

}  // namespace burrowlink
