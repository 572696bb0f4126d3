#include "app/cli/BackupCommands.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/CheckSourceCommand.h"
#include "app/cli/DestinationCommand.h"
#include "app/cli/JsonValue.h"
#include "app/cli/PasswordSource.h"
#include "engine/BackupCommandOperation.h"
#include "engine/BackupController.h"
#include "foundation/Format.h"
#include "model/Backup.h"
#include "model/ProcessLock.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

namespace {

using BackupList = std::vector<std::shared_ptr<Backup>>;

// A failure before anything changed: the message, and the exit status.
struct Failure {
  std::string message;
  int status = 1;
};

void PrintJson(const Value& value) {
  std::printf("%s\n",
              JsonFromValue(value).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

int Fail(const Failure& failure, bool json) {
  std::fprintf(stderr, "quorvel: %s\n", EscapeControlCharacters(failure.message).c_str());
  if (json) PrintJson(Dictionary{{"success", false}, {"errorMessages", Array{Value(failure.message)}}});
  return failure.status;
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

std::string Shown(const std::shared_ptr<const Url>& url) {
  if (!url) return "";
  std::optional<Url> bare = url->URLByDeletingPassword();
  return bare ? bare->absoluteString() : url->absoluteString();
}

std::optional<BackupList> LoadBackups(Failure* failure) {
  std::optional<BackupList> backups = Backup::loadAllBackupsFromDisk();
  if (!backups) *failure = {"cannot read the settings folder \"" + SettingsFolder() + "\""};
  return backups;
}

std::shared_ptr<Backup> FindByName(const BackupList& backups, const std::string& name) {
  for (const auto& backup : backups) {
    if (backup->name() == name) return backup;
  }
  return nullptr;
}

std::shared_ptr<Backup> FindOrFail(const BackupList& backups, const std::string& name, Failure* failure) {
  std::shared_ptr<Backup> backup = FindByName(backups, name);
  if (!backup) *failure = {"no backup is named \"" + name + "\" (see \"quorvel list\")"};
  return backup;
}

// The backup's lock of this machine, or nothing with the holder named.
std::optional<ProcessLock> LockBackup(const Backup& backup, Failure* failure) {
  ProcessLock::Refusal refusal;
  std::optional<ProcessLock> lock = ProcessLock::acquire(ProcessLock::pathForBackup(backup.uuid()), &refusal);
  if (lock) return lock;
  if (!refusal.error.empty()) {
    *failure = {refusal.error};
  } else {
    *failure = {"the backup \"" + backup.name() + "\" is in use by " +
                (refusal.holder ? "process " + std::to_string(refusal.holder) : std::string("another process")) +
                "; try again when it has finished"};
  }
  return std::nullopt;
}

// The lock of the list of backups, held while a backup is added or renamed,
// so that two processes cannot both take a free name.
std::optional<ProcessLock> LockBackupList(Failure* failure) {
  ProcessLock::Refusal refusal;
  std::optional<ProcessLock> lock = ProcessLock::acquire(SettingsFolder() + "/.backups.lock", &refusal);
  if (!lock) {
    *failure = {refusal.error.empty() ? "the list of backups is being changed by " +
                                            (refusal.holder ? "process " + std::to_string(refusal.holder)
                                                            : std::string("another process")) +
                                            "; try again in a moment"
                                      : refusal.error};
  }
  return lock;
}

// ---------------------------------------------------------------------------
// Checking what the user gives

std::optional<std::string> CheckedSource(const std::string& given, Failure* failure) {
  const std::string source = AbsolutePath(given);
  std::error_code error;
  if (!std::filesystem::exists(source, error)) {
    *failure = {"the source \"" + source + "\" does not exist"};
  } else if (!std::filesystem::is_directory(source, error)) {
    *failure = {"the source \"" + source + "\" is not a folder"};
  } else {
    return source;
  }
  return std::nullopt;
}

// The destination as given, with the server password from the options (or
// the credential store) in it.
std::optional<Url> CheckedDestination(const std::string& given, const PasswordOptions& serverPassword,
                                      Failure* failure) {
  if (std::optional<std::string> problem = DestinationArgumentProblem(given)) {
    *failure = {*problem};
    return std::nullopt;
  }
  std::optional<Url> url = DestinationURLFromArgument(given);
  if (!url) {
    *failure = {"\"" + given + "\" is not a valid destination"};
    return std::nullopt;
  }
  if (!url->isFileURL() && url->host().empty()) {
    *failure = {"the destination URL \"" + given + "\" has no host"};
    return std::nullopt;
  }
  DestinationCommandOptions options;
  options.serverPassword = serverPassword;
  std::string error;
  std::optional<Url> withPassword = DestinationWithServerPassword(options, *url, Backup::keychain(), &error);
  if (!withPassword) *failure = {error};
  return withPassword;
}

// The segment size to use: clamped to 1 ... 128 MB, with a notice when it
// had to be.
std::uint32_t ClampedSegmentSize(std::int64_t given) {
  std::uint32_t used = Backup::validateMaximumSegmentSize(given);
  if (used != given) {
    std::fprintf(stderr, "quorvel: a segment size of %lld MB is out of range (%lld to %lld MB): using %u MB\n",
                 static_cast<long long>(given), static_cast<long long>(kMinimumSegmentSize),
                 static_cast<long long>(kMaximumSegmentSize), used);
  }
  return used;
}

// An exclusion as stored: relative to the source, without "./" and
// trailing "/". Absolute paths must lie inside the source.
std::optional<std::string> RelativeExclusion(const std::string& source, const std::string& given, Failure* failure) {
  std::filesystem::path path(given);
  if (path.is_absolute()) {
    std::filesystem::path relative = path.lexically_normal().lexically_relative(source);
    if (relative.empty() || *relative.begin() == ".." || relative == ".") {
      *failure = {"the exclusion \"" + given + "\" is not inside the source \"" + source + "\""};
      return std::nullopt;
    }
    path = relative;
  }
  std::string text = path.lexically_normal().string();
  while (!text.empty() && text.back() == '/') text.pop_back();
  if (text.empty() || text == "." || text == ".." || text.starts_with("../")) {
    *failure = {"the exclusion \"" + given + "\" does not name an item inside the source"};
    return std::nullopt;
  }
  return text;
}

// The encryption password: from the options, asked twice on a terminal, or
// none with --no-encryption.
std::optional<std::optional<std::string>> NewEncryptionPassword(const PasswordOptions& options, bool none,
                                                                Failure* failure) {
  if (none) return std::optional<std::string>();
  std::string error;
  if (options.given()) {
    std::optional<std::string> password = PasswordFromOptions(options, &error);
    if (!password) *failure = {error};
    return password ? std::optional<std::optional<std::string>>(password) : std::nullopt;
  }
  if (!::isatty(STDIN_FILENO)) {
    *failure = {"give the encryption password with --password-env VARIABLE or --password-file FILE, or choose "
                "--no-encryption",
                2};
    return std::nullopt;
  }
  std::string first, second;
  if (PromptForPassword("Encryption password: ", &first) != PromptOutcome::Entered || first.empty() ||
      PromptForPassword("Encryption password again: ", &second) != PromptOutcome::Entered) {
    *failure = {"no password given"};
    return std::nullopt;
  }
  if (first != second) {
    *failure = {"the two passwords differ"};
    return std::nullopt;
  }
  return std::optional<std::string>(first);
}

// ---------------------------------------------------------------------------
// Showing a backup

Dictionary BackupSummary(const Backup& backup) {
  Dictionary summary;
  summary.set("name", backup.name());
  summary.set("uuid", backup.uuid());
  summary.set("source", backup.sourceDirectoryPath());
  summary.set("destination", Shown(backup.destinationURLWithoutPassword()));
  summary.set("destinationType", backup.info().get("type"));
  summary.set("encrypted", backup.hasEncryptionPassword());
  if (backup.hasEncryptionPassword()) summary.set("encryptionPasswordStored", backup.encryptionPassword().has_value());
  summary.set("segmentSize", static_cast<std::uint64_t>(backup.maximumSegmentSize()));
  summary.set("digests", backup.computeFileDigests());
  summary.set("preserveDSStoreFiles", backup.preserveDSStoreFiles());
  summary.set("excludeCacheDirectories", backup.excludeCacheDirectories());
  Array excluded;
  for (const std::string& path : backup.extraExcludedPaths()) excluded.emplace_back(path);
  summary.set("exclusions", std::move(excluded));
  summary.set("scheduleOnLaunch", backup.scheduleOnLaunch());
  summary.set("scheduleOnConnection", backup.scheduleOnConnection());
  summary.set("scheduleInterval", backup.scheduleInterval());
  summary.set("scheduleDaily", backup.scheduleDaily());
  summary.set("scheduleTime", backup.scheduleTime());
  summary.set("locked", backup.isLocked());
  summary.set("created", backup.creationDate());
  summary.set("historyEntries", static_cast<std::uint64_t>(backup.previousResults().size()));
  if (!backup.previousResults().empty()) summary.set("lastCommand", backup.previousResults().front());
  summary.set("status", backup.statusImage());
  summary.set("folder", backup.path());
  return summary;
}

void PrintBackup(const Backup& backup) {
  const Dictionary summary = BackupSummary(backup);
  auto line = [](const char* label, const std::string& text) {
    std::printf("%-16s %s\n", label, EscapeControlCharacters(text).c_str());
  };
  line("Name:", backup.name());
  line("UUID:", backup.uuid());
  line("Source:", backup.sourceDirectoryPath());
  line("Destination:", summary.get("destination").asString());
  std::string encryption = backup.hasEncryptionPassword() ? "yes" : "no";
  if (backup.hasEncryptionPassword() && !backup.encryptionPassword()) {
    encryption += " (the password is missing from the credential store)";
  }
  line("Encrypted:", encryption);
  line("Segment size:", std::to_string(backup.maximumSegmentSize()) + " MB");
  line("Digests:", backup.computeFileDigests() ? "yes" : "no");
  std::string excluded;
  for (const std::string& path : backup.extraExcludedPaths()) excluded += (excluded.empty() ? "" : ", ") + path;
  line("Exclusions:", excluded.empty() ? "none" : excluded);
  line("Cache folders:", backup.excludeCacheDirectories() ? "left out (CACHEDIR.TAG)" : "backed up");
  if (backup.isLocked()) line("Locked:", "yes");
  if (const Value* last = backup.info().find("lastDate")) {
    line("Last backup:", FormatObjectDescription(*last) + ", " + backup.info().get("lastDuration").asString());
    line("Source files:", backup.info().get("totalSourceFiles").asString());
    line("Stored:", backup.info().get("totalDestinationFiles").asString());
  }
  line("History:", std::to_string(backup.previousResults().size()) + " entries");
}

// ---------------------------------------------------------------------------
// The verbs

struct CommonOptions {
  bool json = false;
};

// Parses with CLI11; nothing with the exit status in *status after --help
// or a usage error.
bool Parse(CLI::App& app, int argc, char** argv, int* status) {
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::CallForHelp& help) {
    *status = app.exit(help);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    *status = 2;
  }
  return false;
}

void AddPasswordOptions(CLI::App& app, PasswordOptions& password, const char* what) {
  CLI::Option* env = app.add_option("--password-env", password.environmentVariable,
                                    std::string("name of an environment variable holding ") + what);
  CLI::Option* file =
      app.add_option("--password-file", password.file, std::string("file whose first line is ") + what);
  env->excludes(file);
  file->excludes(env);
}

void AddServerPasswordOptions(CLI::App& app, PasswordOptions& password) {
  CLI::Option* env = app.add_option("--server-password-env", password.environmentVariable,
                                    "name of an environment variable holding the destination server's password");
  CLI::Option* file = app.add_option("--server-password-file", password.file,
                                     "file whose first line is the destination server's password");
  env->excludes(file);
  file->excludes(env);
}

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
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::shared_ptr<Backup> backup = FindOrFail(*backups, name, &failure);
  if (!backup) return Fail(failure, json);
  if (json) {
    PrintJson(BackupSummary(*backup));
  } else {
    PrintBackup(*backup);
  }
  return 0;
}

std::optional<bool> BooleanValue(const std::string& text) {
  static const std::map<std::string, bool> kWords = {{"on", true},  {"yes", true}, {"true", true},  {"1", true},
                                                     {"off", false}, {"no", false}, {"false", false}, {"0", false}};
  auto found = kWords.find(text);
  if (found == kWords.end()) return std::nullopt;
  return found->second;
}

std::optional<double> NumberValue(const std::string& text) {
  try {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// "HH:MM" or seconds after midnight.
std::optional<double> TimeOfDayValue(const std::string& text) {
  unsigned hours = 0, minutes = 0;
  char rest = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &hours, &minutes, &rest) == 2 && hours < 24 && minutes < 60) {
    return hours * 3600.0 + minutes * 60.0;
  }
  std::optional<double> seconds = NumberValue(text);
  if (seconds && *seconds >= 0 && *seconds < 86400) return seconds;
  return std::nullopt;
}

// One change of `set`: checks the value and answers the change, or nothing
// with the reason.
using Change = std::function<void(Backup&)>;
using ChangeMaker = std::function<std::optional<Change>(const BackupList&, const Backup&, const std::string&, Failure*)>;

template <typename Setter>
ChangeMaker BooleanSetting(Setter setter) {
  return [setter](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
    std::optional<bool> flag = BooleanValue(value);
    if (!flag) {
      *failure = {"\"" + value + "\" is not on or off", 2};
      return std::nullopt;
    }
    return Change([setter, on = *flag](Backup& backup) { (backup.*setter)(on); });
  };
}

// The destination again, with the server password the options name.
std::optional<Change> ServerPasswordChange(const Backup& backup, const PasswordOptions& password, Failure* failure) {
  std::shared_ptr<const Url> url = backup.destinationURLWithoutPassword();
  if (!url) {
    *failure = {"the backup has no destination"};
    return std::nullopt;
  }
  DestinationCommandOptions options;
  options.serverPassword = password;
  std::string error;
  std::optional<Url> withPassword = DestinationWithServerPassword(options, *url, Backup::keychain(), &error);
  if (!withPassword) {
    *failure = {error};
    return std::nullopt;
  }
  return Change([url = *withPassword](Backup& b) { b.setDestinationURL(url); });
}

const std::map<std::string, ChangeMaker>& Settings() {
  static const std::map<std::string, ChangeMaker> settings = {
      {"name",
       [](const BackupList& all, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         if (value.empty()) *failure = {"the name is empty", 2};
         else if (FindByName(all, value)) *failure = {"a backup named \"" + value + "\" exists already"};
         else return Change([value](Backup& b) { b.setName(value); });
         return std::nullopt;
       }},
      {"source",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::optional<std::string> source = CheckedSource(value, failure);
         if (!source) return std::nullopt;
         return Change([path = *source](Backup& b) { b.setSourceDirectoryPath(path); });
       }},
      {"destination",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::optional<Url> url = CheckedDestination(value, {}, failure);
         if (!url) return std::nullopt;
         return Change([url = *url](Backup& b) { b.setDestinationURL(url); });
       }},
      {"segment-size",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::optional<double> size = NumberValue(value);
         if (!size || *size != static_cast<double>(static_cast<std::int64_t>(*size))) {
           *failure = {"\"" + value + "\" is not a whole number of MB", 2};
           return std::nullopt;
         }
         std::uint32_t used = ClampedSegmentSize(static_cast<std::int64_t>(*size));
         return Change([used](Backup& b) { b.setMaximumSegmentSize(used); });
       }},
      {"digests", BooleanSetting(&Backup::setComputeFileDigests)},
      {"exclude-caches", BooleanSetting(&Backup::setExcludeCacheDirectories)},
      {"preserve-ds-store", BooleanSetting(&Backup::setPreserveDSStoreFiles)},
      {"locked", BooleanSetting(&Backup::setLocked)},
      {"schedule-on-launch", BooleanSetting(&Backup::setScheduleOnLaunch)},
      {"schedule-on-connection", BooleanSetting(&Backup::setScheduleOnConnection)},
      {"schedule-daily", BooleanSetting(&Backup::setScheduleDaily)},
      {"schedule-interval",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::optional<double> seconds = NumberValue(value);
         if (!seconds) {
           *failure = {"\"" + value + "\" is not a number of seconds", 2};
           return std::nullopt;
         }
         return Change([s = Backup::validateScheduleInterval(*seconds)](Backup& b) { b.setScheduleInterval(s); });
       }},
      {"schedule-time",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::optional<double> seconds = TimeOfDayValue(value);
         if (!seconds) {
           *failure = {"\"" + value + "\" is not a time of day (HH:MM)", 2};
           return std::nullopt;
         }
         return Change([s = *seconds](Backup& b) { b.setScheduleTime(s); });
       }},
      {"exclude",
       [](const BackupList&, const Backup& backup, const std::string& value,
          Failure* failure) -> std::optional<Change> {
         std::optional<std::string> path = RelativeExclusion(backup.sourceDirectoryPath(), value, failure);
         if (!path) return std::nullopt;
         return Change([path = *path](Backup& b) {
           std::vector<std::string> paths = b.extraExcludedPaths();
           paths.push_back(path);
           b.setExtraExcludedPaths(paths);
         });
       }},
      {"include",
       [](const BackupList&, const Backup& backup, const std::string& value,
          Failure* failure) -> std::optional<Change> {
         std::optional<std::string> path = RelativeExclusion(backup.sourceDirectoryPath(), value, failure);
         if (!path) return std::nullopt;
         const auto& paths = backup.extraExcludedPaths();
         if (std::find(paths.begin(), paths.end(), *path) == paths.end()) {
           *failure = {"\"" + *path + "\" is not excluded"};
           return std::nullopt;
         }
         return Change([path = *path](Backup& b) {
           std::vector<std::string> kept = b.extraExcludedPaths();
           std::erase(kept, path);
           b.setExtraExcludedPaths(kept);
         });
       }},
      {"password-env",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::string error;
         std::optional<std::string> password = PasswordFromOptions({value, {}}, &error);
         if (!password) {
           *failure = {error};
           return std::nullopt;
         }
         return Change([password](Backup& b) { b.setEncryptionPassword(password); });
       }},
      {"password-file",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::string error;
         std::optional<std::string> password = PasswordFromOptions({{}, value}, &error);
         if (!password) {
           *failure = {error};
           return std::nullopt;
         }
         return Change([password](Backup& b) { b.setEncryptionPassword(password); });
       }},
      {"server-password-env",
       [](const BackupList&, const Backup& backup, const std::string& value,
          Failure* failure) -> std::optional<Change> {
         return ServerPasswordChange(backup, {value, {}, "server-password-env"}, failure);
       }},
      {"server-password-file",
       [](const BackupList&, const Backup& backup, const std::string& value,
          Failure* failure) -> std::optional<Change> {
         return ServerPasswordChange(backup, {{}, value, "server-password-env"}, failure);
       }},
      {"encryption",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         if (value != "off") {
           *failure = {"encryption can only be turned off this way; give a password with password-env or "
                       "password-file",
                       2};
           return std::nullopt;
         }
         return Change([](Backup& b) { b.setEncryptionPassword(std::nullopt); });
       }},
  };
  return settings;
}

