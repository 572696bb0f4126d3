// TrayItem: the application in the desktop's tray - its icon tells idle,
// running, suspended or error (the last command of a backup failed), its
// tool tip the running commands' progress, and its menu offers "Back Up
// <name>" for every backup, the window, and quitting. The menu exists even
// where the desktop has no tray (the icon is then not shown), so that it
// can be reached and tested the same way.
//
// Quitting asks first. While commands run, the alert RUNNING: the scheduler
// service can keep running them after the application has gone (default),
// or they can be stopped ("other"); otherwise the alert QUIT, whose "do not
// ask again" box sets the user default "suppressAlert_Quit".
//
// Object names: the menu "trayMenu", its actions "openWindow", "quit" and
// "backUpNow:<UUID>"; the alerts "runningAlert" and "quitAlert" (see Alert.h).
#pragma once

#include <QObject>

#include "app/gui/FrontEnd.h"

class QMenu;
class QSystemTrayIcon;

namespace quorvel {

class TrayItem : public QObject {
  Q_OBJECT

 public:
  explicit TrayItem(FrontEnd& frontEnd, QObject* parent = nullptr);
  ~TrayItem() override;

  QMenu* menu() const { return menu_; }
  // Whether the icon is shown (the desktop offers a tray).
  bool isShown() const;
  FrontEnd::Overall shownState() const { return state_; }

  // Asks (see above); emits quitRequested unless the user cancels.
  void quit();
  // The icon, null where the desktop has no tray.
  QSystemTrayIcon* icon() const { return icon_; }

 signals:
  void openWindowRequested();
  void quitRequested();

 private:
  void update();
  void rebuildMenu();
  // The QUIT question unless suppressed; whether to quit.
  bool confirmQuit();

  FrontEnd& frontEnd_;
  QMenu* menu_;
  QSystemTrayIcon* icon_ = nullptr;
  FrontEnd::Overall state_ = FrontEnd::Overall::Idle;
  QStringList menuShape_;
};

}  // namespace quorvel
