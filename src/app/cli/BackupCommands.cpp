#include "app/cli/BackupCommands.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileTransferController/FileTransferController.h"
#include "app/cli/BackupCommandSupport.h"
#include "app/cli/CheckSourceCommand.h"
#include "app/cli/DestinationCommand.h"
#include "app/cli/JsonValue.h"
#include "app/cli/PasswordSource.h"
#include "app/cli/ProgressDisplay.h"
#include "app/daemon/SchedulerClient.h"
#include "engine/BackupCommandOperation.h"
#include "engine/BackupController.h"
#include "foundation/Format.h"
#include "model/Backup.h"
#include "model/ProcessLock.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

namespace {

using namespace configured;

// Whether the destination's root holds revisions of a backup. A destination
// that cannot be listed (new, or out of reach now) holds none that matters:
// a backup would create it.
bool DestinationHoldsABackup(const Url& destination) {
  std::shared_ptr<FileTransferController> client = FileTransferController::fileTransferControllerWithURL(destination);
  if (!client) return false;
  client->setTimeOut(30.0);
  std::optional<Dictionary> listing = client->contentsOfDirectoryAtPath("");
  return listing && (ListingHoldsEncryptedRevision(*listing) || ListingHoldsOnlyPlainRevisions(*listing));
}

}  // namespace

std::shared_ptr<Backup> CreateConfiguredBackup(const std::vector<std::shared_ptr<Backup>>& existing,
                                               const std::string& name, const std::string& source,
                                               const std::string& destination,
                                               const std::optional<std::string>& encryptionPassword,
                                               std::string* error) {
  Failure failure;
  std::optional<std::string> sourcePath;
  std::optional<Url> url;
  if (name.empty()) {
    failure = {"the name is empty"};
  } else if (FindByName(existing, name)) {
    failure = {"a backup named \"" + name + "\" exists already"};
  } else if ((sourcePath = CheckedSource(source, &failure))) {
    url = CheckedDestination(destination, PasswordOptions(), &failure);
  }
  if (!url) {
    *error = failure.message;
    return nullptr;
  }
  std::shared_ptr<Backup> backup = Backup::create();
  backup->setName(name);
  backup->setSourceDirectoryPath(*sourcePath);
  backup->setDestinationURL(*url);
  backup->setEncryptionPassword(encryptionPassword && !encryptionPassword->empty() ? encryptionPassword
                                                                                   : std::nullopt);
  backup->setMaximumSegmentSize(kDefaultSegmentSize);
  if (!backup->saveToDiskIfNecessary()) {
    backup->deleteFromDisk();
    *error = "cannot save the settings in \"" + backup->path() + "\"";
    return nullptr;
  }
  return backup;
}

