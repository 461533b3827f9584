#pragma once

// Command lines and how Windows splits them: checked against our split on
// every system, and against CommandLineToArgvW under Windows.

#include <string>
#include <utility>
#include <vector>

namespace burrowlink::rules::windows {

struct CommandLineCase {
  const wchar_t* line;
  std::vector<std::pair<std::wstring, bool>> args;  // text, quoted
};
extern const std::vector<CommandLineCase> COMMAND_LINE_CASES;

}  // namespace burrowlink::rules::windows
