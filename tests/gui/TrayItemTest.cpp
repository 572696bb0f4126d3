// The tray item against a real scheduler service: its menu backs up the
// backup chosen, its state follows the backups (running, suspended, error),
// quitting when idle asks until told not to, and quitting while a backup
// runs asks first - cancel stays, "stop them" quits only once the service
// has taken the cancellation.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/gui/FrontEnd.h"
#include "app/gui/TrayItem.h"
#include "engine/BackupController.h"
#include "foundation/UserDefaults.h"
#include "gui/support/GuiTestSupport.h"

using namespace quorvel;
using namespace quorvel::guitest;
using quorvel::test::RunShell;

class TrayItemTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Session> session;
  std::unique_ptr<FrontEnd> frontEnd;
  std::unique_ptr<TrayItem> tray;

  QString uuidOf(const QString& name) const {
    for (const ListedBackup& backup : frontEnd->backups()) {
      if (backup.name == name) return backup.uuid;
    }
    return {};
  }
  const ListedBackup* listed(const QString& name) const { return frontEnd->backup(uuidOf(name)); }
  QAction* menuAction(const QString& name) const { return tray->menu()->findChild<QAction*>(name); }
  void create(const std::string& name, const std::string& source, const std::string& destination) {
    std::string output;
    QVERIFY2(session->quorvel("create " + name + " '" + source + "' '" + destination + "' --no-encryption", &output) == 0,
             output.c_str());
  }

 private slots:
  void initTestCase() {
    session = std::make_unique<Session>();
    if (!session->ready()) QSKIP(session->why().c_str());
    const std::string small = (*session) / "small";
    std::filesystem::create_directories(small);
    test::WriteFile(small + "/note.txt", "a note\n");
    const std::string large = (*session) / "large";
    QCOMPARE(RunShell("/usr/bin/python3 -c 'import os, sys\n"
                      "os.makedirs(sys.argv[1])\n"
                      "for i in range(1000): open(\"%s/f%d\" % (sys.argv[1], i), \"wb\").write(os.urandom(16384))\n"
                      "for i in range(3): open(\"%s/l%d\" % (sys.argv[1], i), \"wb\").write(os.urandom(24 << 20))' '" +
                      large + "'"),
             0);
    create("one", small, (*session) / "dest-one");
    create("two", small, (*session) / "dest-two");
    create("long", large, (*session) / "dest-long");
    // A destination below a file cannot be made, by anyone.
    test::WriteFile((*session) / "a-file", "");
    create("broken", small, (*session) / "a-file/dest");

    frontEnd = std::make_unique<FrontEnd>(Session::program());
    tray = std::make_unique<TrayItem>(*frontEnd);
    QVERIFY2(WaitFor([&] { return frontEnd->isConnected() && frontEnd->backups().size() == 4; }, 30000),
             qPrintable(frontEnd->serviceText()));
  }

  void cleanupTestCase() {
    tray.reset();
    frontEnd.reset();
    session.reset();
  }

  // Nothing runs yet: the QUIT question, until its box says not to ask.
  void quittingWhenIdleAsksUntilToldNotTo() {
    QVERIFY(!frontEnd->isRunningCommands());
    QSignalSpy quit(tray.get(), &TrayItem::quitRequested);
    // Cancelled, with the box checked: no quit, and the box is not kept.
    auto answered = AnswerNextAlert("quitAlert", "alternateButton", true);
    tray->quit();
    QVERIFY(*answered);
    QCOMPARE(quit.count(), 0);
    QVERIFY(!UserDefaults::standard().boolForKey("suppressAlert_Quit"));
    answered = AnswerNextAlert("quitAlert", "defaultButton");
    tray->quit();
    QVERIFY(*answered);
    QCOMPARE(quit.count(), 1);
    QVERIFY(!UserDefaults::standard().boolForKey("suppressAlert_Quit"));
    answered = AnswerNextAlert("quitAlert", "defaultButton", true);
    tray->quit();
    QVERIFY(*answered);
    QCOMPARE(quit.count(), 2);
    // Stored in the file, where the next launch reads it.
    QVERIFY(UserDefaults(UserDefaults::settingsFolderPath() + "/Defaults.plist").boolForKey("suppressAlert_Quit"));
    // Now it quits without asking.
    tray->quit();
    QCOMPARE(quit.count(), 3);
    QVERIFY(NoDialogWithin(300));
  }

  void theMenuBacksUpTheChosenBackup() {
    QVERIFY(menuAction("openWindow"));
    QVERIFY(menuAction("quit"));
    for (const char* name : {"one", "two", "long", "broken"}) {
      QAction* now = menuAction("backUpNow:" + uuidOf(name));
      QVERIFY2(now && now->isEnabled(), name);
      QVERIFY(now->text().contains(name));
    }
    QCOMPARE(tray->shownState(), FrontEnd::Overall::Idle);
    QSignalSpy finished(frontEnd.get(), &FrontEnd::commandFinished);
    menuAction("backUpNow:" + uuidOf("two"))->trigger();
    QVERIFY(WaitFor([&] { return finished.count() > 0; }, 60000));
    QCOMPARE(finished.front().at(0).toString(), uuidOf("two"));
    QCOMPARE(finished.front().at(1).toInt(), int(BackupCommandPerformBackup));
    QVERIFY(WaitFor([&] { return listed("two")->lastResult == "success"; }, 10000));
    QVERIFY(listed("one")->lastResult.isEmpty());
    std::string history;
    session->quorvel("history two", &history);
    QVERIFY2(history.find("performBackup") != std::string::npos, history.c_str());
    QCOMPARE(tray->shownState(), FrontEnd::Overall::Idle);
  }

  void aFailedBackupShowsAsError() {
    QSignalSpy finished(frontEnd.get(), &FrontEnd::commandFinished);
    menuAction("backUpNow:" + uuidOf("broken"))->trigger();
    QVERIFY(WaitFor([&] { return finished.count() > 0; }, 60000));
    QVERIFY(WaitFor([&] { return listed("broken")->lastResult == "failure"; }, 10000));
    QCOMPARE(tray->shownState(), FrontEnd::Overall::Error);
  }

  void quittingWhileABackupRunsAsksFirst() {
    const QString uuid = uuidOf("long");
    QSignalSpy finished(frontEnd.get(), &FrontEnd::commandFinished);
    QSignalSpy quit(tray.get(), &TrayItem::quitRequested);
    menuAction("backUpNow:" + uuid)->trigger();
    QVERIFY(WaitFor([&] { return listed("long")->isRunning(); }, 30000));
    // While it runs its menu line says so instead of offering to start it.
    QVERIFY(WaitFor([&] { return menuAction("inProgress:" + uuid) != nullptr; }, 5000));
    QVERIFY(!menuAction("inProgress:" + uuid)->isEnabled());
    QCOMPARE(tray->shownState(), FrontEnd::Overall::Running);
    frontEnd->act("Suspend", uuid);
    QVERIFY(WaitFor([&] { return listed("long")->state == "suspended"; }, 30000));
    QCOMPARE(tray->shownState(), FrontEnd::Overall::Suspended);

    AnswerNextDialog("alternateButton");
    tray->quit();
    QTest::qWait(500);
    QCOMPARE(quit.count(), 0);
    QVERIFY(listed("long")->isRunning());

    AnswerNextDialog("otherButton");
    tray->quit();
    QVERIFY(WaitFor([&] { return quit.count() == 1; }, 30000));
    QVERIFY(WaitFor([&] { return finished.count() > 0; }, 60000));
    QCOMPARE(finished.front().at(0).toString(), uuid);
    QCOMPARE(finished.front().at(2).toBool(), true);
  }

  // Last: the application goes while a backup runs, and the service
  // keeps it and finishes it.
  void quittingWithKeepRunningLeavesTheBackupToTheService() {
    const QString uuid = uuidOf("long");
    QSignalSpy quit(tray.get(), &TrayItem::quitRequested);
    QVERIFY(WaitFor([&] { return !listed("long")->isRunning(); }, 30000));
    menuAction("backUpNow:" + uuid)->trigger();
    QVERIFY(WaitFor([&] { return listed("long")->isRunning(); }, 30000));
    // Held suspended, so that it is sure to outlive the application.
    frontEnd->act("Suspend", uuid);
    QVERIFY(WaitFor([&] { return listed("long")->state == "suspended"; }, 30000));
    AnswerNextDialog("defaultButton");
    tray->quit();
    QVERIFY(WaitFor([&] { return quit.count() == 1; }, 10000));
    tray.reset();
    frontEnd.reset();
    auto lineOfLong = [&] {
      std::string status;
      session->quorvel("status", &status);
      const std::size_t start = status.find("\nlong ");
      return start == std::string::npos ? std::string() : status.substr(start + 1, status.find('\n', start + 1) - start - 1);
    };
    QVERIFY2(lineOfLong().find("suspended") != std::string::npos, lineOfLong().c_str());
    std::string output;
    QVERIFY2(session->quorvel("resume long", &output) == 0, output.c_str());
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (lineOfLong().find("success (performBackup") == std::string::npos && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    QVERIFY2(lineOfLong().find("success (performBackup") != std::string::npos, lineOfLong().c_str());
  }
};

QTEST_MAIN(TrayItemTest)
#include "TrayItemTest.moc"