namespace {

int Create(int argc, char** argv) {
  CLI::App app{"Creates a backup of SOURCE to DESTINATION, named NAME for the other commands.", "quorvel create"};
  std::string name, source, destination;
  PasswordOptions password;
  PasswordOptions serverPassword{{}, {}, "--server-password-env"};
  bool noEncryption = false, noDigests = false, preserveDSStore = false, json = false;
  std::int64_t segmentSize = kDefaultSegmentSize;
  std::vector<std::string> excluded;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_option("SOURCE", source, "folder to back up")->required();
  app.add_option("DESTINATION", destination, "a local folder or a URL")->required();
  AddPasswordOptions(app, password, "the encryption password");
  app.add_flag("--no-encryption", noEncryption, "store the backup without encryption")
      ->excludes("--password-env")
      ->excludes("--password-file");
  AddServerPasswordOptions(app, serverPassword);
  app.add_option("--segment-size", segmentSize, "largest piece a file is stored in, in MB (1 to 128; default 50)");
  app.add_option("--exclude", excluded, "leave out a path (relative to SOURCE, or absolute inside it); repeatable")
      ->allow_extra_args(false);
  app.add_flag("--no-digests", noDigests, "do not compute file digests");
  app.add_flag("--preserve-ds-store", preserveDSStore, "keep .DS_Store files");
  bool includeCaches = false;
  app.add_flag("--include-caches", includeCaches,
               "back up folders tagged as caches (with a CACHEDIR.TAG file) too; left out by default");
  app.add_flag("--json", json, "print the backup as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;

  Failure failure;
  std::optional<ProcessLock> listLock = LockBackupList(&failure);
  if (!listLock) return Fail(failure, json);
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  if (name.empty()) return Fail({"the name is empty", 2}, json);
  if (FindByName(*backups, name)) return Fail({"a backup named \"" + name + "\" exists already"}, json);
  std::optional<std::string> sourcePath = CheckedSource(source, &failure);
  if (!sourcePath) return Fail(failure, json);
  std::optional<Url> url = CheckedDestination(destination, serverPassword, &failure);
  if (!url) return Fail(failure, json);
  std::vector<std::string> relative;
  for (const std::string& path : excluded) {
    std::optional<std::string> exclusion = RelativeExclusion(*sourcePath, path, &failure);
    if (!exclusion) return Fail(failure, json);
    relative.push_back(*exclusion);
  }
  if (DestinationHoldsABackup(*url)) {
    return Fail({"\"" + Shown(std::make_shared<Url>(*url)) +
                 "\" holds a backup already; to go on with it, configure it with: quorvel recreate " + destination +
                 " (or choose another destination)"},
                json);
  }
  auto encryption = NewEncryptionPassword(password, noEncryption, &failure);
  if (!encryption) return Fail(failure, json);

  std::shared_ptr<Backup> backup = Backup::create();
  backup->setName(name);
  backup->setSourceDirectoryPath(*sourcePath);
  backup->setDestinationURL(*url);
  backup->setEncryptionPassword(*encryption);
  backup->setMaximumSegmentSize(ClampedSegmentSize(segmentSize));
  backup->setComputeFileDigests(!noDigests);
  backup->setPreserveDSStoreFiles(preserveDSStore);
  backup->setExtraExcludedPaths(relative);
  backup->setExcludeCacheDirectories(!includeCaches);
  if (!backup->saveToDiskIfNecessary()) {
    backup->deleteFromDisk();
    return Fail({"cannot save the settings in \"" + backup->path() + "\""}, json);
  }
  if (json) {
    PrintJson(BackupSummary(*backup));
  } else {
    std::printf("Created the backup \"%s\".\n", EscapeControlCharacters(name).c_str());
    PrintBackup(*backup);
  }
  return 0;
}

int List(int argc, char** argv) {
  CLI::App app{"Lists the configured backups.", "quorvel list"};
  bool json = false;
  app.add_flag("--json", json, "print the backups as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  if (json) {
    Array list;
    for (const auto& backup : *backups) list.emplace_back(BackupSummary(*backup));
    PrintJson(Value(std::move(list)));
    return 0;
  }
  if (backups->empty()) std::printf("No backups are configured (create one with \"quorvel create\").\n");
  for (const auto& backup : *backups) {
    std::printf("%s\t%s -> %s\n", EscapeControlCharacters(backup->name()).c_str(),
                EscapeControlCharacters(backup->sourceDirectoryPath()).c_str(),
                EscapeControlCharacters(Shown(backup->destinationURLWithoutPassword())).c_str());
  }
  return 0;
}

int Show(int argc, char** argv) {
  CLI::App app{"Shows a backup's settings.", "quorvel show"};
  std::string name;
  bool json = false;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_flag("--json", json, "print the backup as JSON");
  int status = 0;
  std::shared_ptr<Backup> backup = ParseAndFindBackup(app, argc, argv, name, json, &status);
  if (!backup) return status;
  if (json) {
    PrintJson(BackupSummary(*backup));
  } else {
    PrintBackup(*backup);
  }
  return 0;
}

// What every command that runs the engine on a backup needs first: the
// backup, its lock, and its password.
struct Prepared {
  std::shared_ptr<Backup> backup;
  std::optional<ProcessLock> lock;
};

std::optional<Prepared> PrepareToRun(const std::string& name, Failure* failure) {
  std::optional<BackupList> backups = LoadBackups(failure);
  if (!backups) return std::nullopt;
  Prepared prepared;
  prepared.backup = FindOrFail(*backups, name, failure);
  if (!prepared.backup) return std::nullopt;
  prepared.lock = LockBackup(*prepared.backup, failure);
  if (!prepared.lock) return std::nullopt;
  if (prepared.backup->hasEncryptionPassword() && !prepared.backup->encryptionPassword()) {
    *failure = {"the encryption password of the backup \"" + name +
                "\" is missing from the credential store; give it again with: quorvel set " + name +
                " password-env VARIABLE (or password-file FILE)"};
    return std::nullopt;
  }
  return prepared;
}

// The options of a command on a configured backup.
DestinationCommandOptions OptionsFor(Backup& backup, int command) {
  DestinationCommandOptions options;
  options.command = command;
  options.source = backup.sourceDirectoryPath();
  options.destination = Shown(backup.destinationURLWithoutPassword());
  options.segmentSize = backup.maximumSegmentSize();
  options.computeDigests = backup.computeFileDigests();
  options.preserveDSStore = backup.preserveDSStoreFiles();
  options.excludedSubpaths = backup.exclusionPaths();
  options.scannerUserInfo = backup.scannerUserInfo();
  return options;
}

// Runs the command on the backup and records its results.
int RunOnBackup(const std::shared_ptr<Backup>& backup, const DestinationCommandOptions& options) {
  std::optional<Dictionary> results;
  const int status = RunDestinationCommandOnController(options, backup, &results);
  if (results && options.command >= BackupCommandPruneDestination) {
    backup->processResults(*results, options.command, status == 130);
  }
  return status;
}

// The command run by the scheduler service, with the output it has when it
// runs here: the progress from the service's signals, then the summary.
int RunNamedOnScheduler(SchedulerClient& scheduler, const std::string& name, const DestinationCommandOptions& given) {
  std::string error;
  std::optional<std::vector<Dictionary>> backups = scheduler.listBackups(&error);
  if (!backups) return Fail({"the scheduler did not answer: " + error}, given.json);
  const Dictionary* entry = nullptr;
  for (const Dictionary& backup : *backups) {
    if (backup.get("name").asString() == name) entry = &backup;
  }
  if (!entry) return Fail({"no backup is named \"" + name + "\" (see \"quorvel list\")"}, given.json);
  DestinationCommandOptions options = given;
  if (options.command == BackupCommandRestoreBackup) {
    // The folder to restore into is the user's; the scheduler only fills it.
    std::error_code made;
    std::filesystem::create_directories(AbsolutePath(options.restoreTarget), made);
    if (made) return Fail({"cannot create the folder to restore into \"" + options.restoreTarget + "\""}, given.json);
  }
  Dictionary arguments = DestinationCommandArguments(options);
  // The scheduler adds what the backup's own settings say.
  arguments.erase(kScannerUserInfoArgument);

  ProgressOutput progress(CommandWord(options.command));
  ProgressDisplay& display = progress.display();
  SchedulerClient::Events events;
  events.message = [&](const std::string& message) { display.showMessage(message); };
  events.phase = [&](const std::string& event, const std::string& type, std::uint32_t identifier,
                     std::uint32_t current, std::uint32_t max) {
    if (event == "begin") display.willBeginPhase(type, identifier);
    else if (event == "end") display.didEndPhase(type, identifier);
    else display.didUpdatePhase(type, identifier, current, max);
  };
  events.retryWait = [&](double seconds, unsigned attempt, unsigned maximum) {
    if (seconds < 0) {
      display.showMessage("quorvel: network error: the scheduler waits for \"quorvel retry " + name +
                          "\" or a cancel");
    } else {
      display.setRetryWait(MonotonicSeconds() + seconds, attempt, maximum);
    }
  };
  events.tick = [&] { progress.tick(); };
  SchedulerClient::Outcome outcome = scheduler.run(entry->get("uuid").asString(), CommandWord(options.command),
                                                   arguments, events);
  progress.finish();
  if (!outcome.started || (!outcome.error.empty() && !outcome.results)) return Fail({outcome.error}, options.json);
  return ReportCommandOutcome(options, entry->get("destination").asString(), outcome.results, outcome.errorMessages,
                              outcome.interrupted || outcome.cancelled);
}

int RunNamed(int command, const char* word, int argc, char** argv) {
  CLI::App app{"Runs the command on the configured backup NAME.", std::string("quorvel ") + word};
  std::string name;
  DestinationCommandOptions extra;
  app.add_option("NAME", name, "name of the backup")->required();
  if (command == BackupCommandRestoreBackup) {
    app.add_option("PATH", extra.restorePaths, "paths inside the backup to restore; none: everything");
    app.add_option("--to", extra.restoreTarget, "folder to restore into (created when missing)")->required();
    app.add_flag("--erase", extra.erase, "delete what the folder holds before restoring");
    app.add_flag("--skip-verification", extra.skipVerification, "do not check restored files against their digests");
  }
  if (command == BackupCommandPerformBackup || command == BackupCommandRestoreBackup ||
      command == BackupCommandVerifyBackup) {
    app.add_option("--parallel", extra.parallel, "transfers at once (1 to 64; default 4)")->check(CLI::Range(1u, 64u));
  }
  app.add_option("--max-retries", extra.maxRetries, "retries in a row after network errors (default 6)")
      ->check(CLI::Range(0u, 1000u));
  app.add_flag("--report-hidden", extra.reportHidden, "list excluded hidden items under the excluded paths");
  app.add_flag("--json", extra.json, "print the results dictionary as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;
  if (std::unique_ptr<SchedulerClient> scheduler = SchedulerClient::connect()) {
    DestinationCommandOptions options;
    options.command = command;
    options.restorePaths = extra.restorePaths;
    options.restoreTarget = extra.restoreTarget;
    options.erase = extra.erase;
    options.skipVerification = extra.skipVerification;
    options.reportHidden = extra.reportHidden;
    options.json = extra.json;
    return RunNamedOnScheduler(*scheduler, name, options);
  }

  Failure failure;
  std::optional<Prepared> prepared = PrepareToRun(name, &failure);
  if (!prepared) return Fail(failure, extra.json);
  DestinationCommandOptions options = OptionsFor(*prepared->backup, command);
  options.restorePaths = extra.restorePaths;
  options.restoreTarget = extra.restoreTarget;
  options.erase = extra.erase;
  options.skipVerification = extra.skipVerification;
  options.parallel = extra.parallel;
  options.maxRetries = extra.maxRetries;
  options.reportHidden = extra.reportHidden;
  options.json = extra.json;
  prepared->backup->setMaximumSimultaneousSegments(options.parallel);
  return RunOnBackup(prepared->backup, options);
}

int Copy(int argc, char** argv) {
  CLI::App app{"Creates a backup with the settings of another (no password, no history).", "quorvel copy"};
  std::string name, newName;
  bool json = false;
  app.add_option("NAME", name, "the backup to copy")->required();
  app.add_option("NEWNAME", newName, "name of the copy")->required();
  app.add_flag("--json", json, "print the copy as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<ProcessLock> listLock = LockBackupList(&failure);
  if (!listLock) return Fail(failure, json);
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::shared_ptr<Backup> original = FindOrFail(*backups, name, &failure);
  if (!original) return Fail(failure, json);
  if (newName.empty()) return Fail({"the name is empty", 2}, json);
  if (FindByName(*backups, newName)) return Fail({"a backup named \"" + newName + "\" exists already"}, json);
  std::shared_ptr<Backup> copy = Backup::initWithBackup(*original);
  copy->setName(newName);
  if (!copy->saveToDiskIfNecessary()) {
    copy->deleteFromDisk();
    return Fail({"cannot save the settings in \"" + copy->path() + "\""}, json);
  }
  if (json) {
    PrintJson(BackupSummary(*copy));
    return 0;
  }
  std::printf("Created the backup \"%s\" from \"%s\". It has no encryption password and the same destination;\n"
              "change them with \"quorvel set %s destination DEST\" and \"quorvel set %s password-env VAR\".\n",
              EscapeControlCharacters(newName).c_str(), EscapeControlCharacters(name).c_str(),
              EscapeControlCharacters(newName).c_str(), EscapeControlCharacters(newName).c_str());
  return 0;
}

int Remove(int argc, char** argv) {
  CLI::App app{"Removes a backup's settings, history and password from this computer; with --destination-too the "
               "backup stored at the destination is deleted first.",
               "quorvel remove"};
  std::string name;
  bool destinationToo = false, json = false;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_flag("--destination-too", destinationToo,
               "delete the stored backup and the destination folder first (refused when it holds foreign items)");
  app.add_flag("--json", json, "print the outcome as JSON");
  int status = 0;
  std::shared_ptr<Backup> backup = ParseAndFindBackup(app, argc, argv, name, json, &status);
  if (!backup) return status;
  Failure failure;
  std::optional<ProcessLock> lock = LockBackup(*backup, &failure);
  if (!lock) return Fail(failure, json);
  if (destinationToo) {
    DestinationCommandOptions options = OptionsFor(*backup, BackupCommandDeleteBackup);
    options.deleteDestination = true;
    options.json = json;
    if (int deleted = RunOnBackup(backup, options); deleted != 0) {
      std::fprintf(stderr, "quorvel: the backup \"%s\" is kept on this computer\n",
                   EscapeControlCharacters(name).c_str());
      return deleted;
    }
  }
  if (!backup->deleteFromDisk()) return Fail({"cannot remove \"" + backup->path() + "\""}, json);
  // The backup is gone: its lock file goes too (whoever opens it later
  // finds no backup to work on).
  std::error_code ignored;
  std::filesystem::remove(ProcessLock::pathForBackup(backup->uuid()), ignored);
  if (json && !destinationToo) PrintJson(Dictionary{{"success", true}, {"removed", name}});
  if (!json) std::printf("Removed the backup \"%s\".\n", EscapeControlCharacters(name).c_str());
  return 0;
}

int Recreate(int argc, char** argv) {
  CLI::App app{"Configures a backup again from what DESTINATION holds (after a new installation, say).",
               "quorvel recreate"};
  std::string destination, name;
  PasswordOptions password;
  PasswordOptions serverPassword{{}, {}, "--server-password-env"};
  bool json = false;
  app.add_option("DESTINATION", destination, "a local folder or a URL holding a backup")->required();
  app.add_option("--name", name, "name of the backup (default: the name of its source folder)");
  AddPasswordOptions(app, password, "the backup's encryption password");
  AddServerPasswordOptions(app, serverPassword);
  app.add_flag("--json", json, "print the backup as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;

  Failure failure;
  std::optional<ProcessLock> listLock = LockBackupList(&failure);
  if (!listLock) return Fail(failure, json);
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::optional<Url> url = CheckedDestination(destination, serverPassword, &failure);
  if (!url) return Fail(failure, json);
  std::string error;
  std::optional<std::string> encryption = PasswordFromOptions(password, &error);
  if (!encryption && !error.empty()) return Fail({error}, json);

  // Read what the destination holds.
  std::shared_ptr<RemoteBackupController> checker = RemoteBackupController::create();
  checker->setDestinationURL(*url);
  checker->setEncryptionPassword(encryption);
  DestinationCommandOptions options;
  options.command = BackupCommandCheckDestination;
  options.destination = Shown(std::make_shared<Url>(*url));
  options.printOutcome = false;
  std::optional<Dictionary> results;
  if (int checked = RunDestinationCommandOnController(options, checker, &results); checked != 0) {
    return Fail({"cannot read the backup at \"" + options.destination + "\"", checked}, json);
  }
  std::shared_ptr<DirectoryScanner> snapshot = results->get("directoryScanner").object<DirectoryScanner>();
  if (!snapshot) return Fail({"\"" + options.destination + "\" holds no backup"}, json);
  const Value& uuid = snapshot->userInfoForKey(kBackupUUIDInfo);
  for (const auto& backup : *backups) {
    if (uuid.isString() && backup->uuid() == uuid.asString()) {
      return Fail({"the backup at \"" + options.destination + "\" is configured already, as \"" + backup->name() +
                   "\""},
                  json);
    }
  }
  std::shared_ptr<Backup> backup = Backup::initWithDestinationResults(*results, encryption, *url);
  if (!backup) return Fail({"the backup at \"" + options.destination + "\" does not record its identity"}, json);
  if (!name.empty()) backup->setName(name);
  if (backup->name().empty() || FindByName(*backups, backup->name())) {
    backup->setEncryptionPassword(std::nullopt);
    return Fail({"a backup named \"" + backup->name() + "\" exists already; choose another with --name NAME"},
                json);
  }
  if (!backup->saveToDiskIfNecessary()) {
    backup->deleteFromDisk();
    return Fail({"cannot save the settings in \"" + backup->path() + "\""}, json);
  }
  if (json) {
    PrintJson(BackupSummary(*backup));
  } else {
    std::printf("Configured the backup \"%s\" from \"%s\".\n", EscapeControlCharacters(backup->name()).c_str(),
                EscapeControlCharacters(options.destination).c_str());
    PrintBackup(*backup);
  }
  return 0;
}

// One line per history entry, newest first, numbered for `report`.
int History(int argc, char** argv) {
  CLI::App app{"Lists the commands run on a backup, newest first.", "quorvel history"};
  std::string name;
  bool json = false;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_flag("--json", json, "print the history as JSON");
  int status = 0;
  std::shared_ptr<Backup> backup = ParseAndFindBackup(app, argc, argv, name, json, &status);
  if (!backup) return status;
  if (json) {
    PrintJson(Value(backup->previousResults()));
    return 0;
  }
  if (backup->previousResults().empty()) std::printf("No command has run on this backup yet.\n");
  std::size_t number = 0;
  for (const Value& entry : backup->previousResults()) {
    const Dictionary& fields = entry.asDictionary();
    const char* outcome = !fields.contains("success") ? "cancelled" : fields.get("success").asBool() ? "ok" : "failed";
    std::printf("%3zu  %s  %-17s %-9s %llu error%s\n", ++number,
                FormatObjectDescription(fields.get("date")).c_str(), fields.get("command").asString().c_str(), outcome,
                static_cast<unsigned long long>(fields.get("errorCount").asUInt()),
                fields.get("errorCount").asUInt() == 1 ? "" : "s");
  }
  return 0;
}

int Report(int argc, char** argv) {
  CLI::App app{"Shows the report of a history entry (1, the default, is the newest).", "quorvel report"};
  std::string name;
  std::size_t number = 1;
  bool json = false;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_option("N", number, "number of the entry, as \"quorvel history\" shows it")->check(CLI::PositiveNumber);
  app.add_flag("--json", json, "print the report as JSON");
  int status = 0;
  std::shared_ptr<Backup> backup = ParseAndFindBackup(app, argc, argv, name, json, &status);
  if (!backup) return status;
  if (number > backup->previousResults().size()) {
    return Fail({"the backup \"" + name + "\" has " + std::to_string(backup->previousResults().size()) +
                 " history entries"},
                json);
  }
  std::optional<Dictionary> report = backup->reportForEntry(backup->previousResults()[number - 1].asDictionary());
  if (!report) return Fail({"the report of this entry is not available"}, json);
  if (json) {
    PrintJson(Value(*report));
  } else {
    std::fputs(Backup::reportText(*report).c_str(), stdout);
  }
  return 0;
}

struct Verb {
  const char* word;
  int (*run)(int argc, char** argv);
};

int RunBackupVerb(int argc, char** argv) { return RunNamed(BackupCommandPerformBackup, "run", argc, argv); }

constexpr Verb kVerbs[] = {
    {"create", Create}, {"list", List},         {"show", Show},       {"set", RunSetCommand},         {"run", RunBackupVerb},
    {"copy", Copy},     {"recreate", Recreate}, {"remove", Remove},   {"history", History}, {"report", Report},
};

}  // namespace

bool IsConfiguredBackupWord(const char* word) {
  for (const Verb& verb : kVerbs) {
    if (std::strcmp(verb.word, word) == 0) return true;
  }
  return false;
}

int RunConfiguredBackupCommand(int argc, char** argv) {
  for (const Verb& verb : kVerbs) {
    if (std::strcmp(verb.word, argv[0]) != 0) continue;
    const int status = verb.run(argc, argv);
    // A running scheduler reads the settings again at once.
    static const char* const kChangingVerbs[] = {"create", "set", "copy", "recreate", "remove"};
    const bool changes = std::any_of(std::begin(kChangingVerbs), std::end(kChangingVerbs),
                                     [&](const char* word) { return std::strcmp(word, argv[0]) == 0; });
    if (status == 0 && changes) {
      if (std::unique_ptr<SchedulerClient> scheduler = SchedulerClient::connect()) {
        std::string error;
        if (!scheduler->reload(&error)) {
          std::fprintf(stderr, "quorvel: warning: the scheduler did not take the change: %s\n", error.c_str());
        }
      }
    }
    return status;
  }
  return 2;
}

bool NamesConfiguredBackup(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-' || std::strchr(argv[1], '/') != nullptr) return false;
  std::optional<BackupList> backups = Backup::loadAllBackupsFromDisk();
  return backups && FindByName(*backups, argv[1]) != nullptr;
}

int RunNamedDestinationCommand(int command, int argc, char** argv) { return RunNamed(command, argv[0], argc, argv); }

int RunNamedCheckSource(int argc, char** argv) {
  CLI::App app{"Scans the source of the configured backup NAME with its exclusions and reports what a backup would "
               "take and what it leaves out.",
               "quorvel check-source"};
  std::string name;
  CheckSourceOptions options;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_flag("--report-hidden", options.reportHidden, "list excluded hidden items under the excluded paths");
  app.add_flag("--json", options.json, "print the results dictionary as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, options.json);
  std::shared_ptr<Backup> backup = FindOrFail(*backups, name, &failure);
  if (!backup) return Fail(failure, options.json);
  options.sourceDirectory = backup->sourceDirectoryPath();
  options.excludedSubpaths = backup->exclusionPaths();
  options.excludeCacheDirectories = backup->excludeCacheDirectories();
  return RunCheckSource(options);
}

}  // namespace quorvel
