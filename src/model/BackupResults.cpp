// Backup: what finished commands leave behind - reports, history, the last
// results with their display texts, and the file tree.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>

#include "engine/BackupCommandOperation.h"
#include "foundation/DataTransforms.h"
#include "foundation/Format.h"
#include "foundation/LocalizedString.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "model/Backup.h"
#include "model/BackupQueue.h"
#include "model/ScheduleConditions.h"
#include "model/ScheduleDate.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

namespace {

constexpr const char* kCommandEntry = "command";
constexpr const char* kSuccessEntry = "success";
constexpr const char* kDateEntry = "date";
constexpr const char* kErrorCountEntry = "errorCount";
constexpr const char* kFileNameEntry = "fileName";
constexpr const char* kReportSuffix = ".plist.gz";
// Reports are never larger than this once inflated.
constexpr std::size_t kLargestReport = 256u << 20;

std::string Text(const char* key) { return LocalizedString(kBackupStringTable, key); }

// "2009-03-02-140509" for the local time of a date.
std::string ReportStem(Date date) {
  std::time_t seconds = static_cast<std::time_t>(std::floor(date.timeIntervalSince1970()));
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local);
  return text;
}

// The destination line: its count and size, with the compression or the
// overhead when the sizes differ by more than 1 %.
std::string DestinationText(const Dictionary& results) {
  const std::uint64_t source = results.get("sourceSize").asUInt();
  const std::uint64_t destination = results.get("destinationSize").asUInt();
  const std::string sized = StringFromCountAndSize(results.get("destinationFiles").asUInt(), destination);
  const double larger = static_cast<double>(std::max(source, destination));
  if (larger == 0) return sized;
  const double ratio = (1.0 - static_cast<double>(std::min(source, destination)) / larger) * 100.0;
  if (ratio <= 1.0) return sized;
  return Format(Text(source >= destination ? "COMPRESSION" : "OVERHEAD"), sized, ratio);
}

}  // namespace

std::string StringFromSize(std::uint64_t bytes) {
  if (bytes < (1ull << 20)) return Format(Text("SIZE_KB"), static_cast<unsigned long long>(bytes / 1024 + 1));
  if (bytes < (1ull << 30)) return Format(Text("SIZE_MB"), static_cast<double>(bytes) / (1 << 20));
  return Format(Text("SIZE_GB"), static_cast<double>(bytes) / (1 << 30));
}

std::string StringFromDuration(double seconds) {
  if (!(seconds >= 1)) return Format(Text("DURATION_S"), 1.0, 0.0);
  if (seconds < 60) return Format(Text("DURATION_S"), seconds, 0.0);
  if (seconds < 3600) return Format(Text("DURATION_M"), seconds / 60, std::fmod(seconds, 60));
  return Format(Text("DURATION_H"), seconds / 3600, std::fmod(seconds, 3600) / 60);
}

std::string StringFromCountAndSize(std::uint64_t count, std::uint64_t bytes) {
  return Format(Text("COUNT_AND_SIZE"), static_cast<unsigned long long>(count), StringFromSize(bytes));
}

void Backup::setLastBackupResults(const std::optional<Dictionary>& results) {
  if (results == lastBackupResults_) return;
  willChangeValueForKey("lastBackupResults");
  lastBackupResults_ = results;
  if (lastBackupResults_) lastBackupResults_->erase("directoryScanner");
  didChangeValueForKey("lastBackupResults");
  updateInfoForLastResults();
}