int Set(int argc, char** argv) {
  std::string keys;
  for (const auto& [key, maker] : Settings()) keys += (keys.empty() ? "" : ", ") + key;
  CLI::App app{"Changes one setting of a backup. KEY is one of: " + keys + ".", "quorvel set"};
  std::string name, key, value;
  bool json = false;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_option("KEY", key, "the setting")->required();
  app.add_option("VALUE", value, "its new value")->required();
  app.add_flag("--json", json, "print the backup as JSON");
  int status = 0;
  if (!Parse(app, argc, argv, &status)) return status;

  auto maker = Settings().find(key);
  if (maker == Settings().end()) return Fail({"unknown setting \"" + key + "\" (one of: " + keys + ")", 2}, json);
  Failure failure;
  std::optional<ProcessLock> listLock;
  if (key == "name" && !(listLock = LockBackupList(&failure))) return Fail(failure, json);
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::shared_ptr<Backup> backup = FindOrFail(*backups, name, &failure);
  if (!backup) return Fail(failure, json);
  std::optional<ProcessLock> lock = LockBackup(*backup, &failure);
  if (!lock) return Fail(failure, json);
  if (backup->isLocked() && key != "locked") {
    return Fail({"the backup \"" + name + "\" is locked; unlock it first: quorvel set " + name + " locked off"},
                json);
  }
  std::optional<Change> change = maker->second(*backups, *backup, value, &failure);
  if (!change) return Fail(failure, json);
  (*change)(*backup);
  if (!backup->saveToDiskIfNecessary()) return Fail({"cannot save the settings in \"" + backup->path() + "\""}, json);
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
  options.backupUUID = backup.uuid();
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
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::shared_ptr<Backup> backup = FindOrFail(*backups, name, &failure);
  if (!backup) return Fail(failure, json);
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
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::shared_ptr<Backup> backup = FindOrFail(*backups, name, &failure);
  if (!backup) return Fail(failure, json);
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
  if (!Parse(app, argc, argv, &status)) return status;
  Failure failure;
  std::optional<BackupList> backups = LoadBackups(&failure);
  if (!backups) return Fail(failure, json);
  std::shared_ptr<Backup> backup = FindOrFail(*backups, name, &failure);
  if (!backup) return Fail(failure, json);
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
    {"create", Create}, {"list", List},         {"show", Show},       {"set", Set},         {"run", RunBackupVerb},
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
    if (std::strcmp(verb.word, argv[0]) == 0) return verb.run(argc, argv);
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
