#include "app/gui/MainWindow.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QThreadPool>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/CommandProgress.h"
#include "app/gui/PreferencesDialog.h"
#include "app/gui/RestoreBrowser.h"
#include "engine/BackupController.h"
#include "foundation/UserDefaults.h"
#include "model/Backup.h"

namespace quorvel {

namespace {

enum Column { kName, kStatus, kLastResult, kNextRun, kProgress };
constexpr int kUuidRole = Qt::UserRole + 1;

QIcon Dot(const QColor& color) {
  QPixmap pixmap(14, 14);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(color);
  painter.setPen(color.darker(130));
  painter.drawEllipse(1, 1, 12, 12);
  return QIcon(pixmap);
}

QString DateText(qint64 unixSeconds) {
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(unixSeconds), QLocale::ShortFormat);
}

QString StateText(const ListedBackup& backup) {
  if (backup.state == "running") return MainWindow::tr("running %1").arg(backup.command);
  if (backup.state == "suspended") return MainWindow::tr("suspended");
  if (backup.state == "retrying") {
    return backup.retryIn ? MainWindow::tr("retrying in %1 s").arg(qRound(*backup.retryIn))
                          : MainWindow::tr("waiting for an answer");
  }
  if (backup.state == "waiting") return MainWindow::tr("waiting: %1").arg(backup.waitingReason);
  if (backup.state == "queued") return MainWindow::tr("queued");
  return MainWindow::tr("idle");
}

QString LastResultText(const ListedBackup& backup) {
  if (backup.lastResult.isEmpty()) return MainWindow::tr("never run");
  QString text = backup.lastResult;
  if (backup.lastErrorCount > 0) text += MainWindow::tr(", %n error(s)", nullptr, int(backup.lastErrorCount));
  if (backup.lastDate) text += " (" + backup.lastCommand + ", " + DateText(*backup.lastDate) + ")";
  return text;
}

QString Optional(const std::optional<std::uint64_t>& count, const std::optional<std::uint64_t>& size) {
  if (!count) return {};
  return QString::fromStdString(CountAndSizeText(*count, size.value_or(0)));
}

}  // namespace

