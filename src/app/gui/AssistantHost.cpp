#include "app/gui/AssistantHost.h"

#include "app/AppController.h"
#include "app/cli/DestinationCommand.h"
#include "app/gui/AssistantWindow.h"
#include "app/gui/FrontEnd.h"
#include "app/gui/MainWindow.h"
#include "engine/BackupController.h"
#include "model/Backup.h"

namespace quorvel {

AssistantHost::AssistantHost(FrontEnd& frontEnd, MainWindow& window, QObject* parent)
    : QObject(parent), frontEnd_(frontEnd), window_(window) {
  queue_.setMaxConcurrentOperationCount(2);
  // A backup the assistant added is selected once the service lists it.
  connect(&frontEnd_, &FrontEnd::backupsChanged, this, [this] {
    if (!selectAfterReload_.isEmpty() && frontEnd_.backup(selectAfterReload_)) {
      window_.selectBackup(selectAfterReload_);
      selectAfterReload_.clear();
    }
  });
}

AssistantHost::~AssistantHost() {
  queue_.cancelAllOperations();
  queue_.waitUntilAllOperationsAreDone();
}

void AssistantHost::attach(AssistantWindow& assistant) {
  connect(&assistant, &AssistantWindow::closed, this, &AssistantHost::forget);
  connect(&window_, &MainWindow::assistantRequested, &assistant, [this, &assistant](int option) {
    forget();
    assistant.controller().showAtOption(option, option == kAssistantOptionNewBackup ? nullptr : selectedBackup());
  });
  auto firstList = std::make_shared<QMetaObject::Connection>();
  *firstList = connect(&frontEnd_, &FrontEnd::backupsChanged, &assistant, [this, &assistant, firstList] {
    if (!frontEnd_.isConnected()) return;
    disconnect(*firstList);
    if (frontEnd_.backups().isEmpty() && !assistant.isVisible()) {
      assistant.controller().showAtOption(kAssistantOptionNewBackup, nullptr);
    }
  });
}

void AssistantHost::forget() { backups_.reset(); }

std::vector<std::shared_ptr<Backup>> AssistantHost::allBackups() const {
  if (!backups_) backups_ = Backup::loadAllBackupsFromDisk().value_or(std::vector<std::shared_ptr<Backup>>{});
  return *backups_;
}

std::shared_ptr<Backup> AssistantHost::selectedBackup() const {
  const std::string uuid = window_.selectedBackup().toStdString();
  if (uuid.empty()) return nullptr;
  for (const std::shared_ptr<Backup>& backup : allBackups()) {
    if (backup->uuid() == uuid) return backup;
  }
  return nullptr;
}

std::string AssistantHost::groupNameForBackup(const Backup& backup) const {
  return AppController::CategoryFromBackup(backup);
}

bool AssistantHost::save(const std::shared_ptr<Backup>& backup) {
  if (!backup->saveToDiskIfNecessary()) {
    emit storeFailed(tr("The settings of \"%1\" could not be saved.").arg(QString::fromStdString(backup->name())));
    return false;
  }
  frontEnd_.reload();
  return true;
}

void AssistantHost::addBackup(const std::shared_ptr<Backup>& backup) {
  allBackups();
  auto& known = *backups_;
  if (std::find(known.begin(), known.end(), backup) == known.end()) known.push_back(backup);
  save(backup);
}

void AssistantHost::removeBackup(const std::shared_ptr<Backup>& backup) {
  // The settings stay in the folder: the assistant adds the backup again
  // (a moved destination) or deletes it, and either writes the folder.
  if (backups_) std::erase(*backups_, backup);
}

void AssistantHost::deleteBackup(const std::shared_ptr<Backup>& backup) {
  removeBackup(backup);
  if (!backup->deleteFromDisk()) {
    emit storeFailed(tr("The settings of \"%1\" could not be deleted.").arg(QString::fromStdString(backup->name())));
  }
  frontEnd_.reload();
}

void AssistantHost::performCommand(int command, const std::shared_ptr<Backup>& backup, const Dictionary& arguments) {
  if (!save(backup)) return;
  frontEnd_.run(QString::fromStdString(backup->uuid()), QString::fromStdString(CommandWord(command)), arguments);
}

void AssistantHost::selectBackup(const std::shared_ptr<Backup>& backup) {
  // The assistant has changed it (source, password, history) before it
  // selects it: that goes to the folder and the service first.
  save(backup);
  const QString uuid = QString::fromStdString(backup->uuid());
  if (frontEnd_.backup(uuid)) {
    window_.selectBackup(uuid);
  } else {
    selectAfterReload_ = uuid;
  }
}

void AssistantHost::selectTab(int tab) { window_.showTab(tab == kApplicationHistoryTab ? MainWindow::kHistoryTab : 0); }

void AssistantHost::showMainWindow() {
  window_.show();
  window_.raise();
  window_.activateWindow();
}

void AssistantHost::requestQueueCheck() {
  // The service looks at its queue whenever it reads the settings again.
}

}  // namespace quorvel
