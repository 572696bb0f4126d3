// How a pre- or post-command executable path becomes a tool run.
//
//   "<name>.app"                     <path>/Contents/MacOS/<name>, no arguments
//   "*.applescript", "*.scpt"        osascript <path> <source> <destination>
//   anything else                    <path> <source> <destination>
//
// Extensions compare case-insensitively. The destination argument is the
// destination URL's path for a file URL, its whole text otherwise, and left
// out when there is no destination. osascript is looked up on PATH.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvel {

struct ExecutableInvocation {
  // The tool to run; empty when the script runner was not found.
  std::string toolPath;
  std::vector<std::string> arguments;
  // The script runner's name when one is needed.
  std::string scriptRunner;
};

// The script runner's program name.
inline constexpr const char* kScriptRunnerName = "osascript";

ExecutableInvocation ExecutableInvocationForPath(const std::string& executablePath, const std::string& sourceDirectory,
                                                 const std::optional<std::string>& destination);

// The first executable file called `name` in the directories of $PATH, or
// nothing.
std::optional<std::string> FindProgramOnPath(const std::string& name);

}  // namespace quorvel
