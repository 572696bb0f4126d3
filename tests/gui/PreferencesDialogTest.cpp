// The preferences dialog, opened from the window's menu against a real
// scheduler service: it shows the defaults as they are, OK writes every
// edit into the defaults file and the login item into the autostart folder
// (and takes it away again), the service answers the reload, Cancel writes
// nothing, and the three retry choices map onto the retry default's sign.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "app/AppController.h"
#include "app/LoginItem.h"
#include "app/gui/FrontEnd.h"
#include "app/gui/MainWindow.h"
#include "app/gui/PreferencesDialog.h"
#include "foundation/UserDefaults.h"
#include "gui/support/GuiTestSupport.h"

using namespace quorvel;
using namespace quorvel::guitest;

class PreferencesDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Session> session;
  std::unique_ptr<FrontEnd> frontEnd;
  std::unique_ptr<MainWindow> window;
  std::string autostart;

  // Opens the dialog as the menu does.
  PreferencesDialog* open() {
    window->findChild<QAction*>("preferences")->trigger();
    // Closed ones may wait for their deletion.
    PreferencesDialog* dialog = nullptr;
    WaitFor(
        [&] {
          for (PreferencesDialog* shown : window->findChildren<PreferencesDialog*>()) {
            if (shown->isVisible()) dialog = shown;
          }
          return dialog != nullptr;
        },
        5000);
    return dialog;
  }
  template <typename T>
  static T* part(QWidget* dialog, const char* name) {
    T* found = dialog->findChild<T*>(name);
    if (!found) qFatal("no %s in the dialog", name);
    return found;
  }
  static void press(PreferencesDialog* dialog, const char* button) {
    part<QPushButton>(dialog, button)->click();
    QVERIFY(!dialog->isVisible());
  }
  // What the next launch would read.
  static std::unique_ptr<UserDefaults> stored() {
    return std::make_unique<UserDefaults>(UserDefaults::settingsFolderPath() + "/" + UserDefaults::kFileName);
  }

 private slots:
  void initTestCase() {
    session = std::make_unique<Session>();
    if (!session->ready()) QSKIP(session->why().c_str());
    setenv("XDG_CONFIG_HOME", ((*session) / "config").c_str(), 1);
    autostart = (*session) / "config/autostart/quorvel-gui.desktop";
    AppController::registerDefaults(UserDefaults::standard());
    frontEnd = std::make_unique<FrontEnd>(Session::program());
    window = std::make_unique<MainWindow>(*frontEnd);
    window->show();
    QVERIFY2(WaitFor([&] { return frontEnd->isConnected(); }, 30000), qPrintable(frontEnd->serviceText()));
  }

  void cleanupTestCase() {
    window.reset();
    frontEnd.reset();
    session.reset();
  }

  void theDialogShowsTheDefaultsAndOKWritesEveryEdit() {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setInteger(250, "maximumUploadSpeed");
    defaults.setInteger(4, "retryAfterNetworkError");
    defaults.setInteger(9, "maximumNetworkRetries");
    PreferencesDialog* dialog = open();
    QVERIFY(dialog);
    QCOMPARE(part<QSpinBox>(dialog, "maximumUploadSpeed")->value(), 250);
    QCOMPARE(part<QSpinBox>(dialog, "maximumDownloadSpeed")->value(), 0);
    QCOMPARE(part<QSpinBox>(dialog, "maximumDownloadSpeed")->text(), QString("Unlimited"));
    QCOMPARE(part<QComboBox>(dialog, "retryAfterNetworkError")->currentIndex(), int(PreferencesDialog::RetryAutomatically));
    QCOMPARE(part<QSpinBox>(dialog, "maximumNetworkRetries")->value(), 9);
    QVERIFY(part<QCheckBox>(dialog, "showWindowOnLaunch")->isChecked());
    QVERIFY(!part<QCheckBox>(dialog, "launchAtLogin")->isChecked());

    part<QCheckBox>(dialog, "launchAtLogin")->setChecked(true);
    part<QCheckBox>(dialog, "showWindowOnLaunch")->setChecked(false);
    part<QCheckBox>(dialog, "quitOnWindowClose")->setChecked(true);
    part<QCheckBox>(dialog, "checkForUpdateOnLaunch")->setChecked(true);
    part<QCheckBox>(dialog, "reportHiddenItems")->setChecked(true);
    part<QCheckBox>(dialog, "eraseRestoreTarget")->setChecked(true);
    part<QCheckBox>(dialog, "skipRestoredFilesVerification")->setChecked(true);
    part<QSpinBox>(dialog, "maximumNetworkRetries")->setValue(3);
    part<QSpinBox>(dialog, "maximumUploadSpeed")->setValue(0);
    part<QSpinBox>(dialog, "maximumDownloadSpeed")->setValue(1200);
    press(dialog, "okButton");

    auto file = stored();
    QCOMPARE(file->boolForKey("launchAtLogin"), true);
    QCOMPARE(file->boolForKey("showWindowOnLaunch"), false);
    QCOMPARE(file->boolForKey("quitOnWindowClose"), true);
    QCOMPARE(file->boolForKey("checkForUpdateOnLaunch"), true);
    QCOMPARE(file->boolForKey("reportHiddenItems"), true);
    QCOMPARE(file->boolForKey("eraseRestoreTarget"), true);
    QCOMPARE(file->boolForKey("skipRestoredFilesVerification"), true);
    QCOMPARE(file->integerForKey("retryAfterNetworkError"), 4);
    QCOMPARE(file->integerForKey("maximumNetworkRetries"), 3);
    QCOMPARE(file->integerForKey("maximumUploadSpeed"), 0);
    QCOMPARE(file->integerForKey("maximumDownloadSpeed"), 1200);
    // The login item starts the quorvel-gui next to this program, in the tray.
    QVERIFY(std::filesystem::exists(autostart));
    const std::string entry = test::ReadTextFile(autostart);
    QVERIFY2(entry.find("Exec=\"" + QApplication::applicationDirPath().toStdString() + "/quorvel-gui\" --hidden\n") !=
                 std::string::npos,
             entry.c_str());
  }

  void uncheckingLaunchAtLoginRemovesTheLoginItem() {
    QVERIFY(std::filesystem::exists(autostart));
    PreferencesDialog* dialog = open();
    QVERIFY(dialog);
    QVERIFY(part<QCheckBox>(dialog, "launchAtLogin")->isChecked());
    part<QCheckBox>(dialog, "launchAtLogin")->setChecked(false);
    press(dialog, "okButton");
    QVERIFY(!std::filesystem::exists(autostart));
    QCOMPARE(stored()->boolForKey("launchAtLogin"), false);
  }

  void theServiceIsAskedToReadThePreferencesAgain() {
    // One that outlives the answer (the menu's deletes itself on closing).
    PreferencesDialog dialog(UserDefaults::standard(), frontEnd.get(), window.get());
    dialog.show();
    QSignalSpy reloaded(&dialog, &PreferencesDialog::serviceReloaded);
    dialog.accept();
    QVERIFY(WaitFor([&] { return reloaded.count() == 1; }, 10000));
    QCOMPARE(reloaded.at(0).at(0).toString(), QString());
  }

  void cancelWritesNothing() {
    const std::int64_t before = stored()->integerForKey("maximumDownloadSpeed");
    PreferencesDialog* dialog = open();
    QVERIFY(dialog);
    part<QSpinBox>(dialog, "maximumDownloadSpeed")->setValue(int(before) + 77);
    part<QCheckBox>(dialog, "launchAtLogin")->setChecked(true);
    press(dialog, "cancelButton");
    QCOMPARE(stored()->integerForKey("maximumDownloadSpeed"), before);
    QCOMPARE(UserDefaults::standard().integerForKey("maximumDownloadSpeed"), before);
    QVERIFY(!std::filesystem::exists(autostart));
  }

  void theRetryChoiceMapsOntoTheSignOfTheRetryDefault() {
    struct Case {
      std::int64_t before;
      PreferencesDialog::Retry shown, chosen;
      std::int64_t after;
    };
    const Case cases[] = {
        {-3, PreferencesDialog::RetryNever, PreferencesDialog::RetryAsk, 0},
        {0, PreferencesDialog::RetryAsk, PreferencesDialog::RetryNever, -1},
        {0, PreferencesDialog::RetryAsk, PreferencesDialog::RetryAutomatically, 1},
        {-1, PreferencesDialog::RetryNever, PreferencesDialog::RetryAutomatically, 1},
        {7, PreferencesDialog::RetryAutomatically, PreferencesDialog::RetryAutomatically, 7},
        {7, PreferencesDialog::RetryAutomatically, PreferencesDialog::RetryNever, -1},
    };
    for (const Case& c : cases) {
      UserDefaults::standard().setInteger(c.before, "retryAfterNetworkError");
      PreferencesDialog* dialog = open();
      QVERIFY(dialog);
      auto* retry = part<QComboBox>(dialog, "retryAfterNetworkError");
      QCOMPARE(retry->currentIndex(), int(c.shown));
      retry->setCurrentIndex(c.chosen);
      QCOMPARE(part<QSpinBox>(dialog, "maximumNetworkRetries")->isEnabled(),
               c.chosen == PreferencesDialog::RetryAutomatically);
      press(dialog, "okButton");
      QCOMPARE(stored()->integerForKey("retryAfterNetworkError"), c.after);
    }
  }

  void aLoginItemThatCannotBeWrittenIsReportedAndNotClaimed() {
    test::WriteFile((*session) / "not-a-folder", "");
    setenv("XDG_CONFIG_HOME", ((*session) / "not-a-folder").c_str(), 1);
    PreferencesDialog* dialog = open();
    QVERIFY(dialog);
    part<QCheckBox>(dialog, "launchAtLogin")->setChecked(true);
    bool warned = false;
    QTimer::singleShot(0, [&] {
      WaitFor([] { return QApplication::activeModalWidget() &&
                          QApplication::activeModalWidget()->objectName() == "loginItemWarning"; },
              5000);
      if (QWidget* warning = QApplication::activeModalWidget(); warning && warning->objectName() == "loginItemWarning") {
        warned = true;
        static_cast<QDialog*>(warning)->accept();
      }
    });
    press(dialog, "okButton");
    setenv("XDG_CONFIG_HOME", ((*session) / "config").c_str(), 1);
    QVERIFY(warned);
    QCOMPARE(stored()->boolForKey("launchAtLogin"), false);
  }
};

QTEST_MAIN(PreferencesDialogTest)
#include "PreferencesDialogTest.moc"
