// AppController: the centre of the program outside the engine, without
// windows - the scheduler service runs one, and so will the desktop front
// end's service. It loads every configured backup into its group, arms each
// backup's schedule and connection watch (ScheduledBackup), keeps the one
// queue of backups that want to run and starts them one at a time, runs
// commands on backups with the arguments each needs, answers the engine's
// callbacks (progress, messages, suspension, the network-error question,
// results into the history), keeps the computer awake while commands run,
// and quits cleanly: running commands are cancelled, their clean-up and
// results are waited for, changed settings are saved.
//
// What a front end shows comes from status() and the observer's calls.
//
// Retry after a network error (user default "retryAfterNetworkError"):
//   negative  never: the command fails at once
//   0         the question waits for retry() or cancel() from the user
//   positive  retry after 10 s, doubling while failures follow each other
//             within twice the wait, starting again at 10 s after a quiet
//             period; after "maximumNetworkRetries" retries in a row
//             (default 6) the command fails and is recorded as failed, so
//             that one lost destination cannot hold the queue for ever
//
// Threads: main thread only (the engine delivers its callbacks there).
// Backups are owned here (shared with their engine operations while those
// run); the observer is not owned and must outlive the controller.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CommandProgress.h"
#include "app/ScheduledBackup.h"
#include "engine/BackupController.h"
#include "foundation/Date.h"
#include "foundation/OperationQueue.h"
#include "foundation/Predicate.h"
#include "model/BackupQueue.h"
#include "model/ProcessLock.h"

namespace quorvel {

class Backup;
class KeepAwake;
class UserDefaults;

// What the service passes on to its clients.
class AppControllerObserver {
 public:
  enum class PhaseEvent { Begin, End, Update };
  virtual ~AppControllerObserver() = default;
  // Queued, started, suspended, finished, added, removed, rescheduled ...
  virtual void backupDidChange(const std::string& uuid) {}
  virtual void backupDidPostMessage(const std::string& uuid, const std::string& message) {}
  virtual void backupPhase(const std::string& uuid, PhaseEvent event, const std::string& type,
                           std::uint32_t identifier, std::uint32_t current, std::uint32_t max) {}
  // A network error: the command retries in `seconds` (retry `attempt` of
  // `maximum`), or waits for the user's answer (seconds < 0).
  virtual void backupWillRetry(const std::string& uuid, double seconds, unsigned attempt, unsigned maximum) {}
  // results: null for a command that never started.
  virtual void backupDidFinishCommand(const std::string& uuid, int command, const Dictionary* results,
                                      bool cancelled, const std::vector<std::string>& errorMessages) {}
};

class AppController : public BackupControllerDelegate, public BackupDelegate {
 public:
  using Clock = std::function<Date()>;

  struct Options {
    // The clock schedules are computed on.
    Clock clock = [] { return Date::now(); };
    // Seconds from a destination host becoming reachable to the connection
    // timer.
    double connectionDelay = ScheduledBackup::kConnectionDelay;
    // Where the computer is kept awake; null: nowhere (tests).
    KeepAwake* keepAwake = nullptr;
    // Every log line also goes to standard error (the service's journal).
    bool logToStandardError = false;
  };

  // Lines kept per backup for status and log.
  static constexpr std::size_t kLogLength = 200;

  // The defaults every program part reads, registered with their values.
  static void registerDefaults(UserDefaults& defaults);
  // Lowest CPU priority and idle disk I/O for this process; failures are
  // printed and ignored.
  static void lowerProcessPriority();

  explicit AppController(Options options);
  ~AppController() override;
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  // Global speed limits from the defaults, then every stored backup; those
  // that run at launch are queued unless their conditions say skip.
  void applicationDidFinishLaunching();
  // Reads the settings folder again: new backups are added, removed ones
  // dropped, and idle backups whose settings file changed are read anew.
  // Backups running a command are left as they are until it finishes.
  void reloadBackups();
  // Reads the defaults file again (a front end changed the preferences) and
  // applies the global speed limits anew; every other default is read where
  // it is used, so the next use sees the change.
  void reloadDefaults();

  void addBackup(const std::shared_ptr<Backup>& backup);
  void removeBackup(const std::string& uuid);

  // Every backup, group by group (groups by name, backups by name with
  // numbers compared by value).
  std::vector<std::shared_ptr<Backup>> allBackups() const;
  std::map<std::string, std::vector<std::shared_ptr<Backup>>> backupLists() const;
  std::shared_ptr<Backup> backupWithUUID(const std::string& uuid) const;
  std::shared_ptr<Backup> backupNamed(const std::string& name) const;
  // The group a backup belongs in: "Local" for local destinations, the
  // hosted disk's and S3's own names, else the destination's host.
  static std::string CategoryFromBackup(const Backup& backup);
  // Case-insensitive, numbers by value ("Backup 2" before "Backup 10").
  static bool CompareBackupNames(const std::string& a, const std::string& b);

