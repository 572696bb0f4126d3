#include "app/cli/CommandLine.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace quorvel {

namespace {

constexpr const char* kUsage =
    "Quorvel Varid - incremental, encrypted, verified backups.\n"
    "\n"
    "Usage: quorvel COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  help        show this text\n"
    "  --version   print the version\n";

}  // namespace

int RunCommandLine(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "--version" || command == "version") {
    std::printf("Quorvel Varid %s\n", QUORVEL_VERSION);
    return 0;
  }
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "quorvel: unknown command \"%s\" (see \"quorvel help\")\n", command.c_str());
  return 2;
}

}  // namespace quorvel
