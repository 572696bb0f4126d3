// ScheduledBackup: what makes one configured backup ask to run by itself -
// the one-shot timer of its next scheduled date, and, for a destination on
// the network, the watcher of the destination's host with the connection
// timer that follows a change to "reachable".
//
// Dates come from the clock given (the program's, or a test's); timers are
// the main run loop's, armed for the time left on that clock. When the clock
// jumps (the machine woke from sleep, a test moved it) didWakeUp() re-arms
// the timer, so that a date that passed meanwhile fires at once.
//
// The delegate (the application controller) is told:
//   backupDidSchedule  the schedule timer fired, or the connection timer
//                      fired for a backup that runs when its host appears;
//                      never while the backup performs a backup
//   backupDidConnect   the connection timer fired for any other backup (a
//                      queued backup that waited for its host may go on)
//
// Main thread only. The delegate and the backup must outlive the object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Date.h"
#include "foundation/RunLoop.h"
#include "model/platform/NetworkReachability.h"

namespace quorvel {

class Backup;
class Url;

class BackupDelegate {
 public:
  virtual ~BackupDelegate() = default;
  virtual void backupDidSchedule(Backup& backup) = 0;
  virtual void backupDidConnect(Backup& backup) = 0;
};

class ScheduledBackup : private NetworkReachabilityDelegate {
 public:
  using Clock = std::function<Date()>;
  // Seconds between the host becoming reachable and the connection timer.
  static constexpr double kConnectionDelay = 30.0;

  // `isPerformingBackup` answers whether the backup performs a backup now.
  ScheduledBackup(Backup& backup, BackupDelegate& delegate, Clock clock, double connectionDelay,
                  std::function<bool()> isPerformingBackup);
  ~ScheduledBackup() override;
  ScheduledBackup(const ScheduledBackup&) = delete;
  ScheduledBackup& operator=(const ScheduledBackup&) = delete;

  // Recomputes the backup's next date and re-arms the timer (none without a
  // date).
  void updateScheduleDate();
  void didWakeUp();
  // Watches the host of the backup's destination (again: call it after the
  // destination changed). Local destinations are not watched.
  void updateReachability();

  bool hasReachabilityWatcher() const { return reachability_ != nullptr; }
  // True without a watcher.
  bool isHostReachable() const;

  // The host and port a destination is watched at: the URL's port, else the
  // scheme's usual one; nothing for local destinations.
  static std::optional<std::pair<std::string, std::uint16_t>> WatchedAddress(const Url& destination);

 private:
  void networkReachabilityDidUpdate(NetworkReachability& reachability) override;
  void armScheduleTimer();
  void scheduleTimerFired();
  void networkTimerFired();
  void cancelNetworkTimer();

  Backup& backup_;
  BackupDelegate& delegate_;
  Clock clock_;
  const double connectionDelay_;
  std::function<bool()> isPerformingBackup_;
  std::shared_ptr<Timer> scheduleTimer_;
  std::shared_ptr<Timer> networkTimer_;
  std::unique_ptr<NetworkReachability> reachability_;
};

}  // namespace quorvel
