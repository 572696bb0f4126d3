// MainWindow: the backups in their groups (name, status colour, last
// result, next run, a progress bar while a command runs), the selected
// backup's settings, history and the selected entry's report, and the
// toolbar's actions on it. Everything shown comes from the FrontEnd (not
// owned; it must outlive the window).
//
// Widgets that tests and the tray reach carry object names: the list
// "backupList", the tables "settingsView" and "historyTable", the report
// "reportView", the progress line "progressLine", the menu action
// "preferences" (opens PreferencesDialog), and the toolbar actions
// "backUpNow", "test", "restore", "suspend", "resume", "abort", "retryNow"
// (after a network error), "exclusionTest", and the menu's "newBackup" and
// "assistant" (which ask the application to open the setup assistant).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <map>

#include "app/gui/FrontEnd.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QTabWidget;
class QTableWidget;
class QThreadPool;
class QTreeWidget;
class QTreeWidgetItem;

namespace quorvel {

class RestoreBrowser;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(FrontEnd& frontEnd, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The UUID of the selected backup, empty when a group or nothing is.
  QString selectedBackup() const;
  void selectBackup(const QString& uuid);
  // The restore browser opened last, while it is open.
  RestoreBrowser* restoreBrowser() const;
  // The detail area's tabs.
  static constexpr int kHistoryTab = 0;
  static constexpr int kSettingsTab = 1;
  void showTab(int tab);

  // Asks whether the selected backup's command should be aborted, and
  // aborts it on confirmation.
  void abortSelected();

 signals:
  // The user asked for the setup assistant at this option (1: a new
  // backup; 0: its start pane).
  void assistantRequested(int option);

 private:
  void backupsChanged();
  void progressChanged(const QString& uuid);
  void rebuildList();
  void updateRow(QTreeWidgetItem* item, const ListedBackup& backup);
  void selectionChanged();
  void showDetails();
  void showReport();
  void updateActions();
  void updateProgressLine();
  void runOnSelected(const QString& command);
  void openRestoreBrowser();
  void commandFinished(const QString& uuid, int command, bool cancelled, const Dictionary& results,
                       const QStringList& errorMessages);
  void showExclusions(const QString& uuid, const Dictionary& results);

  FrontEnd& frontEnd_;
  QTreeWidget* list_;
  QTreeWidget* settings_;
  QTableWidget* history_;
  QTabWidget* tabs_;
  QPlainTextEdit* report_;
  QLabel* progressLine_;
  QLabel* serviceLine_;
  QAction* backUpNow_;
  QAction* test_;
  QAction* restore_;
  QAction* suspend_;
  QAction* resume_;
  QAction* abort_;
  QAction* retry_;
  QAction* exclusionTest_;
  // The list's shape (group and UUID of every row, in order) when it was
  // built: rows are updated in place while it stays the same.
  QStringList shape_;
  std::map<QString, QTreeWidgetItem*> rows_;
  // The report shown: backup and history row.
  QString shownReport_;
  int reportRequests_ = 0;
  // Reads reports; waited for by the destructor.
  QThreadPool* reader_;
  QPointer<RestoreBrowser> restoreBrowser_;
};

}  // namespace quorvel
