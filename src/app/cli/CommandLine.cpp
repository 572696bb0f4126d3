#include "app/cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/cli/CheckSourceCommand.h"

namespace quorvel {

namespace {

constexpr const char* kUsage =
    "Quorvel Varid - incremental, encrypted, verified backups.\n"
    "\n"
    "Usage: quorvel COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  help           show this text\n"
    "  --version      print the version\n"
    "  check-source   scan a source directory and report what a backup would take:\n"
    "                 quorvel check-source DIR [--exclude SUBPATH]... [--report-hidden]\n"
    "                     [--pre EXE] [--post-success EXE] [--post-failure EXE] [--json]\n"
    "                 (\"quorvel check-source --help\" for details)\n";

int CheckSource(int argc, char** argv) {
  CLI::App app{"Scans a source directory with the backup's exclusion rules and reports the number of files and "
               "directories, their total size and the file-size distribution.",
               "quorvel check-source"};
  CheckSourceOptions options;
  app.add_option("DIR", options.sourceDirectory, "source directory")->required();
  app.add_option("--exclude", options.excludedSubpaths,
                 "exclude a subpath (relative to DIR, case ignored); may be repeated")
      ->allow_extra_args(false);
  app.add_flag("--report-hidden", options.reportHidden, "list excluded hidden items under the excluded paths");
  app.add_option("--pre", options.preExecutable, "executable to run before the scan");
  app.add_option("--post-success", options.successPostExecutable, "executable to run after a successful scan");
  app.add_option("--post-failure", options.failurePostExecutable, "executable to run after a failed scan");
  app.add_flag("--json", options.json, "print the results dictionary as JSON");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return 2;
  }
  return RunCheckSource(options);
}

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
  if (command == "check-source") return CheckSource(argc - 1, argv + 1);
  std::fprintf(stderr, "quorvel: unknown command \"%s\" (see \"quorvel help\")\n", command.c_str());
  return 2;
}

}  // namespace quorvel
