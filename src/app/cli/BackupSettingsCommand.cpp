// `quorvel set NAME KEY VALUE`: one setting of a configured backup.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "app/cli/BackupCommandSupport.h"
#include "app/cli/BackupCommands.h"
#include "app/cli/PasswordSource.h"

namespace quorvel {

namespace {

using namespace configured;

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

// A duration: a number with "s", "m", "h" or "d" (plain: seconds), or
// "off"/"0" for none.
std::optional<double> DurationValue(const std::string& text) {
  if (text == "off" || text == "none") return 0.0;
  static const std::map<char, double> kUnits = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
  if (!text.empty()) {
    auto unit = kUnits.find(text.back());
    if (unit != kUnits.end()) {
      std::optional<double> count = NumberValue(text.substr(0, text.size() - 1));
      if (count && *count >= 0) return *count * unit->second;
      return std::nullopt;
    }
  }
  std::optional<double> seconds = NumberValue(text);
  if (seconds && *seconds >= 0) return seconds;
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
      {"schedule.interval",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         std::optional<double> seconds = DurationValue(value);
         if (!seconds) {
           *failure = {"\"" + value + "\" is not a duration (such as 30m, 6h, 1d, or off)", 2};
           return std::nullopt;
         }
         return Change([s = Backup::validateScheduleInterval(*seconds)](Backup& b) { b.setScheduleInterval(s); });
       }},
      {"schedule.daily",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         if (value == "off" || value == "none") return Change([](Backup& b) { b.setScheduleDaily(false); });
         std::optional<double> seconds = TimeOfDayValue(value);
         if (!seconds) {
           *failure = {"\"" + value + "\" is not a time of day (HH:MM) or off", 2};
           return std::nullopt;
         }
         return Change([s = *seconds](Backup& b) {
           b.setScheduleTime(s);
           b.setScheduleDaily(true);
         });
       }},
      {"schedule.on-launch", BooleanSetting(&Backup::setScheduleOnLaunch)},
      {"schedule.on-connection", BooleanSetting(&Backup::setScheduleOnConnection)},
      {"schedule.skip-if",
       [](const BackupList&, const Backup&, const std::string& value, Failure* failure) -> std::optional<Change> {
         if (value.empty() || value == "none") return Change([](Backup& b) { b.setSchedulePredicate(nullptr); });
         PredicatePtr condition = Predicate::predicateWithFormat(value);
         if (!condition) {
           *failure = {"\"" + value + "\" is not a condition (for example: WEEK_DAY == 0 OR POWER_SOURCE == 1)", 2};
           return std::nullopt;
         }
         return Change([condition](Backup& b) { b.setSchedulePredicate(condition); });
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

}  // namespace

bool ApplyBackupSetting(const std::vector<std::shared_ptr<Backup>>& all, Backup& backup, const std::string& key,
                        const std::string& value, std::string* error) {
  auto maker = Settings().find(key);
  if (maker == Settings().end()) {
    *error = "unknown setting \"" + key + "\"";
    return false;
  }
  if (backup.isLocked() && key != "locked") {
    *error = "the backup \"" + backup.name() + "\" is locked";
    return false;
  }
  Failure failure;
  std::optional<Change> change = maker->second(all, backup, value, &failure);
  if (!change) {
    *error = failure.message;
    return false;
  }
  (*change)(backup);
  return true;
}

int RunSetCommand(int argc, char** argv) {
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

}  // namespace quorvel
