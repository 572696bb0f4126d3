#include "model/BackupQueue.h"

#include <algorithm>

namespace quorvel {

bool BackupQueue::enqueue(const std::string& uuid) {
  if (contains(uuid)) return false;
  entries_.push_back(uuid);
  return true;
}

bool BackupQueue::dequeue(const std::string& uuid) {
  auto found = std::find(entries_.begin(), entries_.end(), uuid);
  if (found == entries_.end()) return false;
  entries_.erase(found);
  return true;
}

bool BackupQueue::contains(const std::string& uuid) const {
  return std::find(entries_.begin(), entries_.end(), uuid) != entries_.end();
}

std::optional<std::string> BackupQueue::check(bool aBackupIsRunning, const ReadinessOf& readinessOf) {
  if (aBackupIsRunning) return std::nullopt;
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    const Readiness readiness = readinessOf(*entry);
    if (readiness == kWait) {
      ++entry;
      continue;
    }
    const std::string uuid = *entry;
    entry = entries_.erase(entry);
    if (readiness == kRunNow) return uuid;
  }
  return std::nullopt;
}

}  // namespace quorvel
