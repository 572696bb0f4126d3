// TrayItem: the application in the desktop's tray - its icon tells idle,
// running, suspended or error (the last command of a backup failed), its
// tool tip the running commands' progress, and its menu offers "Back Up
// <name>" for every backup, the window, and quitting. The menu exists even
// where the desktop has no tray (the icon is then not shown), so that it
// can be reached and tested the same way.
//
// Quitting while commands run asks first: the scheduler service can keep
// running them after the application has gone, or they can be stopped.
//
// Object names: the menu "trayMenu", its actions "openWindow", "quit" and
// "backUpNow:<UUID>"; the quit question "quitQuestion" with the buttons
// "keepRunningButton", "stopAndQuitButton" and "cancelButton".
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

  // Asks when commands run; emits quitRequested unless the user cancels.
  void quit();

 signals:
  void openWindowRequested();
  void quitRequested();

 private:
  void update();
  void rebuildMenu();

  FrontEnd& frontEnd_;
  QMenu* menu_;
  QSystemTrayIcon* icon_ = nullptr;
  FrontEnd::Overall state_ = FrontEnd::Overall::Idle;
  QStringList menuShape_;
};

}  // namespace quorvel
