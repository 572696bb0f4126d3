#include "app/gui/LaunchSequence.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>
#include <QUrl>

#include "app/LoginItem.h"
#include "app/UpdateCheck.h"
#include "app/gui/Alert.h"
#include "app/gui/FrontEnd.h"
#include "foundation/UserDefaults.h"

namespace quorvel {

LaunchSequence::LaunchSequence(FrontEnd& frontEnd, UserDefaults& defaults, QWidget* window, const QString& guiProgram)
    : frontEnd_(frontEnd),
      defaults_(defaults),
      window_(window),
      guiProgram_(guiProgram.isEmpty() ? QApplication::applicationDirPath() + "/quorvel-gui" : guiProgram) {
  worker_.setMaxThreadCount(1);
}

LaunchSequence::~LaunchSequence() { worker_.waitForDone(); }

void LaunchSequence::start() {
  askToCheckForUpdates();
  if (defaults_.boolForKey(kCheckForUpdateOnLaunchDefaultsKey)) startUpdateCheck();
  connect(&frontEnd_, &FrontEnd::backupsChanged, this, [this] {
    if (!loginOffered_ && wantsToOfferLaunchAtLogin()) {
      loginOffered_ = true;
      QTimer::singleShot(0, this, &LaunchSequence::offerLaunchAtLogin);
    }
  });
}

void LaunchSequence::askToCheckForUpdates() {
  if (defaults_.hasUserValueForKey(kCheckForUpdateOnLaunchDefaultsKey)) return;
  Alert question("CHECK", QMessageBox::Question, window_);
  defaults_.setBool(question.ask() == Alert::Default, kCheckForUpdateOnLaunchDefaultsKey);
  defaults_.synchronize();
}

void LaunchSequence::startUpdateCheck() {
  // Read here: the worker touches nothing but its own copies.
  const std::string updateURL = defaults_.stringForKey(kUpdateURLDefaultsKey);
  QPointer<LaunchSequence> self(this);
  worker_.start([self, updateURL] {
    std::optional<Url> found;
    if (!updateURL.empty()) found = CheckForNewVersion(updateURL, CurrentSystemInfo());
    const QString offered = found ? QString::fromStdString(found->absoluteString()) : QString();
    QMetaObject::invokeMethod(
        self.data(),
        [self, offered] {
          if (!self) return;
          if (!offered.isEmpty()) self->offerUpdate(offered);
          emit self->updateCheckFinished(offered);
        },
        Qt::QueuedConnection);
  });
}

void LaunchSequence::offerUpdate(const QString& downloadURL) {
  Alert offer("UPDATE", QMessageBox::Information, window_, {downloadURL});
  if (offer.ask() == Alert::Default) QDesktopServices::openUrl(QUrl(downloadURL));
}

bool LaunchSequence::wantsToOfferLaunchAtLogin() const {
  if (defaults_.boolForKey("launchAtLogin") || defaults_.boolForKey("suppressAlert_LaunchAtLogin")) return false;
  for (const ListedBackup& backup : frontEnd_.backups()) {
    if (backup.nextRun) return true;
  }
  return false;
}

void LaunchSequence::offerLaunchAtLogin() {
  Alert offer("LOGIN", QMessageBox::Question, window_);
  const bool accepted = offer.ask() == Alert::Default;
  if (offer.suppressed()) defaults_.setBool(true, "suppressAlert_LaunchAtLogin");
  if (accepted) {
    const std::string error = SetLaunchAtLogin(true, guiProgram_.toStdString());
    defaults_.setBool(error.empty(), "launchAtLogin");
    if (!error.empty()) {
      QMessageBox::warning(window_, tr("Quorvel Varid"),
                           tr("The login item could not be written: %1").arg(QString::fromStdString(error)));
    }
  }
  defaults_.synchronize();
  emit launchAtLoginOffered();
}

}  // namespace quorvel
