// The restore browser over the file tree a real backup stored: checks on
// files and folders become the paths asked for, and two chosen paths are
// restored through the scheduler service into a chosen folder, nothing
// else.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>

#include "app/gui/FrontEnd.h"
#include "app/gui/MainWindow.h"
#include "app/gui/RestoreBrowser.h"
#include "engine/BackupController.h"
#include "gui/support/GuiTestSupport.h"

using namespace quorvel;
using namespace quorvel::guitest;

class RestoreBrowserTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Session> session;
  std::unique_ptr<FrontEnd> frontEnd;
  std::unique_ptr<MainWindow> window;
  QString uuid;

  RestoreBrowser* open() {
    window->selectBackup(uuid);
    auto* restore = window->findChild<QAction*>("restore");
    if (!WaitFor([&] { return restore->isEnabled(); }, 20000)) return nullptr;
    restore->trigger();
    return window->restoreBrowser();
  }
  static void check(RestoreBrowser* browser, const QString& path, Qt::CheckState state) {
    QTreeWidgetItem* item = browser->itemForPath(path);
    QVERIFY2(item, qPrintable("no item " + path));
    item->setCheckState(0, state);
  }

 private slots:
  void initTestCase() {
    session = std::make_unique<Session>();
    if (!session->ready()) QSKIP(session->why().c_str());
    const std::string source = (*session) / "source";
    std::filesystem::create_directories(source + "/docs/deep");
    test::WriteFile(source + "/a.txt", "alpha\n");
    test::WriteFile(source + "/docs/b.txt", "bravo\n");
    test::WriteFile(source + "/docs/c.txt", "charlie\n");
    test::WriteFile(source + "/docs/deep/d.txt", "delta\n");
    std::string output;
    QVERIFY2(session->quorvel("create papers '" + source + "' '" + (*session) / "dest" + "' --no-encryption", &output) == 0,
             output.c_str());
    // Backed up by the command line before any service runs.
    QVERIFY2(session->quorvel("run papers", &output) == 0, output.c_str());
    frontEnd = std::make_unique<FrontEnd>(Session::program());
    window = std::make_unique<MainWindow>(*frontEnd);
    window->show();
    QVERIFY2(WaitFor([&] { return frontEnd->isConnected() && frontEnd->backups().size() == 1; }, 30000),
             qPrintable(frontEnd->serviceText()));
    uuid = frontEnd->backups().front().uuid;
  }

  void cleanupTestCase() {
    window.reset();
    frontEnd.reset();
    session.reset();
  }

  void theChecksBecomeThePathsAskedFor() {
    RestoreBrowser* browser = open();
    QVERIFY(browser);
    auto* tree = browser->findChild<QTreeWidget*>("filesTree");
    // Top level: the backed-up folder's items, sorted; folders not filled in yet.
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(tree->topLevelItem(0)->text(0), QString("a.txt"));
    QCOMPARE(tree->topLevelItem(1)->text(0), QString("docs"));
    QCOMPARE(tree->topLevelItem(1)->childCount(), 0);
    QVERIFY(browser->chosenPaths().isEmpty());
    QVERIFY(!browser->findChild<QPushButton*>("restoreSelectedButton")->isEnabled());

    check(browser, "docs/b.txt", Qt::Checked);
    QCOMPARE(browser->chosenPaths(), QStringList{"docs/b.txt"});
    QCOMPARE(browser->itemForPath("docs")->checkState(0), Qt::PartiallyChecked);
    // Every item of a folder checked: the folder stands for them.
    check(browser, "docs/c.txt", Qt::Checked);
    check(browser, "docs/deep", Qt::Checked);
    QCOMPARE(browser->chosenPaths(), QStringList{"docs"});
    // A checked folder filled in later hands its check on.
    QCOMPARE(browser->itemForPath("docs/deep/d.txt")->checkState(0), Qt::Checked);
    check(browser, "docs/deep/d.txt", Qt::Unchecked);
    QCOMPARE(browser->chosenPaths(), (QStringList{"docs/b.txt", "docs/c.txt"}));
    check(browser, "docs", Qt::Unchecked);
    QCOMPARE(browser->itemForPath("docs/b.txt")->checkState(0), Qt::Unchecked);
    QVERIFY(browser->chosenPaths().isEmpty());
    QVERIFY(!browser->itemForPath("docs/nothing"));
    browser->close();
  }

  void twoChosenPathsAreRestoredIntoTheChosenFolder() {
    RestoreBrowser* browser = open();
    QVERIFY(browser);
    const std::string target = (*session) / "restored";
    std::filesystem::create_directories(target);
    check(browser, "a.txt", Qt::Checked);
    check(browser, "docs/deep/d.txt", Qt::Checked);
    browser->findChild<QLineEdit*>("destinationEdit")->setText(QString::fromStdString(target));
    QVERIFY(!browser->findChild<QCheckBox*>("eraseCheck")->isChecked());
    SaveScreenshot(browser, "restore-browser");
    auto* restore = browser->findChild<QPushButton*>("restoreSelectedButton");
    QVERIFY(restore->isEnabled());
    QSignalSpy finished(frontEnd.get(), &FrontEnd::commandFinished);
    restore->click();
    QVERIFY(WaitFor([&] { return finished.count() > 0; }, 120000));
    QCOMPARE(finished.front().at(1).toInt(), int(BackupCommandRestoreBackup));
    QCOMPARE(finished.front().at(2).toBool(), false);
    QVERIFY2(finished.front().at(4).toStringList().isEmpty(), qPrintable(finished.front().at(4).toStringList().join('\n')));

    QCOMPARE(test::ReadTextFile(target + "/a.txt"), std::string("alpha\n"));
    QCOMPARE(test::ReadTextFile(target + "/docs/deep/d.txt"), std::string("delta\n"));
    QVERIFY(!std::filesystem::exists(target + "/docs/b.txt"));
    QVERIFY(!std::filesystem::exists(target + "/docs/c.txt"));

    auto* history = window->findChild<QTableWidget*>("historyTable");
    QVERIFY(WaitFor([&] { return history->rowCount() == 2; }, 20000));
    QCOMPARE(history->item(0, 1)->text(), QString("restoreBackup"));
    QCOMPARE(history->item(0, 2)->text(), QString("success"));
    QCOMPARE(history->item(1, 1)->text(), QString("performBackup"));
  }
};

QTEST_MAIN(RestoreBrowserTest)
#include "RestoreBrowserTest.moc"
