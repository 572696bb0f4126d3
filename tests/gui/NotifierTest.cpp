// Desktop notifications against python3-dbusmock's notification daemon on a
// private bus, for a backup that really fails in a real scheduler service
// and for a network-error retry as the service announces it; with no
// notification service on the bus, nothing claims to have been delivered.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>

#include "app/gui/FrontEnd.h"
#include "app/gui/Notifier.h"
#include "gui/support/GuiTestSupport.h"

using namespace quorvel;
using namespace quorvel::guitest;

class NotifierTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Session> session;
  std::unique_ptr<test::PrivateBus> notifications;
  std::unique_ptr<FrontEnd> frontEnd;
  std::unique_ptr<Notifier> notifier;

  QString uuidOf(const QString& name) const {
    for (const ListedBackup& backup : frontEnd->backups()) {
      if (backup.name == name) return backup.uuid;
    }
    return {};
  }
  // The Notify calls the mock logged (it quotes texts without escaping).
  std::string notifyCalls() const {
    std::string calls;
    const std::string log = test::ReadTextFile((*session) / "notifications/mock.log");
    std::size_t start = 0;
    while ((start = log.find(" Notify ", start)) != std::string::npos) {
      const std::size_t end = log.find('\n', start);
      calls += log.substr(start + 1, end - start);
      start = end;
    }
    return calls;
  }

 private slots:
  void initTestCase() {
    if (test::RunShell("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) QSKIP("python3-dbusmock is needed");
    session = std::make_unique<Session>();
    if (!session->ready()) QSKIP(session->why().c_str());
    std::filesystem::create_directories((*session) / "notifications");
    notifications = std::make_unique<test::PrivateBus>((*session) / "notifications");
    QVERIFY(!notifications->address().empty());
    notifications->startMock("notification_daemon");
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(notifications->address()), "notifications");
    QVERIFY(bus.isConnected());
    QVERIFY(WaitFor([&] { return bus.interface()->isServiceRegistered("org.freedesktop.Notifications").value(); },
                    20000));

    // A destination below a file cannot be made: the backup fails.
    test::WriteFile((*session) / "a-file", "");
    std::filesystem::create_directories((*session) / "source");
    std::string output;
    QVERIFY2(session->quorvel("create broken '" + ((*session) / "source") + "' '" + ((*session) / "a-file/dest") +
                                  "' --no-encryption",
                              &output) == 0,
             output.c_str());
    frontEnd = std::make_unique<FrontEnd>(Session::program());
    notifier = std::make_unique<Notifier>(*frontEnd, nullptr, bus);
    QVERIFY2(WaitFor([&] { return frontEnd->isConnected() && frontEnd->backups().size() == 1; }, 30000),
             qPrintable(frontEnd->serviceText()));
  }

  void cleanupTestCase() {
    notifier.reset();
    frontEnd.reset();
    notifications.reset();
    session.reset();
  }

  void aFailedBackupIsNotified() {
    QSignalSpy delivered(notifier.get(), &Notifier::delivered);
    frontEnd->run(uuidOf("broken"), "backup");
    QVERIFY(WaitFor([&] { return delivered.count() == 1; }, 60000));
    QCOMPARE(delivered.at(0).at(2).value<Notifier::Delivery>(), Notifier::Delivery::Service);
    const std::string calls = notifyCalls();
    QVERIFY2(calls.find("Notify \"Quorvel Varid\" 0 \"quorvel\" \"Backup \"broken\" failed\" \"performBackup did not "
                        "finish.") != std::string::npos,
             calls.c_str());
  }

  void aRetryAfterANetworkErrorIsNotified() {
    QSignalSpy delivered(notifier.get(), &Notifier::delivered);
    // As the connection announces the service's BackupWillRetry signal.
    frontEnd->backupWillRetry(uuidOf("broken").toStdString(), 20, 2, 6);
    frontEnd->backupWillRetry(uuidOf("broken").toStdString(), -1, 0, 0);
    QVERIFY(WaitFor([&] { return delivered.count() == 2; }, 10000));
    const std::string calls = notifyCalls();
    QVERIFY2(calls.find("\"Backup \"broken\" lost its destination\" \"A network error: retrying in less than a "
                        "minute (attempt 2 of 6).\"") != std::string::npos,
             calls.c_str());
    QVERIFY2(calls.find("\"A network error: the backup waits until you retry or cancel it.\"") != std::string::npos,
             calls.c_str());
  }

  void withoutANotificationServiceNothingIsDelivered() {
    // The service's bus has no notification daemon; the test has no tray.
    Notifier alone(*frontEnd, nullptr, QDBusConnection::sessionBus());
    QSignalSpy delivered(&alone, &Notifier::delivered);
    alone.notify("summary", "body");
    QVERIFY(WaitFor([&] { return delivered.count() == 1; }, 30000));
    QCOMPARE(delivered.at(0).at(2).value<Notifier::Delivery>(), Notifier::Delivery::Nowhere);
  }
};

QTEST_MAIN(NotifierTest)
#include "NotifierTest.moc"
