// The two sides the assistant talks to, for tests: a window that records
// what it was asked to show and answers alerts with a chosen button, and an
// application that holds real backups, records what the assistant asked of
// it and - when a test wants it - runs the commands it is asked to run on a
// real operation queue, processing their results into the backup as the
// application does.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/assistant/AssistantController.h"
#include "engine/BackupCommandOperation.h"
#include "engine/BackupController.h"
#include "engine/EngineTestSupport.h"
#include "foundation/Format.h"
#include "foundation/Keychain.h"
#include "foundation/OperationQueue.h"
#include "model/Backup.h"
#include "support/TestSupport.h"

namespace quorvel::test {

// A text that is still its table key ("CONTENT_BUSY_TITLE"): the string
// table lacks it.
inline bool LooksLikeAKey(const std::string& text) {
  return text.find('_') != std::string::npos && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos;
}

// Every text shown must come from the string table.
class RecordingInterface : public AssistantInterface {
 public:
  void showWindow() override { visible = true; }
  void closeWindow() override {
    visible = false;
    ++closes;
  }
  void showPane(const std::string& pane, const std::string& title) override {
    panes.push_back(pane);
    titles.push_back(title);
    EXPECT_FALSE(LooksLikeAKey(title)) << "no title for the pane " << pane;
  }
  void beep() override { ++beeps; }
  void showAlert(const AssistantAlert& alert, std::function<void(int, bool)> answer) override {
    alerts.push_back(alert);
    for (const std::string& text : {alert.title, alert.message, alert.defaultButton, alert.alternateButton}) {
      EXPECT_FALSE(LooksLikeAKey(text)) << "not in the string table: " << text;
    }
    answer(button, false);
  }

  // Titles of the alerts shown so far, joined by "|".
  std::string alertTitles() const {
    std::string text;
    for (const AssistantAlert& alert : alerts) text += (text.empty() ? "" : "|") + alert.title;
    return text;
  }

  bool visible = false;
  int closes = 0;
  int beeps = 0;
  int button = kAlertDefaultButton;
  std::vector<std::string> panes;
  std::vector<std::string> titles;
  std::vector<AssistantAlert> alerts;
};

class TestApplication : public AssistantApplication, public BackupControllerDelegate {
 public:
  ~TestApplication() override {
    queue_.waitUntilAllOperationsAreDone();
    for (const auto& backup : backups) backup->setDelegate(nullptr);
  }

  std::vector<std::shared_ptr<Backup>> allBackups() const override { return backups; }
  std::shared_ptr<Backup> selectedBackup() const override { return selected; }
  std::string groupNameForBackup(const Backup& backup) const override {
    std::shared_ptr<const Url> url = backup.destinationURLWithoutPassword();
    return url && url->scheme() != "file" ? url->host() : "Local";
  }
  OperationQueue& operationQueue() override { return queue_; }
  void addBackup(const std::shared_ptr<Backup>& backup) override {
    events.push_back("add " + backup->name());
    for (const auto& held : backups) {
      if (held->uuid() == backup->uuid()) return;
    }
    backups.push_back(backup);
  }
  void removeBackup(const std::shared_ptr<Backup>& backup) override {
    events.push_back("remove " + backup->name());
    std::erase(backups, backup);
  }
  void deleteBackup(const std::shared_ptr<Backup>& backup) override {
    events.push_back("delete " + backup->name());
    backup->deleteFromDisk();
    std::erase(backups, backup);
  }
  void performCommand(int command, const std::shared_ptr<Backup>& backup, const Dictionary& arguments) override {
    std::string text = "command " + std::to_string(command);
    for (const auto& [key, value] : arguments) text += " " + key + "=" + FormatObjectDescription(value);
    events.push_back(text);
    if (!runsCommands) return;
    // As the application does: a backup stores its settings with its
    // snapshot, from which it can be re-created.
    Dictionary all = arguments;
    if (command == BackupCommandPerformBackup) all.set(kScannerUserInfoArgument, backup->scannerUserInfo());
    backup->setDelegate(this);
    backup->scheduleCommand(command, all, queue_);
  }
  void selectBackup(const std::shared_ptr<Backup>& backup) override {
    selected = backup;
    events.push_back("select " + backup->name());
  }
  void selectTab(int tab) override { events.push_back("tab " + std::to_string(tab)); }
  void showMainWindow() override { events.push_back("main window"); }
  void requestQueueCheck() override { ++queueChecks; }

  // Runs a command on a backup to its end; its results (nothing when it did
  // not start).
  std::optional<Dictionary> run(int command, const std::shared_ptr<Backup>& backup,
                                const Dictionary& arguments = Dictionary()) {
    const bool runs = runsCommands;
    runsCommands = true;
    finished = false;
    lastResults.reset();
    performCommand(command, backup, arguments);
    runsCommands = runs;
    EXPECT_TRUE(RunMainLoopUntil([&] { return finished; }, 120)) << "command " << command;
    return lastResults;
  }

  void backupControllerWillStartCommand(BackupController&, int) override {}
  void backupControllerDidStartCommand(BackupController&, int) override {}
  void backupControllerDidNotStartCommand(BackupController&, int) override { finished = true; }
  void backupControllerDidFinishCommand(BackupController& controller, int command, const Dictionary* results,
                                        const Dictionary&) override {
    if (results) {
      lastResults = *results;
      if (command >= BackupCommandPruneDestination) {
        dynamic_cast<Backup&>(controller).processResults(*results, command, controller.isCancelled());
      }
    }
    finished = true;
  }

  std::vector<std::shared_ptr<Backup>> backups;
  std::shared_ptr<Backup> selected;
  std::vector<std::string> events;
  int queueChecks = 0;
  bool runsCommands = false;
  bool finished = false;
  std::optional<Dictionary> lastResults;

 private:
  OperationQueue queue_;
};

// A settings folder, a credential store and a home folder of the test's
// own; sources and destinations live inside the home folder.
class AssistantEnvironment {
 public:
  AssistantEnvironment() {
    setenv("QUORVEL_HOME", (root / "Settings").c_str(), 1);
    setenv("QUORVEL_KEYCHAIN", "file", 1);
    previousHome_ = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", root.path().c_str(), 1);
    keychain_ = std::make_unique<Keychain>(CreateFileKeychainStore(root / "Store/Keychain"));
    Backup::setKeychain(keychain_.get());
  }
  ~AssistantEnvironment() {
    Backup::setKeychain(nullptr);
    unsetenv("QUORVEL_HOME");
    setenv("HOME", previousHome_.c_str(), 1);
  }

  TempDir root;

 private:
  std::string previousHome_;
  std::unique_ptr<Keychain> keychain_;
};

// Continues from the current pane and waits for a background validation
// to end; the pane then shown.
inline std::string Continue(AssistantController& assistant) {
  assistant.nextPane();
  EXPECT_TRUE(RunMainLoopUntil([&] { return !assistant.validationString(); }, 120));
  return assistant.currentPane();
}

}  // namespace quorvel::test