MainWindow::MainWindow(FrontEnd& frontEnd, QWidget* parent)
    : QMainWindow(parent), frontEnd_(frontEnd), reader_(new QThreadPool(this)) {
  setWindowTitle(tr("Quorvel Varid"));
  reader_->setMaxThreadCount(1);

  QMenu* application = menuBar()->addMenu(tr("&Quorvel Varid"));
  application->setObjectName("applicationMenu");
  QAction* preferences = application->addAction(tr("Preferences..."));
  preferences->setObjectName("preferences");
  preferences->setMenuRole(QAction::PreferencesRole);
  connect(preferences, &QAction::triggered, this, [this] {
    auto* dialog = new PreferencesDialog(UserDefaults::standard(), &frontEnd_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
  });

  QToolBar* toolbar = addToolBar(tr("Actions"));
  toolbar->setObjectName("toolbar");
  toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  auto action = [&](const char* name, const QString& text, const QString& tip) {
    QAction* created = toolbar->addAction(text);
    created->setObjectName(name);
    created->setToolTip(tip);
    return created;
  };
  backUpNow_ = action("backUpNow", tr("Back Up Now"), tr("Back up the selected backup now"));
  test_ = action("test", tr("Test"), tr("Show what a backup would change, without changing anything"));
  restore_ = action("restore", tr("Restore..."), tr("Restore all or some of the backed-up files"));
  toolbar->addSeparator();
  suspend_ = action("suspend", tr("Suspend"), tr("Pause the running command"));
  resume_ = action("resume", tr("Resume"), tr("Continue the paused command"));
  abort_ = action("abort", tr("Abort"), tr("Stop the running command"));
  retry_ = action("retryNow", tr("Retry Now"), tr("Try the destination again now, after a network error"));
  toolbar->addSeparator();
  exclusionTest_ = action("exclusionTest", tr("Exclusion Test"), tr("Scan the source and show what is left out"));

  QMenu* backupMenu = menuBar()->addMenu(tr("&Backup"));
  QAction* newBackup = backupMenu->addAction(tr("&New Backup..."));
  newBackup->setObjectName("newBackup");
  newBackup->setShortcut(QKeySequence::New);
  connect(newBackup, &QAction::triggered, this, [this] { emit assistantRequested(1); });
  QAction* assistant = backupMenu->addAction(tr("&Assistant..."));
  assistant->setObjectName("assistant");
  assistant->setToolTip(tr("Copy, re-create, move, verify, prune, reset or delete a backup"));
  connect(assistant, &QAction::triggered, this, [this] { emit assistantRequested(0); });
  backupMenu->addSeparator();
  backupMenu->addAction(backUpNow_);
  backupMenu->addAction(test_);
  backupMenu->addAction(restore_);
  backupMenu->addAction(exclusionTest_);

  connect(backUpNow_, &QAction::triggered, this, [this] { runOnSelected("backup"); });
  connect(test_, &QAction::triggered, this, [this] { runOnSelected("test"); });
  connect(exclusionTest_, &QAction::triggered, this, [this] { runOnSelected("check-source"); });
  connect(restore_, &QAction::triggered, this, &MainWindow::openRestoreBrowser);
  connect(suspend_, &QAction::triggered, this, [this] { frontEnd_.act("Suspend", selectedBackup()); });
  connect(resume_, &QAction::triggered, this, [this] { frontEnd_.act("Resume", selectedBackup()); });
  connect(abort_, &QAction::triggered, this, &MainWindow::abortSelected);
  connect(retry_, &QAction::triggered, this, [this] { frontEnd_.act("Retry", selectedBackup()); });

  list_ = new QTreeWidget;
  list_->setObjectName("backupList");
  list_->setHeaderLabels({tr("Backup"), tr("Status"), tr("Last result"), tr("Next run"), tr("Progress")});
  list_->setRootIsDecorated(true);
  list_->setUniformRowHeights(true);
  list_->header()->setSectionResizeMode(kName, QHeaderView::ResizeToContents);
  list_->header()->setSectionResizeMode(kLastResult, QHeaderView::Stretch);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, &MainWindow::selectionChanged);

  settings_ = new QTreeWidget;
  settings_->setObjectName("settingsView");
  settings_->setHeaderLabels({tr("Setting"), tr("Value")});
  settings_->setRootIsDecorated(false);
  settings_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

  history_ = new QTableWidget(0, 8);
  history_->setObjectName("historyTable");
  history_->setHorizontalHeaderLabels({tr("Date"), tr("Command"), tr("Result"), tr("Errors"), tr("Duration"),
                                       tr("Copied"), tr("Source"), tr("Stored")});
  history_->setSelectionBehavior(QAbstractItemView::SelectRows);
  history_->setSelectionMode(QAbstractItemView::SingleSelection);
  history_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  history_->verticalHeader()->hide();
  history_->horizontalHeader()->setStretchLastSection(true);
  connect(history_, &QTableWidget::itemSelectionChanged, this, &MainWindow::showReport);

  report_ = new QPlainTextEdit;
  report_->setObjectName("reportView");
  report_->setReadOnly(true);
  report_->setLineWrapMode(QPlainTextEdit::NoWrap);
  report_->setPlaceholderText(tr("Select a history entry to see its report."));

  auto* historyArea = new QSplitter(Qt::Vertical);
  historyArea->addWidget(history_);
  historyArea->addWidget(report_);

  auto* tabs = tabs_ = new QTabWidget;
  tabs->setObjectName("detailTabs");
  tabs->addTab(historyArea, tr("History"));
  tabs->addTab(settings_, tr("Settings"));

  progressLine_ = new QLabel;
  progressLine_->setObjectName("progressLine");
  progressLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* detail = new QWidget;
  auto* detailLayout = new QVBoxLayout(detail);
  detailLayout->setContentsMargins(0, 0, 0, 0);
  detailLayout->addWidget(progressLine_);
  detailLayout->addWidget(tabs);

  auto* split = new QSplitter(Qt::Vertical);
  split->addWidget(list_);
  split->addWidget(detail);
  split->setStretchFactor(0, 2);
  split->setStretchFactor(1, 3);
  setCentralWidget(split);

  serviceLine_ = new QLabel;
  serviceLine_->setObjectName("serviceLine");
  statusBar()->addWidget(serviceLine_, 1);
  resize(900, 640);

  connect(&frontEnd_, &FrontEnd::backupsChanged, this, &MainWindow::backupsChanged);
  connect(&frontEnd_, &FrontEnd::progressChanged, this, &MainWindow::progressChanged);
  connect(&frontEnd_, &FrontEnd::storedChanged, this, &MainWindow::showDetails);
  connect(&frontEnd_, &FrontEnd::serviceChanged, this,
          [this] { serviceLine_->setText(frontEnd_.serviceText()); });
  connect(&frontEnd_, &FrontEnd::commandFinished, this, &MainWindow::commandFinished);
  connect(&frontEnd_, &FrontEnd::actionFailed, this, [this](const QString& text) {
    statusBar()->showMessage(text, 15000);
  });
  // What the engine says while the selected backup's command runs.
  connect(&frontEnd_, &FrontEnd::messagePosted, this, [this](const QString& uuid, const QString& text) {
    if (uuid == selectedBackup()) statusBar()->showMessage(text, 10000);
  });
  serviceLine_->setText(frontEnd_.serviceText());
  backupsChanged();
}

