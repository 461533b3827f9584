#pragma once

// How POSIX systems join and split paths, as pure functions that both
// builds compile.

#include <string>
#include <string_view>

namespace burrowlink::rules::posix {

// `folder` and `name` joined with "/", unless the folder is empty or ends
// in one.
std::string join_path(std::string_view folder, std::string_view name);
// The folder one level up: "a/b" gives "a", "/a" gives "/", "a" gives "".
std::string parent_path(std::string_view path);

}  // namespace burrowlink::rules::posix
