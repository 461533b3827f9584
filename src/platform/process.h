#pragma once

// The process and its environment: arguments, environment variables, the
// home folder, the computer's name, random bytes, and a fatal stop.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/handle.h"

namespace burrowlink::platform {

// Makes writes to closed pipes and sockets fail instead of killing us, and
// starts what the system's sockets need.
void prepare_process();

// The program's arguments without its own name, as UTF-8. An argument that
// is no valid text on the system (bytes that are not UTF-8, a lone UTF-16
// surrogate) comes out as bytes that are not valid UTF-8 either.
std::vector<std::string> program_arguments(int argc, char** argv);

// The files that argument `position` of `program_arguments` names. Windows
// shells leave wildcards to the program: there an argument written without
// quotes whose last part holds * or ? is expanded as the C runtimes expand
// one, sorted; when nothing matches, or anywhere else, it names itself
// (the list is never empty).
std::vector<std::string> expand_file_argument(std::size_t position,
                                              std::string argument);

// Prints "burrowlink: {message}" on standard error and exits with a failure
// status of its own (70), for faults the tool cannot go on after.
[[noreturn]] void fatal(std::string_view message);

// The value of an environment variable; nullopt when it is unset. Not valid
// UTF-8 when the system's value is not valid text.
std::optional<std::string> get_env(const std::string& name);

// The folder that keeps the user's own files: USERPROFILE, else HOME, the
// first that is set and valid text (even when empty); nullopt for neither.
std::optional<std::string> home_folder();

// The computer's own name (gethostname; the computer name on Windows);
// nullopt when it has none.
std::optional<std::string> host_name();

// Fills `out` from the system's cryptographic random source.
Status random_bytes(Bytes out);

}  // namespace burrowlink::platform
