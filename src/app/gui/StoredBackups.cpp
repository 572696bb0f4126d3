#include "app/gui/StoredBackups.h"

#include "app/cli/BackupCommandSupport.h"
#include "foundation/DataTransforms.h"
#include "foundation/PropertyList.h"
#include "model/Backup.h"

namespace quorvel {

namespace {

// The largest report read, unpacked.
constexpr std::size_t kLargestReport = 256u << 20;

std::optional<std::uint64_t> Unsigned(const Dictionary& report, const char* key) {
  const Value* value = report.find(key);
  if (!value || !value->isNumber()) return std::nullopt;
  return value->asUInt();
}

std::string YesNo(bool value) { return value ? "yes" : "no"; }

HistoryEntry EntryFromHistory(const Backup& backup, const Dictionary& entry) {
  HistoryEntry row;
  if (entry.get("date").isDate()) row.date = entry.get("date").asDate();
  row.command = entry.get("command").isString() ? entry.get("command").asString() : "";
  const Value* success = entry.find("success");
  row.result = !success ? "cancelled" : success->asBool() ? "success" : "failure";
  row.errorCount = entry.get("errorCount").asUInt();
  if (entry.get("fileName").isString()) row.fileName = entry.get("fileName").asString();
  if (std::optional<Dictionary> report = backup.reportForEntry(entry)) {
    if (const Value* duration = report->find("duration"); duration && duration->isNumber()) {
      row.duration = duration->asDouble();
    }
    row.copiedFiles = Unsigned(*report, "copiedFiles");
    row.copiedSize = Unsigned(*report, "copiedSize");
    row.sourceFiles = Unsigned(*report, "sourceFiles");
    row.sourceSize = Unsigned(*report, "sourceSize");
    row.destinationFiles = Unsigned(*report, "destinationFiles");
    row.destinationSize = Unsigned(*report, "destinationSize");
  }
  return row;
}

StoredBackup Read(const Backup& backup) {
  StoredBackup stored;
  stored.uuid = backup.uuid();
  stored.name = backup.name();
  stored.folder = backup.path();
  auto& settings = stored.settings;
  settings.emplace_back("Source", backup.sourceDirectoryPath());
  settings.emplace_back("Destination", configured::Shown(backup.destinationURLWithoutPassword()));
  settings.emplace_back("Encrypted", YesNo(backup.hasEncryptionPassword()));
  settings.emplace_back("Schedule", configured::ScheduleText(backup));
  settings.emplace_back("Segment size", std::to_string(backup.maximumSegmentSize()) + " MB");
  settings.emplace_back("File digests", YesNo(backup.computeFileDigests()));
  settings.emplace_back("Cache folders left out", YesNo(backup.excludeCacheDirectories()));
  std::string excluded;
  for (const std::string& path : backup.extraExcludedPaths()) excluded += (excluded.empty() ? "" : ", ") + path;
  settings.emplace_back("Left out", excluded.empty() ? "nothing" : excluded);
  const Dictionary& info = backup.info();
  for (const auto& [key, label] : std::vector<std::pair<const char*, const char*>>{
           {"lastDuration", "Last duration"},
           {"lastFiles", "Last copied"},
           {"totalSourceFiles", "Source"},
           {"totalDestinationFiles", "Stored"}}) {
    if (info.get(key).isString()) settings.emplace_back(label, info.get(key).asString());
  }
  for (const Value& entry : backup.previousResults()) {
    if (entry.isDictionary()) stored.history.push_back(EntryFromHistory(backup, entry.asDictionary()));
  }
  stored.files = backup.filesHierarchy();
  return stored;
}

}  // namespace

std::map<std::string, StoredBackup> ReadStoredBackups() {
  std::map<std::string, StoredBackup> stored;
  std::optional<std::vector<std::shared_ptr<Backup>>> backups = Backup::loadAllBackupsFromDisk();
  if (!backups) return stored;
  for (const std::shared_ptr<Backup>& backup : *backups) stored.emplace(backup->uuid(), Read(*backup));
  return stored;
}

std::optional<std::string> ReadReportText(const std::string& folder, const std::string& fileName) {
  // Reports are named by their date; a name with a slash is none of them.
  if (fileName.empty() || fileName.find('/') != std::string::npos) return std::nullopt;
  std::optional<Data> xml = DataTransforms::initWithGZipFile(folder + "/" + fileName, kLargestReport);
  if (!xml) return std::nullopt;
  Expected<Value> read = PropertyList::read(*xml);
  if (!read || !read->isDictionary()) return std::nullopt;
  const Dictionary* report = &read->asDictionary();
  std::string text;
  if (const Value* messages = report->find("errorMessages"); messages && messages->isArray()) {
    for (const Value& message : messages->asArray()) {
      if (message.isString()) text += message.asString() + "\n";
    }
    if (!text.empty()) text += "\n";
  }
  return text + Backup::reportText(*report);
}

std::string DurationText(double seconds) { return StringFromDuration(seconds); }

std::string CountAndSizeText(std::uint64_t count, std::uint64_t bytes) { return StringFromCountAndSize(count, bytes); }

}  // namespace quorvel
