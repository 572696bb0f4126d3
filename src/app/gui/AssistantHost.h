// AssistantHost: what the setup assistant acts on in the desktop
// application. The scheduler service owns the running backups; the
// assistant works on backups read from the settings folder, and everything
// it changes is written back there and announced to the service, which
// reads the folder again (FrontEnd::reload). Commands the assistant starts
// (verify, prune, delete at the destination) run in the service like any
// other.
//
// Backups are read from the settings folder when the assistant asks for
// them and kept until the assistant's window closes, so that the objects it
// holds stay the ones later calls talk about. Every change is saved at once
// (saveToDiskIfNecessary), before the service is told.
//
// Threads: the interface thread only. The window and the front end (not
// owned) must outlive the host.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/assistant/AssistantController.h"
#include "foundation/OperationQueue.h"

namespace quorvel {

class AssistantWindow;
class FrontEnd;
class MainWindow;

class AssistantHost : public QObject, public AssistantApplication {
  Q_OBJECT

 public:
  AssistantHost(FrontEnd& frontEnd, MainWindow& window, QObject* parent = nullptr);
  ~AssistantHost() override;

  // Wires the assistant's window into the application: the main window's
  // menu opens it (at the selected backup), closing it forgets what was
  // read, and the service's first list, when it holds no backup, opens it
  // at a new backup. The window must outlive the host's connections (it is
  // destroyed after the host, or disconnects by being destroyed first).
  void attach(AssistantWindow& assistant);

  // Drops the backups read so far (the assistant's window closed); the next
  // question reads the settings folder again.
  void forget();

  std::vector<std::shared_ptr<Backup>> allBackups() const override;
  std::shared_ptr<Backup> selectedBackup() const override;
  std::string groupNameForBackup(const Backup& backup) const override;
  OperationQueue& operationQueue() override { return queue_; }
  void addBackup(const std::shared_ptr<Backup>& backup) override;
  void removeBackup(const std::shared_ptr<Backup>& backup) override;
  void deleteBackup(const std::shared_ptr<Backup>& backup) override;
  void performCommand(int command, const std::shared_ptr<Backup>& backup, const Dictionary& arguments) override;
  void selectBackup(const std::shared_ptr<Backup>& backup) override;
  void selectTab(int tab) override;
  void showMainWindow() override;
  void requestQueueCheck() override;

 signals:
  // A backup could not be written to or removed from the settings folder.
  void storeFailed(const QString& text);

 private:
  // Writes a changed backup and tells the service; false (announced) when
  // the settings could not be written.
  bool save(const std::shared_ptr<Backup>& backup);

  FrontEnd& frontEnd_;
  MainWindow& window_;
  OperationQueue queue_;
  mutable std::optional<std::vector<std::shared_ptr<Backup>>> backups_;
  QString selectAfterReload_;
};

}  // namespace quorvel
