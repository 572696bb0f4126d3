// The setup assistant's window against a real scheduler service: with no
// backup the assistant opens by itself; an encrypted backup of a folder to a
// folder of this machine is made with it alone (a busy folder refused on the
// way), run from the toolbar, and lands in the history with its report; a
// second backup goes to a WebDAV server (lighttpd) through the server pane
// and the folder browser, which creates its folder there.
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <filesystem>

#include "app/gui/AssistantHost.h"
#include "app/gui/AssistantWindow.h"
#include "app/gui/FrontEnd.h"
#include "app/gui/MainWindow.h"
#include "app/gui/RunLoopBridge.h"
#include "gui/support/GuiTestSupport.h"

using namespace quorvel;
using namespace quorvel::guitest;

class AssistantWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Session> session;
  std::unique_ptr<RunLoopBridge> bridge;
  std::unique_ptr<FrontEnd> frontEnd;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<AssistantHost> host;
  std::unique_ptr<AssistantWindow> assistant;

  template <typename T = QWidget>
  T* field(const char* name) const {
    T* found = assistant->findChild<T*>(name);
    if (!found) qWarning("no widget %s", name);
    return found;
  }
  void setText(const char* name, const std::string& text) { field<QLineEdit>(name)->setText(QString::fromStdString(text)); }
  // Continues and waits for the next pane (background checks included).
  bool continueTo(const QString& pane) {
    field<QPushButton>("continue")->click();
    const bool reached = WaitFor([&] { return assistant->pane() == pane || assistant->alert(); }, 60000) &&
                         assistant->pane() == pane;
    if (!reached) qWarning("on pane %s, not %s", qPrintable(assistant->pane()), qPrintable(pane));
    return reached;
  }
  const ListedBackup* listed(const QString& name) const {
    for (const ListedBackup& backup : frontEnd->backups()) {
      if (backup.name == name) return frontEnd->backup(backup.uuid);
    }
    return nullptr;
  }

 private slots:
  void initTestCase() {
    session = std::make_unique<Session>();
    if (!session->ready()) QSKIP(session->why().c_str());
    // Servers that drop root (lighttpd) must reach their folders.
    chmod(((*session) / "").c_str(), 0755);
    const std::string source = (*session) / "Documents";
    std::filesystem::create_directories(source + "/Letters");
    test::WriteFile(source + "/Letters/mother.txt", "Dear mother,\n");
    test::WriteFile(source + "/report.txt", std::string(200000, 'r'));
    std::filesystem::create_directories((*session) / "Disk/Backups");
    std::filesystem::create_directories((*session) / "Disk/Busy");
    test::WriteFile((*session) / "Disk/Busy/somebody-elses.txt", "taken");

    bridge = std::make_unique<RunLoopBridge>();
    frontEnd = std::make_unique<FrontEnd>(Session::program());
    window = std::make_unique<MainWindow>(*frontEnd);
    host = std::make_unique<AssistantHost>(*frontEnd, *window);
    assistant = std::make_unique<AssistantWindow>(*host);
    host->attach(*assistant);
    window->show();
    QVERIFY2(WaitFor([&] { return frontEnd->isConnected(); }, 30000), qPrintable(frontEnd->serviceText()));
  }

  void cleanupTestCase() {
    assistant.reset();
    host.reset();
    window.reset();
    frontEnd.reset();
    bridge.reset();
    session.reset();
  }

  void anEncryptedBackupToAFolderIsMadeWithTheAssistantAlone() {
    // No backup yet: the assistant opens at a new backup's source.
    QVERIFY(WaitFor([&] { return assistant->isVisible(); }, 10000));
    QCOMPARE(assistant->pane(), QString("source"));
    QCOMPARE(field<QLabel>("title")->text(), QString("What should be backed up?"));

    setText("sourceFolder", (*session) / "Documents");
    QVERIFY(continueTo("name"));
    QCOMPARE(field<QLineEdit>("backupName")->text(), QString("Documents"));
    QVERIFY(continueTo("encryption"));
    setText("encryptionPassword", "correct horse");
    setText("encryptionConfirmation", "correct hose");
    field<QPushButton>("continue")->click();
    QCOMPARE(assistant->pane(), QString("encryption"));
    QCOMPARE(field<QLabel>("encryptionProblem")->text(), QString("The two passwords differ."));
    setText("encryptionConfirmation", "correct horse");
    QVERIFY(continueTo("segment"));
    // The suggestion comes from a scan of the source on the way out.
    QVERIFY(continueTo("destination"));

    // A folder holding somebody else's files is refused with an alert.
    field<QRadioButton>("destinationFolder")->click();
    setText("destinationPath", (*session) / "Disk/Busy");
    QCOMPARE(field<QPushButton>("continue")->text(), QString("Done"));
    field<QPushButton>("continue")->click();
    QVERIFY(WaitFor([&] { return assistant->alert() != nullptr; }, 5000));
    QCOMPARE(assistant->alert()->text(), QString("This folder is not empty"));
    assistant->alert()->findChild<QPushButton*>("defaultButton")->click();
    QVERIFY(WaitFor([&] { return assistant->alert() == nullptr; }, 5000));
    QCOMPARE(assistant->pane(), QString("destination"));

    setText("destinationPath", (*session) / "Disk/Backups");
    SaveScreenshot(assistant.get(), "assistant-destination");
    field<QPushButton>("continue")->click();
    QVERIFY(WaitFor([&] { return !assistant->isVisible(); }, 10000));

    // The service lists it, and the window selects it.
    QVERIFY(WaitFor([&] { return listed("Documents") != nullptr; }, 20000));
    const QString uuid = listed("Documents")->uuid;
    QVERIFY(WaitFor([&] { return window->selectedBackup() == uuid; }, 10000));

    // Run from the toolbar; the history row and its report follow.
    auto* backUpNow = window->findChild<QAction*>("backUpNow");
    QVERIFY(WaitFor([&] { return backUpNow->isEnabled(); }, 10000));
    backUpNow->trigger();
    QVERIFY(WaitFor([&] { return listed("Documents")->lastResult == "success"; }, 120000));
    auto* history = window->findChild<QTableWidget*>("historyTable");
    QVERIFY(WaitFor([&] { return history->rowCount() == 1; }, 20000));
    QCOMPARE(history->item(0, 2)->text(), QString("success"));
    history->selectRow(0);
    auto* report = window->findChild<QPlainTextEdit*>("reportView");
    QVERIFY(WaitFor([&] { return !report->toPlainText().isEmpty(); }, 10000));

    // Encrypted with the password given: the command line restores with it
    // and refuses another.
    std::string output;
    QVERIFY2(session->quorvel("restore Documents --to '" + (*session) / "restored" + "'", &output) == 0,
             output.c_str());
    QCOMPARE(QString::fromStdString(test::ReadTextFile((*session) / "restored/Documents/Letters/mother.txt")),
             QString("Dear mother,\n"));
    setenv("QV_WRONG", "wrong", 1);
    QVERIFY(session->quorvel("check '" + (*session) / "Disk/Backups" + "' --password-env QV_WRONG", &output) != 0);
  }

  void aVerificationIsStartedFromTheAssistantsMaintenanceOptions() {
    const ListedBackup* documents = listed("Documents");
    QVERIFY(documents);
    window->selectBackup(documents->uuid);
    window->findChild<QAction*>("assistant")->trigger();
    QVERIFY(WaitFor([&] { return assistant->isVisible() && assistant->pane() == "start"; }, 5000));
    field<QRadioButton>("option5")->click();
    QVERIFY(continueTo("select"));
    auto* entries = field<QListWidget>("backupEntries");
    QVERIFY(!entries->findItems("Documents", Qt::MatchContains).isEmpty());
    entries->setCurrentItem(entries->findItems("Documents", Qt::MatchContains).front());
    QVERIFY(continueTo("more"));
    QVERIFY2(field<QRadioButton>("more9")->isEnabled(), "verifying needs a backup that ran");
    field<QRadioButton>("more9")->click();
    QVERIFY(continueTo("verify"));
    field<QRadioButton>("choice1")->click();
    QCOMPARE(field<QPushButton>("continue")->text(), QString("Done"));
    field<QPushButton>("continue")->click();
    QVERIFY(WaitFor([&] { return !assistant->isVisible(); }, 10000));
    // The service runs it like any command: it lands in the history.
    QVERIFY(WaitFor([&] { return listed("Documents")->lastCommand == "verifyBackup"; }, 120000));
    QVERIFY(WaitFor([&] { return listed("Documents")->lastResult == "success"; }, 120000));
  }

  void aBackupToAWebDAVServerGoesThroughTheServerPaneAndTheFolderBrowser() {
    if (!test::HaveProgram("lighttpd")) QSKIP("lighttpd is needed (scripts/setup test)");
    const std::string script = std::string(QUORVEL_FIXTURES_DIR) + "/../integration/webdav-server.sh";
    const int port = test::FreeLoopbackPort(), tlsPort = test::FreeLoopbackPort();
    const std::string dav = (*session) / "dav";
    QCOMPARE(test::RunShell(script + " start lighttpd '" + dav + "' " + std::to_string(port) + " " +
                            std::to_string(tlsPort) + " walter secret-42 >/dev/null 2>&1"),
             0);
    struct Stop {
      std::string command;
      ~Stop() { test::RunShell(command); }
    } stop{script + " stop '" + dav + "' >/dev/null 2>&1"};

    window->findChild<QAction*>("newBackup")->trigger();
    QVERIFY(WaitFor([&] { return assistant->isVisible() && assistant->pane() == "source"; }, 5000));
    setText("sourceFolder", (*session) / "Documents");
    QVERIFY(continueTo("name"));
    setText("backupName", "Off site");
    QVERIFY(continueTo("encryption"));
    field<QCheckBox>("encrypt")->setChecked(false);
    QVERIFY(continueTo("segment"));
    QVERIFY(continueTo("destination"));
    field<QRadioButton>("destinationServer")->click();
    QVERIFY(continueTo("server"));

    auto* kind = field<QComboBox>("serverKind");
    kind->setCurrentIndex(kind->findText("WebDAV over HTTP"));
    setText("serverHost", "127.0.0.1:" + std::to_string(port));
    setText("serverPath", "/dav");
    setText("serverLogin", "walter");
    // A wrong password fails the account check and stays.
    setText("serverPassword", "guess");
    field<QPushButton>("continue")->click();
    QVERIFY(WaitFor([&] { return assistant->alert() != nullptr; }, 60000));
    QCOMPARE(assistant->alert()->text(), QString("The destination cannot be reached"));
    assistant->alert()->findChild<QPushButton*>("defaultButton")->click();
    QCOMPARE(assistant->pane(), QString("server"));
    setText("serverPassword", "secret-42");
    QVERIFY(continueTo("browser"));

    // The folder browser: create "offsite" on the server, open it, done.
    auto* entries = field<QListWidget>("browserEntries");
    setText("newFolderName", "offsite");
    field<QPushButton>("createFolder")->click();
    QVERIFY(WaitFor([&] { return !entries->findItems("offsite/", Qt::MatchExactly).isEmpty(); }, 30000));
    QVERIFY(std::filesystem::is_directory(dav + "/data/offsite"));
    QListWidgetItem* folder = entries->findItems("offsite/", Qt::MatchExactly).front();
    emit entries->itemDoubleClicked(folder);
    QVERIFY(WaitFor([&] { return field<QComboBox>("browserPath")->currentText() == "Destination / dav / offsite"; }, 30000));
    QVERIFY(WaitFor([&] { return field<QPushButton>("continue")->isEnabled(); }, 30000));
    SaveScreenshot(assistant.get(), "assistant-browser");
    field<QPushButton>("continue")->click();
    QVERIFY(WaitFor([&] { return !assistant->isVisible(); }, 30000));

    QVERIFY(WaitFor([&] { return listed("Off site") != nullptr; }, 20000));
    QCOMPARE(listed("Off site")->destination, QString("http://walter@127.0.0.1:%1/dav/offsite").arg(port));
    std::string output;
    QVERIFY2(session->quorvel("run 'Off site'", &output) == 0, output.c_str());
    QVERIFY(std::filesystem::exists(dav + "/data/offsite"));
    bool revision = false;
    for (const auto& entry : std::filesystem::directory_iterator(dav + "/data/offsite")) {
      revision = revision || entry.path().filename().string().rfind("Revision_", 0) == 0;
    }
    QVERIFY2(revision, "the backup's revision is on the server");
  }
};

QTEST_MAIN(AssistantWindowTest)
#include "AssistantWindowTest.moc"