void Backup::updateInfoForLastResults() {
  willChangeValueForKey("info");
  for (const char* key : {"lastDate", "lastDuration", "lastFiles", "totalSourceFiles", "totalDestinationFiles"}) {
    info_.erase(key);
  }
  if (lastBackupResults_) {
    const Dictionary& results = *lastBackupResults_;
    if (const Value* date = results.find(kStartDateResult)) info_.set("lastDate", *date);
    if (const Value* duration = results.find(kDurationResult)) {
      info_.set("lastDuration", StringFromDuration(duration->asDouble()));
    }
    if (std::uint64_t copied = results.get("copiedFiles").asUInt()) {
      info_.set("lastFiles", StringFromCountAndSize(copied, results.get("copiedSize").asUInt()));
    }
    info_.set("totalSourceFiles",
              StringFromCountAndSize(results.get("sourceFiles").asUInt(), results.get("sourceSize").asUInt()));
    info_.set("totalDestinationFiles", DestinationText(results));
  }
  didChangeValueForKey("info");
}

std::optional<std::string> Backup::writeReport(const Dictionary& results) const {
  const std::string stem = ReportStem(results.get(kStartDateResult).asDate(Date::now()));
  std::string name = stem + kReportSuffix;
  std::error_code error;
  for (int n = 2; std::filesystem::exists(path_ + "/" + name, error); ++n) {
    name = stem + "-" + std::to_string(n) + kReportSuffix;
  }
  const std::string file = path_ + "/" + name;
  // Written beside and renamed, so that a report file is always whole.
  const std::string partial = file + ".partial";
  Expected<Data> xml = PropertyList::writeXml(Value(results));
  std::filesystem::create_directories(path_, error);
  std::string problem = xml ? std::string() : xml.status().message();
  if (xml && !DataTransforms::writeToGZipFile(*xml, partial)) problem = "cannot write \"" + partial + "\"";
  if (problem.empty()) {
    std::filesystem::permissions(partial, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 error);
    std::filesystem::rename(partial, file, error);
    if (error) problem = error.message();
  }
  if (!problem.empty()) {
    std::filesystem::remove(partial, error);
    SystemLog("%s: Failed saving results to \"%@\" (%@)", __func__, file, problem);
    return std::nullopt;
  }
  return name;
}

void Backup::deleteReport(const Value& entry) {
  const Value& name = entry.asDictionary().get(kFileNameEntry);
  if (!name.isString() || name.asString().find('/') != std::string::npos) return;
  const std::string file = path_ + "/" + name.asString();
  std::error_code error;
  if (!std::filesystem::remove(file, error) && error) {
    SystemLog("%s: Failed deleting results from \"%@\": %@", __func__, file, error.message());
  }
}

void Backup::insertHistoryEntry(Dictionary entry) {
  willChangeValueForKey("previousResults");
  previousResults_.insert(previousResults_.begin(), Value(std::move(entry)));
  while (previousResults_.size() > kMaximumHistoryLength) {
    deleteReport(previousResults_.back());
    previousResults_.pop_back();
  }
  didChangeValueForKey("previousResults");
}

void Backup::resetPreviousResults(bool keepLast) {
  std::optional<Value> kept;
  const Value keepDate = keepLast && lastBackupResults_ ? lastBackupResults_->get(kStartDateResult) : Value();
  for (const Value& entry : previousResults_) {
    if (!kept && !keepDate.isNull() && entry.asDictionary().get(kDateEntry) == keepDate) {
      kept = entry;
    } else {
      deleteReport(entry);
    }
  }
  willChangeValueForKey("previousResults");
  previousResults_.clear();
  if (kept) previousResults_.push_back(*kept);
  didChangeValueForKey("previousResults");
}

std::optional<Date> Backup::lastBackupDate() const {
  const std::string performBackup = BackupController::nameForCommand(BackupCommandPerformBackup).value_or("");
  for (const Value& entry : previousResults_) {
    const Dictionary& fields = entry.asDictionary();
    if (fields.get(kCommandEntry).asString() != performBackup) continue;
    const Value& date = fields.get(kDateEntry);
    return date.isDate() ? std::optional<Date>(date.asDate()) : std::nullopt;
  }
  return std::nullopt;
}