MainWindow::~MainWindow() { reader_->waitForDone(); }

RestoreBrowser* MainWindow::restoreBrowser() const { return restoreBrowser_.data(); }

void MainWindow::showTab(int tab) { tabs_->setCurrentIndex(tab); }

QString MainWindow::selectedBackup() const {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? QString() : selected.front()->data(kName, kUuidRole).toString();
}

void MainWindow::selectBackup(const QString& uuid) {
  auto row = rows_.find(uuid);
  if (row != rows_.end()) list_->setCurrentItem(row->second);
}

void MainWindow::backupsChanged() {
  QStringList shape;
  for (const ListedBackup& backup : frontEnd_.backups()) shape << backup.group + "\n" + backup.uuid;
  if (shape != shape_) {
    shape_ = shape;
    rebuildList();
  } else {
    for (const ListedBackup& backup : frontEnd_.backups()) updateRow(rows_[backup.uuid], backup);
  }
  updateActions();
  updateProgressLine();
}

void MainWindow::rebuildList() {
  const QString selected = selectedBackup();
  QSignalBlocker blocker(list_);
  list_->clear();
  rows_.clear();
  // Groups sorted by their key (the name in upper case); backups in the
  // service's order within each.
  std::map<QString, QTreeWidgetItem*> groups;
  std::map<QString, QList<const ListedBackup*>> members;
  for (const ListedBackup& backup : frontEnd_.backups()) members[backup.group.toUpper()].push_back(&backup);
  for (const auto& [key, backups] : members) {
    auto* group = new QTreeWidgetItem(list_, {backups.front()->group});
    group->setFlags(Qt::ItemIsEnabled);
    QFont font = group->font(kName);
    font.setBold(true);
    group->setFont(kName, font);
    group->setFirstColumnSpanned(true);
    for (const ListedBackup* backup : backups) {
      auto* row = new QTreeWidgetItem(group);
      row->setData(kName, kUuidRole, backup->uuid);
      rows_[backup->uuid] = row;
      updateRow(row, *backup);
    }
    group->setExpanded(true);
  }
  QTreeWidgetItem* current = nullptr;
  if (auto found = rows_.find(selected); found != rows_.end()) current = found->second;
  else if (!rows_.empty() && list_->topLevelItemCount() > 0) current = list_->topLevelItem(0)->child(0);
  if (current) list_->setCurrentItem(current);
  blocker.unblock();
  selectionChanged();
}

