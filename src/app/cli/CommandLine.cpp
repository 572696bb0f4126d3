#include "app/cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/cli/BackupCommands.h"
#include "app/cli/CheckSourceCommand.h"
#include "app/cli/DestinationCommand.h"
#include "app/daemon/DaemonCommand.h"
#include "engine/BackupController.h"

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
    "                 (\"quorvel check-source --help\" for details)\n"
    "  backup         back up a source directory to a destination:\n"
    "                 quorvel backup SOURCE DESTINATION [--password-env VAR | --password-file FILE]\n"
    "                     [--segment-size MB] [--parallel N] [--no-digests] [--preserve-ds-store]\n"
    "                     [--archive-rewrite PERCENT]\n"
    "                     [--exclude SUBPATH]... [--report-hidden] [--max-retries N] [--json]\n"
    "  restore        restore a backup, or some of its paths, into a folder:\n"
    "                 quorvel restore DESTINATION --to DIR [PATH...] [--erase] [--skip-verification]\n"
    "                     [--password-env VAR | --password-file FILE] [--parallel N] [--max-retries N] [--json]\n"
    "  check          show what a destination holds: quorvel check DESTINATION\n"
    "  test           show what a backup would change: quorvel test SOURCE DESTINATION [--exclude SUBPATH]...\n"
    "  verify         check every stored file against its digest: quorvel verify DESTINATION\n"
    "  prune          delete what the backup does not need: quorvel prune SOURCE DESTINATION\n"
    "  delete         delete the backup: quorvel delete DESTINATION [--destination-too]\n"
    "\n"
    "Configured backups (settings, passwords and history kept on this computer):\n"
    "  create         quorvel create NAME SOURCE DESTINATION [--password-env VAR | --password-file FILE\n"
    "                     | --no-encryption] [--segment-size MB] [--exclude PATH]...\n"
    "  list, show     quorvel list; quorvel show NAME\n"
    "  set            quorvel set NAME KEY VALUE (\"quorvel set --help\" lists the keys)\n"
    "  run            back up: quorvel run NAME\n"
    "  restore, verify, prune, check, test, check-source\n"
    "                 quorvel restore NAME --to DIR [PATH...]; quorvel verify NAME ... (a NAME without \"/\"\n"
    "                 that names a configured backup; \"./NAME\" is a folder)\n"
    "  history        quorvel history NAME; quorvel report NAME [N]\n"
    "  copy           quorvel copy NAME NEWNAME\n"
    "  recreate       configure a backup again from its destination: quorvel recreate DESTINATION [--name NAME]\n"
    "  remove         quorvel remove NAME [--destination-too]\n"
    "All of them take --json.\n"
    "\n"
    "The scheduler (runs backups by their schedules; the verbs above go through it while it runs):\n"
    "  daemon         quorvel daemon [--install | --uninstall]: run it here, or start it at every login\n"
    "  gui            the desktop application (quorvel-gui; starts the scheduler when none runs)\n"
    "  status         every backup's state, next run and last result: quorvel status\n"
    "  log            the scheduler's recent lines for a backup: quorvel log NAME\n"
    "  queue, cancel, suspend, resume, retry\n"
    "                 quorvel cancel NAME ...: act on a backup in the scheduler\n"
    "  set NAME schedule.interval 6h | schedule.daily 02:30 | schedule.on-launch on |\n"
    "      schedule.on-connection on | schedule.skip-if \"WEEK_DAY == 0 OR POWER_SOURCE == 1\"\n"
    "\n"
    "A DESTINATION is a local folder or a URL of a scheme this build supports: SCHEMES.\n"
    "A server password is given with --server-password-env VAR or --server-password-file FILE;\n"
    "an https or ftps server's certificate is checked against the system's store, or --ca-file FILE.\n"
    "S3: s3://[ACCESS-KEY@]BUCKET[/PATH] on Amazon S3, or on another S3 server with --s3-endpoint URL\n"
    "(http://host:port); the access key may come from $AWS_ACCESS_KEY_ID, the secret key from\n"
    "--server-password-env VAR, --server-password-file FILE or $AWS_SECRET_ACCESS_KEY. Parameters in\n"
    "the URL: ?signature=2 (default 4), region=NAME, addressing=path|virtual, bucket-location=NAME.\n"
    "The destination commands also take --password-env VAR or --password-file FILE, --max-retries N,\n"
    "--json, and --pre/--post-success/--post-failure EXE (\"quorvel COMMAND --help\" for details).\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 3 finished but left items out, 130 interrupted.\n";

// The usage with this build's schemes in place of "SCHEMES".
std::string UsageText() {
  std::string text = kUsage;
  text.replace(text.find("SCHEMES"), 7, SupportedSchemesText());
  return text;
}

