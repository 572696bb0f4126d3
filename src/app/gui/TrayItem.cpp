#include "app/gui/TrayItem.h"

#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>

#include "app/gui/Alert.h"
#include "foundation/UserDefaults.h"

namespace quorvel {

namespace {

QIcon StateIcon(FrontEnd::Overall state) {
  QColor color;
  switch (state) {
    case FrontEnd::Overall::Idle: color = QColor(0x6b, 0x7b, 0x8c); break;
    case FrontEnd::Overall::Running: color = QColor(0x2f, 0x6f, 0xd6); break;
    case FrontEnd::Overall::Suspended: color = QColor(0xe8, 0x8a, 0x1a); break;
    case FrontEnd::Overall::Error: color = QColor(0xd0, 0x2f, 0x2f); break;
  }
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(color.darker(140), 2));
  painter.setBrush(color);
  painter.drawRoundedRect(3, 3, 26, 26, 6, 6);
  // A white arrow into a tray: backing up.
  painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawLine(16, 8, 16, 19);
  painter.drawLine(11, 14, 16, 19);
  painter.drawLine(21, 14, 16, 19);
  painter.drawLine(9, 23, 23, 23);
  return QIcon(pixmap);
}

}  // namespace

TrayItem::TrayItem(FrontEnd& frontEnd, QObject* parent) : QObject(parent), frontEnd_(frontEnd) {
  menu_ = new QMenu;
  menu_->setObjectName("trayMenu");
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    icon_ = new QSystemTrayIcon(this);
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit openWindowRequested();
    });
  }
  connect(&frontEnd_, &FrontEnd::backupsChanged, this, &TrayItem::update);
  connect(&frontEnd_, &FrontEnd::progressChanged, this, &TrayItem::update);
  connect(&frontEnd_, &FrontEnd::serviceChanged, this, &TrayItem::update);
  rebuildMenu();
  update();
  if (icon_) icon_->show();
}

TrayItem::~TrayItem() { delete menu_; }

bool TrayItem::isShown() const { return icon_ && icon_->isVisible(); }

void TrayItem::rebuildMenu() {
  menu_->clear();
  QAction* open = menu_->addAction(tr("Open Quorvel Varid"));
  open->setObjectName("openWindow");
  connect(open, &QAction::triggered, this, &TrayItem::openWindowRequested);
  menu_->addSeparator();
  for (const ListedBackup& backup : frontEnd_.backups()) {
    if (backup.isRunning()) {
      QAction* running = menu_->addAction(tr("In progress: %1").arg(backup.name));
      running->setObjectName("inProgress:" + backup.uuid);
      running->setEnabled(false);
      continue;
    }
    QAction* now = menu_->addAction(tr("Back Up \"%1\"").arg(backup.name));
    now->setObjectName("backUpNow:" + backup.uuid);
    now->setEnabled(frontEnd_.isConnected());
    const QString uuid = backup.uuid;
    connect(now, &QAction::triggered, this, [this, uuid] { frontEnd_.run(uuid, "backup"); });
  }
  if (!frontEnd_.backups().isEmpty()) menu_->addSeparator();
  QAction* quit = menu_->addAction(tr("Quit"));
  quit->setObjectName("quit");
  connect(quit, &QAction::triggered, this, &TrayItem::quit);
}

void TrayItem::update() {
  // The menu changes only when a backup comes, goes, is renamed, or starts
  // or ends a command.
  QStringList shape{frontEnd_.isConnected() ? "connected" : "not connected"};
  for (const ListedBackup& backup : frontEnd_.backups()) {
    shape << backup.uuid + backup.name + (backup.isRunning() ? "*" : "");
  }
  if (shape != menuShape_) {
    menuShape_ = shape;
    rebuildMenu();
  }
  state_ = frontEnd_.overall();
  QStringList tip{tr("Quorvel Varid")};
  for (const ListedBackup& backup : frontEnd_.backups()) {
    if (!backup.isRunning()) continue;
    QString line = backup.name + ": " + (backup.progress.isEmpty() ? backup.command : backup.progress);
    if (backup.planned() > 0) line += QString(" (%1%)").arg(100 * quint64(backup.done()) / backup.planned());
    tip << line;
  }
  if (!frontEnd_.isConnected()) tip << frontEnd_.serviceText();
  if (icon_) {
    icon_->setIcon(StateIcon(state_));
    icon_->setToolTip(tip.join('\n'));
  }
}

void TrayItem::quit() {
  if (!frontEnd_.isRunningCommands()) {
    if (confirmQuit()) emit quitRequested();
    return;
  }
  Alert running("RUNNING", QMessageBox::Question);
  const Alert::Choice choice = running.ask();
  if (choice == Alert::Alternate) return;
  if (choice == Alert::Default) {
    emit quitRequested();
    return;
  }
  // Quit once the service has taken every cancellation (it then finishes
  // them on its own: clean-up, report, history).
  auto waiting = std::make_shared<int>(0);
  for (const ListedBackup& backup : frontEnd_.backups()) {
    if (!backup.isRunning()) continue;
    ++*waiting;
    frontEnd_.act("Cancel", backup.uuid, [this, waiting](const QString&) {
      if (--*waiting == 0) emit quitRequested();
    });
  }
}

bool TrayItem::confirmQuit() {
  UserDefaults& defaults = UserDefaults::standard();
  if (defaults.boolForKey("suppressAlert_Quit")) return true;
  Alert question("QUIT", QMessageBox::Question);
  if (question.ask() != Alert::Default) return false;
  if (question.suppressed()) {
    defaults.setBool(true, "suppressAlert_Quit");
    defaults.synchronize();
  }
  return true;
}

}  // namespace quorvel