void MainWindow::updateRow(QTreeWidgetItem* row, const ListedBackup& backup) {
  if (!row) return;
  row->setText(kName, backup.name);
  row->setToolTip(kName, backup.source + "  \u2192  " + backup.destination);
  row->setIcon(kStatus, Dot(FrontEnd::statusColor(backup)));
  row->setText(kStatus, StateText(backup));
  row->setText(kLastResult, LastResultText(backup));
  row->setText(kNextRun, backup.nextRun ? DateText(*backup.nextRun) : tr("not scheduled"));
  auto* bar = qobject_cast<QProgressBar*>(list_->itemWidget(row, kProgress));
  if (!backup.isRunning()) {
    if (bar) list_->removeItemWidget(row, kProgress);
    return;
  }
  if (!bar) {
    bar = new QProgressBar;
    bar->setObjectName("progress:" + backup.uuid);
    bar->setMaximumHeight(list_->fontMetrics().height() + 4);
    bar->setTextVisible(true);
    list_->setItemWidget(row, kProgress, bar);
  }
  if (backup.planned() > 0) {
    bar->setRange(0, int(std::min<quint32>(backup.planned(), INT_MAX)));
    bar->setValue(int(std::min(backup.done(), backup.planned())));
  } else {
    bar->setRange(0, 0);  // busy until the main phase has a size
  }
}

void MainWindow::progressChanged(const QString& uuid) {
  if (const ListedBackup* backup = frontEnd_.backup(uuid)) updateRow(rows_[uuid], *backup);
  if (uuid == selectedBackup()) updateProgressLine();
}

void MainWindow::selectionChanged() {
  updateActions();
  updateProgressLine();
  showDetails();
}

void MainWindow::updateActions() {
  const ListedBackup* backup = frontEnd_.backup(selectedBackup());
  const bool connected = frontEnd_.isConnected();
  const bool idle = backup && connected && !backup->isRunning();
  backUpNow_->setEnabled(idle);
  test_->setEnabled(idle);
  exclusionTest_->setEnabled(idle);
  const StoredBackup* stored = backup ? frontEnd_.stored(backup->uuid) : nullptr;
  restore_->setEnabled(idle && stored && stored->files);
  const bool running = backup && connected && backup->isRunning();
  suspend_->setEnabled(running && backup->state != "suspended");
  resume_->setEnabled(running && backup->state == "suspended");
  abort_->setEnabled(running);
  retry_->setEnabled(running && backup->state == "retrying");
}

void MainWindow::updateProgressLine() {
  const ListedBackup* backup = frontEnd_.backup(selectedBackup());
  if (!backup || !backup->isRunning()) {
    progressLine_->clear();
    progressLine_->hide();
    return;
  }
  QStringList parts;
  parts << (backup->progress.isEmpty() ? StateText(*backup) : backup->progress);
  if (backup->planned() > 0) parts << tr("step %1 of %2").arg(backup->done()).arg(backup->planned());
  if (backup->speed) parts << tr("%1/s").arg(QString::fromStdString(StringFromSize(*backup->speed)));
  if (backup->secondsLeft) {
    parts << tr("%1 left").arg(QString::fromStdString(CommandProgress::ApproximateDuration(*backup->secondsLeft)));
  }
  progressLine_->setText(parts.join(QStringLiteral(" \u2014 ")));
  progressLine_->show();
}