// --pre, --post-success, --post-failure and --json, worded for what runs.
template <typename Options>
void AddHookAndOutputOptions(CLI::App& app, Options& options, const std::string& what) {
  app.add_option("--pre", options.preExecutable, "executable to run before the " + what);
  app.add_option("--post-success", options.successPostExecutable, "executable to run after a successful " + what);
  app.add_option("--post-failure", options.failurePostExecutable, "executable to run after a failed " + what);
  app.add_flag("--json", options.json, "print the results dictionary as JSON");
}

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
  AddHookAndOutputOptions(app, options, "scan");
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

struct CommandWordEntry {
  const char* word;
  int command;
  const char* description;
};

constexpr CommandWordEntry kDestinationCommands[] = {
    {"backup", BackupCommandPerformBackup,
     "Backs up SOURCE to DESTINATION: the first run stores everything, later runs store what changed."},
    {"restore", BackupCommandRestoreBackup,
     "Restores the backup at DESTINATION into the folder given with --to: everything (a folder named "
     "after the backed-up one), or only the given paths with everything below them."},
    {"check", BackupCommandCheckDestination,
     "Shows what DESTINATION holds: its items and, when it holds a backup, the backup's revision, date, "
     "files and sizes."},
    {"test", BackupCommandTestBackup,
     "Compares SOURCE with the backup at DESTINATION and lists what a backup would change, without "
     "transferring anything."},
    {"verify", BackupCommandVerifyBackup,
     "Downloads every stored file of the backup at DESTINATION and checks its size and digest."},
    {"prune", BackupCommandPruneDestination,
     "Deletes everything at DESTINATION that the backup of SOURCE does not need."},
    {"delete", BackupCommandDeleteBackup,
     "Deletes the backup at DESTINATION (and, with --destination-too, the destination folder itself)."},
};

// Rejects a destination that is neither a local path nor a URL that parses.
const CLI::Validator kDestinationValidator(
    [](std::string& text) -> std::string {
      if (DestinationURLFromArgument(text)) return {};
      return "not a local path or a valid URL: " + text;
    },
    "PATH|URL");

int DestinationCommand(const CommandWordEntry& entry, int argc, char** argv) {
  int status = 0;
  std::optional<DestinationCommandOptions> options = ParseDestinationCommand(entry.command, argc, argv, &status);
  if (!options) return status;
  return RunDestinationCommand(*options);
}

}  // namespace

