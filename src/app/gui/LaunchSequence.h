// LaunchSequence: what the desktop application asks and does as it opens.
//
//  1. When the user default "checkForUpdateOnLaunch" has never been set, the
//     alert CHECK asks whether to check for updates at launch; the answer is
//     stored, so the question comes once.
//  2. When "checkForUpdateOnLaunch" is set, CheckForNewVersion runs on a
//     worker thread with the update URL of the default "UpdateURL"; when it
//     answers a download URL, the alert UPDATE offers it, and its default
//     button opens it with QDesktopServices.
//  3. Once the service has listed a backup with a schedule (a next run), the
//     alert LOGIN offers the login item - unless "launchAtLogin" or
//     "suppressAlert_LaunchAtLogin" is set. Its default button installs the
//     login item (LoginItem.h) and sets "launchAtLogin"; its "do not ask
//     again" box sets "suppressAlert_LaunchAtLogin". Asked at most once per
//     launch.
//
// Alerts are modal (Alert.h; "checkAlert", "updateAlert", "loginAlert") and
// shown from the event loop, never inside a FrontEnd signal.
//
// Threads: the interface thread; the update check alone runs on the worker,
// which the destructor waits for (the HTTP client's time-out bounds it).
// The front end and the defaults are not owned and must outlive this.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QWidget>

namespace quorvel {

class FrontEnd;
class UserDefaults;

class LaunchSequence : public QObject {
  Q_OBJECT

 public:
  // window: the alerts' parent (may be null). guiProgram: what the login
  // item starts; empty: quorvel-gui next to this executable.
  LaunchSequence(FrontEnd& frontEnd, UserDefaults& defaults, QWidget* window = nullptr,
                 const QString& guiProgram = QString());
  ~LaunchSequence() override;

  // Steps 1 and 2 now, step 3 when the backups are listed.
  void start();

 signals:
  // The update check is over: the download URL offered, empty when none.
  void updateCheckFinished(const QString& downloadURL);
  // The login item was offered (whatever the answer).
  void launchAtLoginOffered();

 private:
  void askToCheckForUpdates();
  void startUpdateCheck();
  void offerUpdate(const QString& downloadURL);
  bool wantsToOfferLaunchAtLogin() const;
  void offerLaunchAtLogin();

  FrontEnd& frontEnd_;
  UserDefaults& defaults_;
  QPointer<QWidget> window_;
  QString guiProgram_;
  bool loginOffered_ = false;
  QThreadPool worker_;
};

}  // namespace quorvel
