// FrontEnd: the desktop application's picture of the scheduler service - the
// backups as the service lists them, the live progress of running commands,
// and what the settings folder holds of each (settings, history, file tree)
// - and the way to act on them. The window and the tray item show it and
// call it; neither talks to the bus.
//
// The service is reached through SchedulerConnection (started when none
// runs, followed across restarts); its events arrive on the interface
// thread as Qt signals of this object. The settings folder is read on a
// worker thread after every finished command and when backups appear or go.
//
// Threads: the interface thread only.
#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/daemon/SchedulerConnection.h"
#include "app/gui/StoredBackups.h"

namespace quorvel {

// One backup as the service lists it, with the main phase's progress from
// the service's signals (fresher than the list).
struct ListedBackup {
  QString uuid, name, group, source, destination;
  QString state;    // idle, queued, waiting, running, suspended, retrying
  QString command;  // the running command's name, empty when none
  QString waitingReason, progress;
  std::optional<qint64> nextRun;  // Unix seconds
  std::optional<quint64> speed;   // bytes per second
  std::optional<double> secondsLeft, retryIn;
  quint32 stepsDone = 0, stepsPlanned = 0;
  QString lastCommand, lastResult;  // lastResult: success, failure, cancelled; empty: no history
  std::optional<qint64> lastDate;
  quint64 lastErrorCount = 0;

  bool isRunning() const { return !command.isEmpty(); }
  // Steps of the running command's main phase: the newer of the list's
  // figures and the last Phase signal's.
  quint32 done() const { return phaseMax ? phaseDone : stepsDone; }
  quint32 planned() const { return phaseMax ? phaseMax : stepsPlanned; }
  quint32 phaseDone = 0, phaseMax = 0;
};

class FrontEnd : public QObject, public SchedulerConnection::Listener {
  Q_OBJECT

 public:
  enum class Overall { Idle, Running, Suspended, Error };

  // serviceProgram: the quorvel executable that starts the service; empty:
  // wait for one to be started otherwise.
  explicit FrontEnd(const std::string& serviceProgram, QObject* parent = nullptr);
  ~FrontEnd() override;

  bool isConnected() const { return connection_->isConnected(); }
  // What the status bar says about the service.
  const QString& serviceText() const { return serviceText_; }

  // Backups group by group, in the service's order.
  const QList<ListedBackup>& backups() const { return backups_; }
  const ListedBackup* backup(const QString& uuid) const;
  // What the settings folder holds of a backup; null until read.
  const StoredBackup* stored(const QString& uuid) const;
  bool isRunningCommands() const;
  Overall overall() const;

  // The colour of a backup's status: yellow while its command is suspended
  // or waits to retry, blue while it runs, else by its last result - grey
  // none, green success, orange success with errors, red failure or
  // cancelled.
  static QColor statusColor(const ListedBackup& backup);

  // Runs a command word ("backup", "test", "restore", "check-source" ...).
  void run(const QString& uuid, const QString& command, const Dictionary& arguments = {});
  // Queue, Cancel, Suspend, Resume, Retry; `done` (optional) gets the
  // answer, empty on success.
  void act(const QString& method, const QString& uuid, std::function<void(const QString& error)> done = {});
  // Lists the backups again and reads the settings folder again.
  void refresh();
  // After this application changed the settings folder (the setup
  // assistant): the service reads it again, then the list follows.
  void reload();
  // Has the service read the preferences and the settings folder again
  // (after they were changed here); `done` (optional) gets the answer,
  // empty on success.
  void reloadService(std::function<void(const QString& error)> done = {});

 signals:
  void serviceChanged();
  void backupsChanged();
  void progressChanged(const QString& uuid);
  void storedChanged();
  void messagePosted(const QString& uuid, const QString& text);
  // results: empty when the command never started.
  void commandFinished(const QString& uuid, int command, bool cancelled, const quorvel::Dictionary& results,
                       const QStringList& errorMessages);
  // A refused or failed action, worded for the user.
  void actionFailed(const QString& text);
  // A network error: the command retries in `seconds` (retry `attempt` of
  // `maximum`), or waits for Retry or Cancel (seconds < 0).
  void backupRetrying(const QString& uuid, double seconds, unsigned attempt, unsigned maximum);

 private:
  // SchedulerConnection::Listener (public so that the connection can call
  // it; not for other callers).
 public:
  void serviceDidAppear(pid_t pid) override;
  void serviceDidVanish(const std::string& why) override;
  void backupsDidChange(const std::vector<Dictionary>& backups) override;
  void backupDidPostMessage(const std::string& uuid, const std::string& text) override;
  void backupPhase(const std::string& uuid, const std::string& event, const std::string& type,
                   std::uint32_t identifier, std::uint32_t current, std::uint32_t max) override;
  void backupWillRetry(const std::string& uuid, double seconds, unsigned attempt, unsigned maximum) override;
  void backupDidFinishCommand(const std::string& uuid, int command, bool cancelled,
                              const std::optional<Dictionary>& results,
                              const std::vector<std::string>& errorMessages) override;

 private:
  ListedBackup* find(const QString& uuid);
  void readStored();

  QList<ListedBackup> backups_;
  std::map<std::string, StoredBackup> stored_;
  QString serviceText_;
  // While commands run, the list is asked for every second (speed, time left).
  QTimer pollTimer_;
  bool reading_ = false;
  bool readAgain_ = false;
  // Reads the settings folder; waited for by the destructor.
  QThreadPool workers_;
  std::unique_ptr<SchedulerConnection> connection_;
};

}  // namespace quorvel
