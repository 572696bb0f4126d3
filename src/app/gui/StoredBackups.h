// StoredBackups: what the window shows of a backup that the scheduler
// service does not send - its settings, its history with the figures of each
// entry's report, and the tree of its files - read from the settings folder
// the service keeps. Plain data, no Qt: read on a worker thread and handed
// to the window whole.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Date.h"
#include "foundation/Value.h"
#include "model/ItemInfo.h"

namespace quorvel {

struct HistoryEntry {
  Date date;
  std::string command;     // "performBackup", "restoreBackup" ...
  std::string result;      // "success", "failure" or "cancelled"
  std::uint64_t errorCount = 0;
  std::string fileName;    // the report in the backup's folder; empty: none
  // From the report, when it could be read.
  std::optional<double> duration;
  std::optional<std::uint64_t> copiedFiles, copiedSize;
  std::optional<std::uint64_t> sourceFiles, sourceSize;
  std::optional<std::uint64_t> destinationFiles, destinationSize;
};

struct StoredBackup {
  std::string uuid;
  std::string name;
  std::string folder;  // the backup's folder in the settings folder
  // Setting name and value, in the order shown.
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<HistoryEntry> history;  // newest first
  // The files of the last successful backup; null before the first one.
  std::shared_ptr<const ItemInfo> files;
};

// Every backup in the settings folder by UUID (empty when the folder cannot
// be read). Reads every history entry's report: call it off the interface's
// thread.
std::map<std::string, StoredBackup> ReadStoredBackups();

// The report of a history entry as text: its error messages first, then
// every key and value; nothing when the entry names no readable report.
std::optional<std::string> ReadReportText(const std::string& folder, const std::string& fileName);

// The texts the history shows: "1 min 5 s"-style durations and sizes, as
// the rest of the program words them.
std::string DurationText(double seconds);
std::string CountAndSizeText(std::uint64_t count, std::uint64_t bytes);

}  // namespace quorvel