void MainWindow::showDetails() {
  const QString uuid = selectedBackup();
  const StoredBackup* stored = uuid.isEmpty() ? nullptr : frontEnd_.stored(uuid);
  settings_->clear();
  if (const ListedBackup* backup = frontEnd_.backup(uuid)) {
    new QTreeWidgetItem(settings_, {tr("Name"), backup->name});
    new QTreeWidgetItem(settings_, {tr("Group"), backup->group});
  }
  if (stored) {
    for (const auto& [name, value] : stored->settings) {
      new QTreeWidgetItem(settings_, {QString::fromStdString(name), QString::fromStdString(value)});
    }
  }
  updateActions();

  // Keep the selected history row across a reload when it is still there.
  int keep = -1;
  if (!history_->selectedItems().isEmpty()) keep = history_->selectedItems().front()->row();
  const bool sameBackup = history_->property("backup").toString() == uuid;
  const int oldCount = history_->rowCount();
  {
    const QSignalBlocker blocker(history_);
    history_->setProperty("backup", uuid);
    history_->setRowCount(0);
    if (stored) {
      history_->setRowCount(int(stored->history.size()));
      int row = 0;
      for (const HistoryEntry& entry : stored->history) {
        const QString cells[] = {
            DateText(qint64(entry.date.timeIntervalSince1970())),
            QString::fromStdString(entry.command),
            QString::fromStdString(entry.result),
            QString::number(entry.errorCount),
            entry.duration ? QString::fromStdString(DurationText(*entry.duration)) : QString(),
            Optional(entry.copiedFiles, entry.copiedSize),
            Optional(entry.sourceFiles, entry.sourceSize),
            Optional(entry.destinationFiles, entry.destinationSize),
        };
        for (int column = 0; column < 8; ++column) {
          auto* cell = new QTableWidgetItem(cells[column]);
          if (column == 0) cell->setData(Qt::UserRole, QString::fromStdString(entry.fileName));
          history_->setItem(row, column, cell);
        }
        ++row;
      }
    }
    // A new entry arrives at the top: the kept row moved down by as many.
    if (sameBackup && keep >= 0) keep += history_->rowCount() - oldCount;
    if (keep >= 0 && keep < history_->rowCount() && sameBackup) history_->selectRow(keep);
  }
  history_->resizeColumnsToContents();
  showReport();
}

void MainWindow::showReport() {
  const QString uuid = selectedBackup();
  const StoredBackup* stored = uuid.isEmpty() ? nullptr : frontEnd_.stored(uuid);
  const QList<QTableWidgetItem*> selected = history_->selectedItems();
  if (!stored || selected.isEmpty()) {
    shownReport_.clear();
    report_->clear();
    return;
  }
  const QString fileName = history_->item(selected.front()->row(), 0)->data(Qt::UserRole).toString();
  const QString key = uuid + "/" + fileName;
  if (key == shownReport_) return;
  shownReport_ = key;
  if (fileName.isEmpty()) {
    report_->setPlainText(tr("This command left no report."));
    return;
  }
  report_->setPlainText(tr("Reading the report..."));
  const int request = ++reportRequests_;
  const std::string folder = stored->folder;
  reader_->start([this, request, folder, fileName] {
    std::optional<std::string> text = ReadReportText(folder, fileName.toStdString());
    QMetaObject::invokeMethod(
        this,
        [this, request, text] {
          if (request != reportRequests_) return;
          report_->setPlainText(text ? QString::fromStdString(*text) : tr("The report cannot be read."));
        },
        Qt::QueuedConnection);
  });
}

void MainWindow::runOnSelected(const QString& command) {
  const QString uuid = selectedBackup();
  if (uuid.isEmpty()) return;
  frontEnd_.run(uuid, command);
}

void MainWindow::abortSelected() {
  const QString uuid = selectedBackup();
  const ListedBackup* backup = frontEnd_.backup(uuid);
  if (!backup || !backup->isRunning()) return;
  QMessageBox box(QMessageBox::Warning, tr("Abort \"%1\"?").arg(backup->name),
                  tr("The command \"%1\" stops and what it has not finished is not recorded as done. "
                     "Files already stored stay at the destination.")
                      .arg(backup->command),
                  QMessageBox::NoButton, this);
  box.setObjectName("abortConfirmation");
  QPushButton* keep = box.addButton(tr("Continue"), QMessageBox::RejectRole);
  QPushButton* stop = box.addButton(tr("Abort"), QMessageBox::DestructiveRole);
  keep->setObjectName("continueButton");
  stop->setObjectName("abortButton");
  box.setDefaultButton(keep);
  box.exec();
  if (box.clickedButton() == stop) frontEnd_.act("Cancel", uuid);
}