  // Runs `command` on the backup now (taking it out of the queue). Nothing
  // when it started; else why not (missing password, a command already
  // running, the backup or its destination in use by another process).
  std::optional<std::string> performCommand(Backup& backup, int command, const Dictionary& arguments);
  void enqueueBackup(Backup& backup);
  void dequeueBackup(Backup& backup);
  bool isQueued(const Backup& backup) const;
  std::vector<std::string> queue() const { return backupQueue_.entries(); }

  // Actions on a running command; false when there is none to act on.
  bool suspend(Backup& backup);
  bool resume(Backup& backup);
  bool cancel(Backup& backup);
  // Answers a waiting network-error question with "retry".
  bool retry(Backup& backup);

  // The clock jumped (sleep, a test): every schedule timer is re-armed.
  void didWakeUp();

  struct Status {
    std::string state;  // "idle", "queued", "waiting", "running", "suspended", "retrying"
    int command = 0;    // running command, 0 none
    std::optional<Date> nextScheduleDate;
    std::string waitingReason;  // why a queued backup does not start
    std::string progressLine;
    std::optional<std::uint64_t> speed;  // bytes per second
    std::optional<double> secondsLeft;
    std::uint32_t stepsDone = 0;
    std::uint32_t stepsPlanned = 0;
    std::optional<double> retryIn;  // seconds
  };
  Status status(const Backup& backup) const;
  // Recent lines of the backup's log, oldest first.
  std::vector<std::string> log(const std::string& uuid) const;

  bool isRunningCommands() const;
  bool isPerformingBackup(const Backup& backup) const;
  // Cancels every running command and calls `done` once all have finished
  // and changed settings are saved (at once when none runs). Nothing new
  // starts meanwhile.
  void terminate(std::function<void()> done);
  bool isTerminating() const { return terminating_; }

  void setObserver(AppControllerObserver* observer) { observer_ = observer; }
  Date now() const { return options_.clock(); }

  // BackupDelegate
  void backupDidSchedule(Backup& backup) override;
  void backupDidConnect(Backup& backup) override;

  // BackupControllerDelegate
  bool respondsTo(Callback callback) const override { return true; }
  void backupControllerWillStartCommand(BackupController& controller, int command) override;
  void backupControllerDidStartCommand(BackupController& controller, int command) override;
  void backupControllerDidNotStartCommand(BackupController& controller, int command) override;
  void backupControllerDidFinishCommand(BackupController& controller, int command, const Dictionary* results,
                                        const Dictionary& arguments) override;
  void backupControllerDidGetErrorMessage(BackupController& controller, const std::string& message) override;
  void backupControllerWillBeginPhaseWithType(BackupController& controller, const std::string& type,
                                              std::uint32_t identifier) override;
  void backupControllerDidEndPhaseWithType(BackupController& controller, const std::string& type,
                                           std::uint32_t identifier) override;
  void backupControllerDidUpdatePhaseWithType(BackupController& controller, const std::string& type,
                                              std::uint32_t identifier, std::uint32_t currentValue,
                                              std::uint32_t maxValue, double timestamp) override;
  void backupControllerDidSuspend(BackupController& controller) override;
  void backupControllerDidResume(BackupController& controller) override;
  void backupControllerShouldRetryAfterNetworkError(BackupController& controller) override;

 private:
  struct Slot;
  Slot* slotOf(const BackupController& controller);
  Slot* slotOf(const std::string& uuid);
  const Slot* slotOf(const std::string& uuid) const;
  void setNeedsQueueCheck();
  void checkQueue();
  // "maximumUploadSpeed" and "maximumDownloadSpeed" (KB/s) to every transfer.
  void applySpeedLimits();
  // canBackupNow with the host's reachability and the locks of other
  // processes; the reason for a wait goes into the slot.
  BackupQueue::Readiness readiness(Slot& slot);
  std::optional<std::string> lockForCommand(Slot& slot, int command);
  std::optional<std::string> startCommand(Slot& slot, int command, const Dictionary& given);
  // The slot's backup replaced by a fresh reading of its settings.
  void replaceBackup(Slot& slot, const std::shared_ptr<Backup>& backup);
  Dictionary argumentsForCommand(Backup& backup, int command, const Dictionary& given);
  // The backup's exclusions, and its destination when that lies inside the
  // source.
  PredicatePtr exclusionPredicateForScan(Slot& slot);
  void didFinishCommand(Slot& slot);
  void retryBackup(Slot& slot);
  void appendLog(Slot& slot, const std::string& line);
  void changed(const Slot& slot);
  void disableSleep();
  void enableSleep();

  Options options_;
  AppControllerObserver* observer_ = nullptr;
  std::vector<std::unique_ptr<Slot>> slots_;
  BackupQueue backupQueue_;
  bool queueCheckPending_ = false;
  std::shared_ptr<OperationQueue> operationQueue_;
  unsigned sleepDisabled_ = 0;
  bool terminating_ = false;
  unsigned waitingForTermination_ = 0;
  std::function<void()> terminationDone_;
  // Work posted to the run loop checks that the controller still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorvel
