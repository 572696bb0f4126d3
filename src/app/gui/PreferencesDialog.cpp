#include "app/gui/PreferencesDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/LoginItem.h"
#include "app/UpdateCheck.h"
#include "app/gui/FrontEnd.h"
#include "foundation/UserDefaults.h"

namespace quorvel {

namespace {

QCheckBox* Box(const char* name, const QString& text) {
  auto* box = new QCheckBox(text);
  box->setObjectName(name);
  return box;
}

QSpinBox* Speed(const char* name) {
  auto* speed = new QSpinBox;
  speed->setObjectName(name);
  speed->setRange(0, 10 * 1024 * 1024);
  speed->setSingleStep(100);
  speed->setSuffix(QObject::tr(" KB/s"));
  speed->setSpecialValueText(QObject::tr("Unlimited"));
  return speed;
}

QGroupBox* Group(const QString& title, QLayout* layout) {
  auto* group = new QGroupBox(title);
  group->setLayout(layout);
  return group;
}

}  // namespace

PreferencesDialog::PreferencesDialog(UserDefaults& defaults, FrontEnd* frontEnd, QWidget* parent,
                                     const QString& guiProgram)
    : QDialog(parent),
      defaults_(defaults),
      frontEnd_(frontEnd),
      guiProgram_(guiProgram.isEmpty() ? QApplication::applicationDirPath() + "/quorvel-gui" : guiProgram) {
  setObjectName("preferencesDialog");
  setWindowTitle(tr("Preferences"));

  launchAtLogin_ = Box("launchAtLogin", tr("Open Quorvel Varid when I log in (in the tray)"));
  showWindowOnLaunch_ = Box("showWindowOnLaunch", tr("Show the window when the application opens"));
  quitOnWindowClose_ = Box("quitOnWindowClose", tr("Quit the application when its window is closed"));
  checkForUpdates_ = Box(kCheckForUpdateOnLaunchDefaultsKey, tr("Check for a new version when the application opens"));
  auto* application = new QVBoxLayout;
  for (QWidget* box : {static_cast<QWidget*>(launchAtLogin_), static_cast<QWidget*>(showWindowOnLaunch_),
                       static_cast<QWidget*>(quitOnWindowClose_), static_cast<QWidget*>(checkForUpdates_)}) {
    application->addWidget(box);
  }

  retry_ = new QComboBox;
  retry_->setObjectName("retryAfterNetworkError");
  retry_->addItems({tr("Never: the command fails"), tr("Ask me"), tr("Automatically")});
  maximumRetries_ = new QSpinBox;
  maximumRetries_->setObjectName("maximumNetworkRetries");
  maximumRetries_->setRange(1, 1000);
  maximumRetries_->setSuffix(tr(" times in a row"));
  connect(retry_, &QComboBox::currentIndexChanged, this,
          [this](int index) { maximumRetries_->setEnabled(index == RetryAutomatically); });
  uploadSpeed_ = Speed("maximumUploadSpeed");
  downloadSpeed_ = Speed("maximumDownloadSpeed");
  auto* network = new QFormLayout;
  network->addRow(tr("After a network error, retry:"), retry_);
  network->addRow(tr("At most:"), maximumRetries_);
  network->addRow(tr("Upload speed limit:"), uploadSpeed_);
  network->addRow(tr("Download speed limit:"), downloadSpeed_);

  reportHiddenItems_ = Box("reportHiddenItems", tr("Report hidden items that are skipped"));
  eraseRestoreTarget_ = Box("eraseRestoreTarget", tr("Erase the restore target before restoring"));
  skipVerification_ = Box("skipRestoredFilesVerification", tr("Skip verifying restored files"));
  auto* backups = new QVBoxLayout;
  for (QWidget* box : {static_cast<QWidget*>(reportHiddenItems_), static_cast<QWidget*>(eraseRestoreTarget_),
                       static_cast<QWidget*>(skipVerification_)}) {
    backups->addWidget(box);
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("okButton");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancelButton");
  connect(buttons, &QDialogButtonBox::accepted, this, &PreferencesDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &PreferencesDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Group(tr("Application"), application));
  layout->addWidget(Group(tr("Network"), network));
  layout->addWidget(Group(tr("Backups and restores"), backups));
  layout->addWidget(buttons);
  read();
}

void PreferencesDialog::read() {
  launchAtLogin_->setChecked(defaults_.boolForKey("launchAtLogin"));
  showWindowOnLaunch_->setChecked(defaults_.boolForKey("showWindowOnLaunch"));
  quitOnWindowClose_->setChecked(defaults_.boolForKey("quitOnWindowClose"));
  checkForUpdates_->setChecked(defaults_.boolForKey(kCheckForUpdateOnLaunchDefaultsKey));
  const std::int64_t retry = defaults_.integerForKey("retryAfterNetworkError");
  retry_->setCurrentIndex(retry < 0 ? RetryNever : retry == 0 ? RetryAsk : RetryAutomatically);
  maximumRetries_->setValue(static_cast<int>(defaults_.integerForKey("maximumNetworkRetries")));
  maximumRetries_->setEnabled(retry_->currentIndex() == RetryAutomatically);
  uploadSpeed_->setValue(static_cast<int>(std::max<std::int64_t>(0, defaults_.integerForKey("maximumUploadSpeed"))));
  downloadSpeed_->setValue(static_cast<int>(std::max<std::int64_t>(0, defaults_.integerForKey("maximumDownloadSpeed"))));
  reportHiddenItems_->setChecked(defaults_.boolForKey("reportHiddenItems"));
  eraseRestoreTarget_->setChecked(defaults_.boolForKey("eraseRestoreTarget"));
  skipVerification_->setChecked(defaults_.boolForKey("skipRestoredFilesVerification"));
}

void PreferencesDialog::write() {
  defaults_.setBool(showWindowOnLaunch_->isChecked(), "showWindowOnLaunch");
  defaults_.setBool(quitOnWindowClose_->isChecked(), "quitOnWindowClose");
  defaults_.setBool(checkForUpdates_->isChecked(), kCheckForUpdateOnLaunchDefaultsKey);
  // Negative never, 0 ask, positive retry automatically (a positive value
  // already there is kept).
  const std::int64_t retry = defaults_.integerForKey("retryAfterNetworkError");
  switch (retry_->currentIndex()) {
    case RetryNever: defaults_.setInteger(-1, "retryAfterNetworkError"); break;
    case RetryAsk: defaults_.setInteger(0, "retryAfterNetworkError"); break;
    default: defaults_.setInteger(retry > 0 ? retry : 1, "retryAfterNetworkError"); break;
  }
  defaults_.setInteger(maximumRetries_->value(), "maximumNetworkRetries");
  defaults_.setInteger(uploadSpeed_->value(), "maximumUploadSpeed");
  defaults_.setInteger(downloadSpeed_->value(), "maximumDownloadSpeed");
  defaults_.setBool(reportHiddenItems_->isChecked(), "reportHiddenItems");
  defaults_.setBool(eraseRestoreTarget_->isChecked(), "eraseRestoreTarget");
  defaults_.setBool(skipVerification_->isChecked(), "skipRestoredFilesVerification");
}

void PreferencesDialog::applyLoginItem() {
  const std::string error = SetLaunchAtLogin(launchAtLogin_->isChecked(), guiProgram_.toStdString());
  defaults_.setBool(IsLaunchAtLoginInstalled(), "launchAtLogin");
  if (error.empty()) return;
  QMessageBox warning(QMessageBox::Warning, tr("Quorvel Varid"), tr("The login item could not be changed."),
                      QMessageBox::Ok, this);
  warning.setObjectName("loginItemWarning");
  warning.setInformativeText(QString::fromStdString(error));
  warning.exec();
}

void PreferencesDialog::accept() {
  write();
  applyLoginItem();
  defaults_.synchronize();
  if (frontEnd_) {
    QPointer<PreferencesDialog> self(this);
    frontEnd_->reloadService([self](const QString& error) {
      if (self) emit self->serviceReloaded(error);
    });
  }
  QDialog::accept();
}

}  // namespace quorvel