std::optional<DestinationCommandOptions> ParseDestinationCommand(int command, int argc, char** argv,
                                                                 int* exitStatus) {
  const CommandWordEntry* entry = nullptr;
  for (const CommandWordEntry& candidate : kDestinationCommands) {
    if (candidate.command == command) entry = &candidate;
  }
  if (entry == nullptr) {
    std::fprintf(stderr, "quorvel: command %d has no command-line form\n", command);
    *exitStatus = 2;
    return std::nullopt;
  }
  CLI::App app{entry->description, std::string("quorvel ") + entry->word};
  DestinationCommandOptions options;
  options.command = command;

  bool readsSource = command == BackupCommandPerformBackup || command == BackupCommandTestBackup ||
                     command == BackupCommandPruneDestination;
  bool scansSource = command == BackupCommandPerformBackup || command == BackupCommandTestBackup;
  bool runsSteps = command == BackupCommandPerformBackup || command == BackupCommandRestoreBackup ||
                   command == BackupCommandVerifyBackup;

  if (readsSource) app.add_option("SOURCE", options.source, "source directory")->required();
  app.add_option("DESTINATION", options.destination, "destination: a local folder or a URL")
      ->required()
      ->check(kDestinationValidator);
  if (command == BackupCommandRestoreBackup) {
    app.add_option("PATH", options.restorePaths,
                   "paths inside the backup to restore (with everything below them); none: everything");
    app.add_option("--to", options.restoreTarget, "folder to restore into (created when missing)")->required();
    app.add_flag("--erase", options.erase, "delete what the folder holds before restoring");
    app.add_flag("--skip-verification", options.skipVerification,
                 "do not check the restored files against their digests");
  }

  CLI::Option* passwordEnv = app.add_option("--password-env", options.password.environmentVariable,
                                            "name of an environment variable holding the encryption password");
  CLI::Option* passwordFile = app.add_option("--password-file", options.password.file,
                                             "file whose first line is the encryption password");
  passwordEnv->excludes(passwordFile);
  passwordFile->excludes(passwordEnv);
  CLI::Option* serverEnv = app.add_option("--server-password-env", options.serverPassword.environmentVariable,
                                          "name of an environment variable holding the destination server's "
                                          "password (for a URL with a user; for S3 the secret access key)");
  CLI::Option* serverFile = app.add_option("--server-password-file", options.serverPassword.file,
                                           "file whose first line is the destination server's password");
  serverEnv->excludes(serverFile);
  serverFile->excludes(serverEnv);
  app.add_flag("--remember-server-password", options.rememberServerPassword,
               "keep the server password in the credential store, where later commands find it");
  CLI::Option* caFile = app.add_option("--ca-file", options.caFile,
                                       "PEM file of the certificates to trust for a destination over TLS "
                                       "(https, ftps), instead of the system's");
  CLI::Option* insecure = app.add_flag("--insecure-tls", options.insecureTLS,
                                       "do not check the certificate of a destination over TLS (https, ftps)");
  caFile->excludes(insecure);
  insecure->excludes(caFile);
  app.add_option("--s3-endpoint", options.s3Endpoint,
                 "the S3 server of an s3://BUCKET/PATH destination, as http(s)://HOST[:PORT] (default: Amazon S3, "
                 "https://s3.amazonaws.com)");
  app.add_flag("--accept-new-host-key", options.acceptNewHostKey,
               "trust an SSH server whose host key ~/.ssh/known_hosts does not list yet, and add it there "
               "(on a terminal the command asks instead); a changed key is always refused");

  if (command == BackupCommandPerformBackup) {
    app.add_option("--segment-size", options.segmentSize,
                   "largest piece a file is stored in, and the size of archives of small files, in MB "
                   "(1 to 128; default 50)")
        ->check(CLI::Range(1u, 128u));
    app.add_flag("--no-digests", [&options](std::int64_t) { options.computeDigests = false; },
                 "do not compute file digests while backing up");
    app.add_option("--archive-rewrite", options.archiveRewritePercent,
                   "store an archive again once its unchanged members hold less than PERCENT of it; until "
                   "then changed members are stored anew and the archive keeps the others "
                   "(0 to 100; default 50; 100: whenever a member changes)")
        ->check(CLI::Range(0u, 100u));
  }
  if (runsSteps) {
    app.add_option("--parallel", options.parallel, "transfers at once (1 to 64; default 4)")
        ->check(CLI::Range(1u, 64u));
  }
  if (scansSource) {
    app.add_option("--exclude", options.excludedSubpaths,
                   "exclude a subpath (relative to SOURCE, case ignored); may be repeated")
        ->allow_extra_args(false);
    app.add_flag("--preserve-ds-store", options.preserveDSStore, "keep .DS_Store files (left out by default)");
    app.add_flag("--report-hidden", options.reportHidden, "list excluded hidden items under the excluded paths");
  }
  if (command == BackupCommandDeleteBackup) {
    app.add_flag("--destination-too", options.deleteDestination,
                 "also remove the destination folder (refused when it holds foreign items)");
  }
  app.add_option("--max-retries", options.maxRetries,
                 "retries in a row after network errors, waiting 10 s, then 20 s, 40 s ... (default 6)")
      ->check(CLI::Range(0u, 1000u));
  AddHookAndOutputOptions(app, options, "command");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    *exitStatus = app.exit(help);
    return std::nullopt;
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    *exitStatus = 2;
    return std::nullopt;
  }
  *exitStatus = 0;
  return options;
}

int RunCommandLine(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(UsageText().c_str(), stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "--version" || command == "version") {
    std::printf("Quorvel Varid %s\n", QUORVEL_VERSION);
    return 0;
  }
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (command == "check-source") {
    if (NamesConfiguredBackup(argc - 1, argv + 1)) return RunNamedCheckSource(argc - 1, argv + 1);
    return CheckSource(argc - 1, argv + 1);
  }
  if (IsConfiguredBackupWord(command.c_str())) return RunConfiguredBackupCommand(argc - 1, argv + 1);
  if (command == "daemon") return RunDaemonCommand(argc - 1, argv + 1);
  if (command == "gui") return RunDesktopFrontEnd(argc - 1, argv + 1);
  if (command == "status") return RunStatusCommand(argc - 1, argv + 1);
  if (command == "log") return RunLogCommand(argc - 1, argv + 1);
  if (IsSchedulerActionWord(command.c_str())) return RunSchedulerActionCommand(argc - 1, argv + 1);
  for (const CommandWordEntry& entry : kDestinationCommands) {
    if (command != entry.word) continue;
    if (entry.command != BackupCommandPerformBackup && entry.command != BackupCommandDeleteBackup &&
        NamesConfiguredBackup(argc - 1, argv + 1)) {
      return RunNamedDestinationCommand(entry.command, argc - 1, argv + 1);
    }
    return DestinationCommand(entry, argc - 1, argv + 1);
  }
  std::fprintf(stderr, "quorvel: unknown command \"%s\" (see \"quorvel help\")\n", command.c_str());
  return 2;
}

}  // namespace quorvel
