// PreferencesDialog: the user defaults a user may change - launch at login,
// the window at launch and on closing, what a network error does, the speed
// limits, hidden items in reports, restore options and the update check at
// launch (their meaning: AppController::registerDefaults and
// AppController.h).
//
// The dialog reads the defaults when built. OK writes them and saves the
// file, writes or removes the login item (LoginItem.h) and asks the
// scheduler service to read the defaults again (Reload), so that a running
// service applies the speed limits and the retry rule from its next use on.
// A login item that cannot be written is reported in a warning, and
// "launchAtLogin" then tells what is really installed. A service that does
// not run reads the defaults when it starts.
//
// Object names: the boxes "launchAtLogin", "showWindowOnLaunch",
// "quitOnWindowClose", "reportHiddenItems", "eraseRestoreTarget",
// "skipRestoredFilesVerification", "checkForUpdateOnLaunch"; the choice
// "retryAfterNetworkError" (never, ask, automatically) with the number
// "maximumNetworkRetries"; the numbers "maximumUploadSpeed" and
// "maximumDownloadSpeed" (KB/s, 0 = unlimited); the warning "loginItemWarning".
//
// Threads: the interface thread. The defaults and the front end (either may
// be null: no reload) are not owned and must outlive the dialog.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QSpinBox;

namespace quorvel {

class FrontEnd;
class UserDefaults;

class PreferencesDialog : public QDialog {
  Q_OBJECT

 public:
  // The retry choice's entries, in order.
  enum Retry { RetryNever, RetryAsk, RetryAutomatically };

  // guiProgram: the executable the login item starts; empty: quorvel-gui
  // next to this application's executable.
  PreferencesDialog(UserDefaults& defaults, FrontEnd* frontEnd, QWidget* parent = nullptr,
                    const QString& guiProgram = QString());

  void accept() override;

 signals:
  // The service's answer to Reload: empty when it read the defaults again.
  void serviceReloaded(const QString& error);

 private:
  void read();
  void write();
  void applyLoginItem();

  UserDefaults& defaults_;
  FrontEnd* frontEnd_;
  QString guiProgram_;
  QCheckBox* launchAtLogin_;
  QCheckBox* showWindowOnLaunch_;
  QCheckBox* quitOnWindowClose_;
  QComboBox* retry_;
  QSpinBox* maximumRetries_;
  QSpinBox* uploadSpeed_;
  QSpinBox* downloadSpeed_;
  QCheckBox* reportHiddenItems_;
  QCheckBox* eraseRestoreTarget_;
  QCheckBox* skipVerification_;
  QCheckBox* checkForUpdates_;
};

}  // namespace quorvel