void Backup::updateScheduleDate(Date now) {
  const ScheduleSettings schedule{scheduleInterval_, scheduleDaily_, scheduleTime_};
  scheduleDate_ = NextScheduleDate(schedule, lastBackupDate(), now);
}

int Backup::canBackupNow(Date now, const NetworkConfiguration& network, const PowerState& power) const {
  if (hasEncryptionPassword() && !encryptionPassword()) return BackupQueue::kWait;
  if (!schedulePredicate_) return BackupQueue::kRunNow;
  Dictionary services;
  for (const auto& [name, active] : network.allInterfaces()) services.set(name, active);
  const Dictionary variables = ScheduleConditionVariables(now, network, power);
  return ScheduleConditionsAllow(schedulePredicate_, variables, services) ? BackupQueue::kRunNow
                                                                          : BackupQueue::kNotThisTime;
}

int Backup::canBackupNow() const {
  return canBackupNow(Date::now(), NetworkConfiguration::sharedNetworkConfiguration(), ReadSystemPowerState());
}

void Backup::processResults(const Dictionary& results, int command, bool wasCancelled) {
  Dictionary report = results;
  std::shared_ptr<DirectoryScanner> snapshot = report.get("directoryScanner").object<DirectoryScanner>();
  report.erase("directoryScanner");
  const bool success = report.get(kSuccessResult).asBool();
  if (command == BackupCommandDeleteBackup && success) resetPreviousResults(false);

  Dictionary entry;
  entry.set(kCommandEntry, BackupController::nameForCommand(command).value_or(""));
  if (!wasCancelled) entry.set(kSuccessEntry, success);
  entry.set(kDateEntry, report.get(kStartDateResult));
  entry.set(kErrorCountEntry, static_cast<std::uint64_t>(report.get(kErrorMessagesResult).asArray().size()));
  if (std::optional<std::string> name = writeReport(report)) entry.set(kFileNameEntry, *name);
  insertHistoryEntry(std::move(entry));

  if (success && command == BackupCommandPerformBackup) {
    filesHierarchy_.reset();
    if (snapshot) {
      snapshot->setSortPaths(true);
      filesHierarchy_ = ItemInfo::treeOfSnapshot(*snapshot);
    }
    setLastBackupResults(report);
  } else if (success && command == BackupCommandDeleteBackup) {
    filesHierarchy_.reset();
    setLastBackupResults(std::nullopt);
  }
  saveToDiskIfNecessary();
}

std::optional<Dictionary> Backup::reportForEntry(const Dictionary& entry) const {
  const Value& name = entry.get(kFileNameEntry);
  if (!name.isString() || name.asString().find('/') != std::string::npos) return std::nullopt;
  std::optional<Data> xml = DataTransforms::initWithGZipFile(path_ + "/" + name.asString(), kLargestReport);
  if (!xml) return std::nullopt;
  Expected<Value> report = PropertyList::read(*xml);
  if (!report || !report->isDictionary()) return std::nullopt;
  return report->asDictionary();
}

std::string Backup::reportText(const Dictionary& report) {
  std::vector<std::string> keys = report.keys();
  std::sort(keys.begin(), keys.end());
  std::string text;
  for (const std::string& key : keys) {
    const Value& value = report.get(key);
    if (value.isArray()) {
      text += Format("%@ = {\n", key);
      for (const Value& element : value.asArray()) text += Format("\t%@\n", element);
      text += "}\n";
    } else {
      text += Format("%@ = %@\n", key, value);
    }
  }
  return text;
}

std::string Backup::statusImage() const {
  if (isRunning()) return {};
  if (!lastBackupResults_ || previousResults_.empty()) return "GrayDot";
  const Dictionary& newest = previousResults_.front().asDictionary();
  if (!newest.get(kSuccessEntry).asBool()) return "RedDot";
  return newest.get(kErrorCountEntry).asUInt() > 0 ? "OrangeDot" : "GreenDot";
}

}  // namespace quorvel
