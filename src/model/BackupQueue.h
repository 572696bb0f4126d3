// The backups that want to run, in arrival order, started one at a time: at
// most one backup of the whole program performs a backup at any moment.
//
// Backups are named by their UUIDs; what a backup answers when asked whether
// it can run now comes from the caller (Backup::canBackupNow), so the rules
// here are tested without backups, clocks or networks.
//
// The queue check walks from the front: a backup that must wait (its
// password is missing, its server cannot be reached) stays where it is and
// the walk goes on; one whose conditions say "not this time" leaves the queue
// and the walk goes on; the first that can run leaves the queue, ends the
// walk and is the one to start. While any backup performs a backup, the check
// does nothing.
//
// Not thread-safe: it lives on the main thread with the timers that fill it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class BackupQueue {
 public:
  // The answers of Backup::canBackupNow.
  enum Readiness : int { kNotThisTime = 0, kRunNow = 1, kWait = -1 };
  using ReadinessOf = std::function<Readiness(const std::string& uuid)>;

  // Appends the backup unless it is queued already; true when it was added.
  bool enqueue(const std::string& uuid);
  // Removes the backup; false when it was not queued.
  bool dequeue(const std::string& uuid);
  bool contains(const std::string& uuid) const;
  const std::vector<std::string>& entries() const { return entries_; }

  // The queue check (above): the backup to start now, or nothing.
  std::optional<std::string> check(bool aBackupIsRunning, const ReadinessOf& readinessOf);

 private:
  std::vector<std::string> entries_;
};

}  // namespace quorvel
