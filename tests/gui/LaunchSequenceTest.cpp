// The questions the desktop application asks as it opens, launch after
// launch against a real scheduler service: the update question once, the
// login item offered while a backup has a schedule until it is accepted or
// the box says not to ask, and a newer version found on an update server
// (Python's web server on 127.0.0.1) offered with a button that opens it.
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <filesystem>

#include "app/AppController.h"
#include "app/UpdateCheck.h"
#include "app/gui/FrontEnd.h"
#include "app/gui/LaunchSequence.h"
#include "foundation/PropertyList.h"
#include "foundation/UserDefaults.h"
#include "gui/support/GuiTestSupport.h"

using namespace quorvel;
using namespace quorvel::guitest;

// Takes the URLs QDesktopServices would hand to the desktop.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened << url; }
};

class LaunchSequenceTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Session> session;
  std::unique_ptr<FrontEnd> frontEnd;
  std::string autostart;
  pid_t server = -1;

  // One launch: a new sequence on a front end that has listed the backups.
  std::unique_ptr<LaunchSequence> launch() {
    auto sequence = std::make_unique<LaunchSequence>(*frontEnd, UserDefaults::standard());
    sequence->start();
    frontEnd->refresh();
    return sequence;
  }
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
    const std::string source = (*session) / "source";
    std::filesystem::create_directories(source);
    std::string output;
    QVERIFY2(session->quorvel("create daily '" + source + "' '" + ((*session) / "dest") + "' --no-encryption", &output) == 0,
             output.c_str());
    QVERIFY2(session->quorvel("set daily schedule.interval 1d", &output) == 0, output.c_str());
    frontEnd = std::make_unique<FrontEnd>(Session::program());
    QVERIFY2(WaitFor([&] { return frontEnd->backups().size() == 1 && frontEnd->backups()[0].nextRun; }, 30000),
             qPrintable(frontEnd->serviceText()));
  }

  void cleanupTestCase() {
    if (server > 0) test::RunShell("kill " + std::to_string(server));
    frontEnd.reset();
    session.reset();
  }

  void theFirstLaunchAsksAboutUpdatesAndOffersTheLoginItem() {
    QVERIFY(!UserDefaults::standard().hasUserValueForKey(kCheckForUpdateOnLaunchDefaultsKey));
    auto checkAnswered = AnswerNextAlert("checkAlert", "alternateButton");
    auto loginAnswered = AnswerNextAlert("loginAlert", "alternateButton");
    auto sequence = launch();
    QVERIFY(*checkAnswered);
    QVERIFY(UserDefaults::standard().hasUserValueForKey(kCheckForUpdateOnLaunchDefaultsKey));
    QCOMPARE(stored()->boolForKey(kCheckForUpdateOnLaunchDefaultsKey), false);
    QVERIFY(WaitFor([&] { return *loginAnswered; }, 10000));
    QVERIFY(!std::filesystem::exists(autostart));
    QCOMPARE(stored()->boolForKey("launchAtLogin"), false);
    QCOMPARE(stored()->boolForKey("suppressAlert_LaunchAtLogin"), false);
  }

  void theNextLaunchOffersTheLoginItemAgainUntilTheBoxIsChecked() {
    auto loginAnswered = AnswerNextAlert("loginAlert", "alternateButton", true);
    auto second = launch();
    QVERIFY(WaitFor([&] { return *loginAnswered; }, 10000));
    QCOMPARE(stored()->boolForKey("suppressAlert_LaunchAtLogin"), true);
    second.reset();

    auto third = launch();
    QSignalSpy thirdOffered(third.get(), &LaunchSequence::launchAtLoginOffered);
    QVERIFY(NoDialogWithin(2000));
    QCOMPARE(thirdOffered.count(), 0);
  }

  void acceptingTheOfferWritesTheLoginItem() {
    UserDefaults::standard().setBool(false, "suppressAlert_LaunchAtLogin");
    auto loginAnswered = AnswerNextAlert("loginAlert", "defaultButton");
    auto sequence = launch();
    QVERIFY(WaitFor([&] { return *loginAnswered; }, 10000));
    QVERIFY(WaitFor([&] { return std::filesystem::exists(autostart); }, 5000));
    QCOMPARE(stored()->boolForKey("launchAtLogin"), true);
    sequence.reset();
    // Installed: never offered again.
    auto next = launch();
    QVERIFY(NoDialogWithin(2000));
  }

  void aNewerVersionIsOfferedAndItsButtonOpensTheDownload() {
    const std::string site = (*session) / "site";
    std::filesystem::create_directories(site);
    Dictionary version;
    version.set("version", "999.0");
    version.set("downloadURL", "https://example.org/quorvel-999");
    test::WriteFile(site + "/version.plist", PropertyList::writeXml(Value(version)).value());
    const int port = test::FreeLoopbackPort();
    std::string output;
    QCOMPARE(test::RunShell(test::Python() + " -m http.server --bind 127.0.0.1 --directory '" + site + "' " +
                                std::to_string(port) + " >/dev/null 2>&1 & echo $!",
                            &output),
             0);
    server = std::stoi(output);
    QVERIFY(WaitFor([&] { return test::LoopbackPortAccepts(port); }, 10000));
    UserDefaults::standard().setBool(true, kCheckForUpdateOnLaunchDefaultsKey);
    UserDefaults::standard().setObject(Value("http://127.0.0.1:" + std::to_string(port) + "/version.plist"),
                                       kUpdateURLDefaultsKey);

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    auto updateAnswered = AnswerNextAlert("updateAlert", "defaultButton");
    auto sequence = std::make_unique<LaunchSequence>(*frontEnd, UserDefaults::standard());
    QSignalSpy finished(sequence.get(), &LaunchSequence::updateCheckFinished);
    sequence->start();
    QVERIFY(WaitFor([&] { return finished.count() == 1; }, 30000));
    QVERIFY(*updateAnswered);
    QCOMPARE(finished.at(0).at(0).toString(), QString("https://example.org/quorvel-999"));
    QCOMPARE(catcher.opened, QList<QUrl>{QUrl("https://example.org/quorvel-999")});
    QDesktopServices::unsetUrlHandler("https");

    // The same version as this one: nothing to offer, nothing asked.
    version.set("version", CurrentSystemInfo().version);
    test::WriteFile(site + "/version.plist", PropertyList::writeXml(Value(version)).value());
    sequence = std::make_unique<LaunchSequence>(*frontEnd, UserDefaults::standard());
    QSignalSpy again(sequence.get(), &LaunchSequence::updateCheckFinished);
    sequence->start();
    QVERIFY(WaitFor([&] { return again.count() == 1; }, 30000));
    QCOMPARE(again.at(0).at(0).toString(), QString());
    QVERIFY(NoDialogWithin(300));
  }
};

QTEST_MAIN(LaunchSequenceTest)
#include "LaunchSequenceTest.moc"
