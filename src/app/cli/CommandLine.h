// The command-line front end: parses the arguments and runs one command.
#pragma once

namespace quorvel {

// Runs the command line; the return value is the process exit status.
int RunCommandLine(int argc, char** argv);

}  // namespace quorvel
