#include "app/cli/BackupCommandSupport.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/cli/JsonValue.h"
#include "foundation/Format.h"

namespace quorvel::configured {

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

std::shared_ptr<Backup> ParseAndFindBackup(CLI::App& app, int argc, char** argv, const std::string& name, bool json,
                                           int* status) {
  if (!Parse(app, argc, argv, status)) return nullptr;
  Failure failure;
  std::shared_ptr<Backup> backup = LoadNamedBackup(name, &failure);
  if (!backup) *status = Fail(failure, json);
  return backup;
}

std::shared_ptr<Backup> LoadNamedBackup(const std::string& name, Failure* failure) {
  std::optional<BackupList> backups = LoadBackups(failure);
  return backups ? FindOrFail(*backups, name, failure) : nullptr;
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
  std::string error;
  // s3://BUCKET/PATH at the default S3 endpoint.
  url = S3DestinationFromArgument(*url, "", &error);
  if (!url) {
    *failure = {error};
    return std::nullopt;
  }
  if (!url->isFileURL() && url->host().empty()) {
    *failure = {"the destination URL \"" + given + "\" has no host"};
    return std::nullopt;
  }
  DestinationCommandOptions options;
  options.serverPassword = serverPassword;
  std::optional<Url> withPassword = DestinationWithServerCredentials(options, *url, Backup::keychain(), &error);
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
  if (backup.schedulePredicate()) summary.set("scheduleSkipIf", backup.schedulePredicate()->predicateFormat());
  summary.set("locked", backup.isLocked());
  summary.set("created", backup.creationDate());
  summary.set("historyEntries", static_cast<std::uint64_t>(backup.previousResults().size()));
  if (!backup.previousResults().empty()) summary.set("lastCommand", backup.previousResults().front());
  summary.set("status", backup.statusImage());
  summary.set("folder", backup.path());
  return summary;
}

std::string ScheduleText(const Backup& backup) {
  std::vector<std::string> parts;
  char text[64];
  if (backup.scheduleInterval() > 0) {
    std::snprintf(text, sizeof text, "every %g h", backup.scheduleInterval() / 3600);
    parts.push_back(text);
  }
  if (backup.scheduleDaily()) {
    const auto seconds = static_cast<int>(backup.scheduleTime());
    std::snprintf(text, sizeof text, "daily at %02d:%02d", seconds / 3600, (seconds % 3600) / 60);
    parts.push_back(text);
  }
  if (backup.scheduleOnLaunch()) parts.push_back("at start-up");
  if (backup.scheduleOnConnection()) parts.push_back("when the destination appears");
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : ", ") + part;
  if (joined.empty()) return "none";
  if (backup.schedulePredicate()) joined += "; skipped if " + backup.schedulePredicate()->predicateFormat();
  return joined;
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
  line("Schedule:", ScheduleText(backup));
  if (backup.isLocked()) line("Locked:", "yes");
  if (const Value* last = backup.info().find("lastDate")) {
    line("Last backup:", FormatObjectDescription(*last) + ", " + backup.info().get("lastDuration").asString());
    line("Source files:", backup.info().get("totalSourceFiles").asString());
    line("Stored:", backup.info().get("totalDestinationFiles").asString());
  }
  line("History:", std::to_string(backup.previousResults().size()) + " entries");
}

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

}  // namespace quorvel::configured
