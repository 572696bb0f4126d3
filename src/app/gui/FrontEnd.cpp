#include "app/gui/FrontEnd.h"

#include <QMetaObject>

#include "engine/PhaseProgress.h"

namespace quorvel {

namespace {

QString Text(const Dictionary& entry, const char* key) {
  const Value& value = entry.get(key);
  return value.isString() ? QString::fromStdString(value.asString()) : QString();
}

ListedBackup FromEntry(const Dictionary& entry) {
  ListedBackup backup;
  backup.uuid = Text(entry, "uuid");
  backup.name = Text(entry, "name");
  backup.group = Text(entry, "group");
  backup.source = Text(entry, "source");
  backup.destination = Text(entry, "destination");
  backup.state = Text(entry, "state");
  backup.command = Text(entry, "command");
  backup.waitingReason = Text(entry, "waitingReason");
  backup.progress = Text(entry, "progress");
  if (const Value* next = entry.find("nextRun")) backup.nextRun = next->asInt();
  if (const Value* speed = entry.find("speed")) backup.speed = speed->asUInt();
  if (const Value* left = entry.find("secondsLeft")) backup.secondsLeft = left->asDouble();
  if (const Value* retry = entry.find("retryIn")) backup.retryIn = retry->asDouble();
  backup.stepsDone = static_cast<quint32>(entry.get("stepsDone").asUInt());
  backup.stepsPlanned = static_cast<quint32>(entry.get("stepsPlanned").asUInt());
  backup.lastCommand = Text(entry, "lastCommand");
  backup.lastResult = Text(entry, "lastResult");
  if (const Value* date = entry.find("lastDate")) backup.lastDate = date->asInt();
  backup.lastErrorCount = entry.get("lastErrorCount").asUInt();
  return backup;
}

}  // namespace

FrontEnd::FrontEnd(const std::string& serviceProgram, QObject* parent) : QObject(parent) {
  workers_.setMaxThreadCount(1);
  pollTimer_.setInterval(1000);
  connect(&pollTimer_, &QTimer::timeout, this, [this] { connection_->refresh(); });
  SchedulerConnection::Options options;
  options.serviceProgram = serviceProgram;
  options.post = [this](std::function<void()> function) {
    QMetaObject::invokeMethod(this, std::move(function), Qt::QueuedConnection);
  };
  serviceText_ = tr("Connecting to the scheduler service...");
  connection_ = std::make_unique<SchedulerConnection>(std::move(options), *this);
  readStored();
}

FrontEnd::~FrontEnd() {
  connection_.reset();
  workers_.waitForDone();
}

const ListedBackup* FrontEnd::backup(const QString& uuid) const {
  for (const ListedBackup& backup : backups_) {
    if (backup.uuid == uuid) return &backup;
  }
  return nullptr;
}

ListedBackup* FrontEnd::find(const QString& uuid) { return const_cast<ListedBackup*>(backup(uuid)); }

const StoredBackup* FrontEnd::stored(const QString& uuid) const {
  auto found = stored_.find(uuid.toStdString());
  return found == stored_.end() ? nullptr : &found->second;
}

bool FrontEnd::isRunningCommands() const {
  for (const ListedBackup& backup : backups_) {
    if (backup.isRunning()) return true;
  }
  return false;
}

FrontEnd::Overall FrontEnd::overall() const {
  bool running = false, failed = false;
  for (const ListedBackup& backup : backups_) {
    if (backup.state == "suspended") return Overall::Suspended;
    running = running || backup.isRunning();
    failed = failed || backup.lastResult == "failure";
  }
  if (running) return Overall::Running;
  return failed ? Overall::Error : Overall::Idle;
}

QColor FrontEnd::statusColor(const ListedBackup& backup) {
  if (backup.state == "suspended" || backup.state == "retrying") return QColor(0xd8, 0xb4, 0x1c);
  if (backup.isRunning()) return QColor(0x2f, 0x6f, 0xd6);
  if (backup.lastResult.isEmpty()) return QColor(0x9a, 0x9a, 0x9a);
  if (backup.lastResult == "success") {
    return backup.lastErrorCount > 0 ? QColor(0xe8, 0x8a, 0x1a) : QColor(0x2e, 0xa0, 0x43);
  }
  return QColor(0xd0, 0x2f, 0x2f);
}

void FrontEnd::run(const QString& uuid, const QString& command, const Dictionary& arguments) {
  const ListedBackup* listed = backup(uuid);
  const QString name = listed ? listed->name : uuid;
  connection_->run(uuid.toStdString(), command.toStdString(), arguments, [this, name, command](const std::string& error) {
    if (!error.empty()) emit actionFailed(tr("\"%1\" could not start %2: %3").arg(name, command, QString::fromStdString(error)));
  });
}

void FrontEnd::act(const QString& method, const QString& uuid, std::function<void(const QString& error)> done) {
  const ListedBackup* listed = backup(uuid);
  const QString name = listed ? listed->name : uuid;
  connection_->call(method.toStdString(), uuid.toStdString(), [this, name, method, done](const std::string& error) {
    if (!error.empty()) emit actionFailed(tr("%1 \"%2\": %3").arg(method, name, QString::fromStdString(error)));
    if (done) done(QString::fromStdString(error));
  });
}

void FrontEnd::refresh() {
  connection_->refresh();
  readStored();
}

void FrontEnd::reloadService(std::function<void(const QString& error)> done) {
  connection_->reload([done](const std::string& error) {
    if (done) done(QString::fromStdString(error));
  });
}

void FrontEnd::reload() {
  reloadService([this](const QString& error) {
    // Without a service there is nothing to tell: one that starts reads the folder anyway.
    if (!error.isEmpty() && isConnected()) {
      emit actionFailed(tr("The scheduler service did not take the changed settings: %1").arg(error));
    }
    connection_->refresh();
  });
  readStored();
}

void FrontEnd::readStored() {
  if (reading_) {
    readAgain_ = true;
    return;
  }
  reading_ = true;
  readAgain_ = false;
  workers_.start([this] {
    auto stored = std::make_shared<std::map<std::string, StoredBackup>>(ReadStoredBackups());
    QMetaObject::invokeMethod(
        this,
        [this, stored]() mutable {
          stored_.swap(*stored);
          // The old reading may hold large file trees: they are freed on
          // the worker, not here.
          workers_.start([old = std::move(stored)] {});
          reading_ = false;
          emit storedChanged();
          if (readAgain_) readStored();
        },
        Qt::QueuedConnection);
  });
}

void FrontEnd::serviceDidAppear(pid_t pid) {
  serviceText_ = tr("Scheduler service running (process %1)").arg(pid);
  emit serviceChanged();
}

void FrontEnd::serviceDidVanish(const std::string& why) {
  serviceText_ = QString::fromStdString(why);
  // What ran in the old service is over; its figures would only mislead.
  for (ListedBackup& backup : backups_) {
    backup.command.clear();
    backup.state = "idle";
    backup.phaseDone = backup.phaseMax = 0;
  }
  pollTimer_.stop();
  emit serviceChanged();
  emit backupsChanged();
}

void FrontEnd::backupsDidChange(const std::vector<Dictionary>& entries) {
  QList<ListedBackup> listed;
  bool membersChanged = entries.size() != static_cast<std::size_t>(backups_.size());
  for (const Dictionary& entry : entries) {
    ListedBackup backup = FromEntry(entry);
    if (const ListedBackup* old = this->backup(backup.uuid)) {
      if (backup.isRunning() && old->isRunning()) {
        backup.phaseDone = old->phaseDone;
        backup.phaseMax = old->phaseMax;
      }
      if (old->lastDate != backup.lastDate) membersChanged = true;
    } else {
      membersChanged = true;
    }
    listed.push_back(std::move(backup));
  }
  backups_ = std::move(listed);
  if (isRunningCommands()) {
    if (!pollTimer_.isActive()) pollTimer_.start();
  } else {
    pollTimer_.stop();
  }
  emit backupsChanged();
  // A backup added, removed or with a new history entry: read its settings.
  if (membersChanged) readStored();
}

void FrontEnd::backupDidPostMessage(const std::string& uuid, const std::string& text) {
  emit messagePosted(QString::fromStdString(uuid), QString::fromStdString(text));
}

void FrontEnd::backupPhase(const std::string& uuid, const std::string& event, const std::string& type,
                           std::uint32_t identifier, std::uint32_t current, std::uint32_t max) {
  if (type != kPhaseMain) return;
  ListedBackup* backup = find(QString::fromStdString(uuid));
  if (!backup) return;
  if (event == "begin") {
    backup->phaseDone = backup->phaseMax = 0;
  } else if (event == "update" && max > 0) {
    backup->phaseDone = current;
    backup->phaseMax = max;
  }
  emit progressChanged(backup->uuid);
}

void FrontEnd::backupWillRetry(const std::string& uuid, double seconds, unsigned attempt, unsigned maximum) {
  emit backupRetrying(QString::fromStdString(uuid), seconds, attempt, maximum);
}

void FrontEnd::backupDidFinishCommand(const std::string& uuid, int command, bool cancelled,
                                      const std::optional<Dictionary>& results,
                                      const std::vector<std::string>& errorMessages) {
  const QString id = QString::fromStdString(uuid);
  if (ListedBackup* backup = find(id)) backup->phaseDone = backup->phaseMax = 0;
  QStringList errors;
  for (const std::string& message : errorMessages) errors << QString::fromStdString(message);
  readStored();
  emit commandFinished(id, command, cancelled, results.value_or(Dictionary()), errors);
}

}  // namespace quorvel
