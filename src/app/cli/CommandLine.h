// The command-line front end: parses the arguments and runs one command.
#pragma once

#include <optional>

#include "app/cli/DestinationCommand.h"

namespace quorvel {

// Runs the command line; the return value is the process exit status.
int RunCommandLine(int argc, char** argv);

// Parses the arguments of a destination command; argv[0] is the command's
// word ("backup", "restore", "check", "test", "verify", "prune", "delete")
// and `command` its engine number. Answers the options, or nothing with
// *exitStatus set: 0 after --help (the help is printed), 2 for a usage
// error (the message is printed on standard error).
std::optional<DestinationCommandOptions> ParseDestinationCommand(int command, int argc, char** argv,
                                                                 int* exitStatus);

}  // namespace quorvel