void MainWindow::openRestoreBrowser() {
  const QString uuid = selectedBackup();
  const ListedBackup* backup = frontEnd_.backup(uuid);
  const StoredBackup* stored = frontEnd_.stored(uuid);
  if (!backup || !stored || !stored->files) return;
  if (restoreBrowser_) restoreBrowser_->close();
  UserDefaults& defaults = UserDefaults::standard();
  restoreBrowser_ = new RestoreBrowser(backup->name, stored->files, defaults.boolForKey("eraseRestoreTarget"),
                                       defaults.boolForKey("skipRestoredFilesVerification"), this);
  restoreBrowser_->setAttribute(Qt::WA_DeleteOnClose);
  connect(restoreBrowser_, &RestoreBrowser::restoreRequested, this,
          [this, uuid](const QStringList& paths, const QString& destination, bool erase, bool skipVerification) {
            Dictionary arguments;
            if (!paths.isEmpty()) {
              Array chosen;
              for (const QString& path : paths) chosen.emplace_back(path.toStdString());
              arguments.set("restorePaths", std::move(chosen));
            }
            arguments.set("destinationPath", destination.toStdString());
            arguments.set("eraseDestination", erase);
            arguments.set("skipVerification", skipVerification);
            frontEnd_.run(uuid, "restore", arguments);
          });
  restoreBrowser_->show();
}

void MainWindow::commandFinished(const QString& uuid, int command, bool cancelled, const Dictionary& results,
                                 const QStringList& errorMessages) {
  const ListedBackup* backup = frontEnd_.backup(uuid);
  const QString name = backup ? backup->name : uuid;
  if (command == BackupCommandCheckSource && !cancelled && !results.empty()) {
    showExclusions(uuid, results);
    return;
  }
  QString text = cancelled ? tr("\"%1\": the command was cancelled").arg(name)
                           : tr("\"%1\": %2 finished").arg(name, QString::fromStdString(
                                                                     BackupController::nameForCommand(command).value_or("")));
  if (!errorMessages.isEmpty()) text += tr(" with %n error(s)", nullptr, int(errorMessages.size()));
  statusBar()->showMessage(text, 15000);
  // A failure or errors: show the backup's history with the new entry.
  if (!errorMessages.isEmpty() || (results.find("success") && !results.get("success").asBool())) {
    selectBackup(uuid);
  }
}

void MainWindow::showExclusions(const QString& uuid, const Dictionary& results) {
  const ListedBackup* backup = frontEnd_.backup(uuid);
  const QString source = backup ? backup->source : QString();
  QStringList excluded;
  if (const Value* paths = results.find("excludedPaths"); paths && paths->isArray()) {
    for (const Value& path : paths->asArray()) {
      if (path.isString()) excluded << QDir::cleanPath(source + "/" + QString::fromStdString(path.asString()));
    }
  }
  const QString summary =
      tr("%1 files and %2 folders, %3, would be backed up.")
          .arg(results.get("sourceFiles").asUInt())
          .arg(results.get("sourceDirectories").asUInt())
          .arg(QString::fromStdString(StringFromSize(results.get("sourceSize").asUInt())));
  auto* box = new QMessageBox(QMessageBox::Information, tr("Exclusion test of \"%1\"").arg(backup ? backup->name : uuid),
                              summary, QMessageBox::Close, this);
  box->setObjectName("exclusionSummary");
  box->setInformativeText(excluded.isEmpty() ? tr("Nothing is left out.")
                                             : tr("%n item(s) left out (see the details).", nullptr, int(excluded.size())));
  if (!excluded.isEmpty()) box->setDetailedText(excluded.join('\n'));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

}  // namespace quorvel
