// Notifier: desktop notifications for what happens while the window may be
// closed - a backup's command failed (FrontEnd::commandFinished with a
// result whose "success" is false, as the window reads it), or a network
// error made it wait for a retry (FrontEnd::backupRetrying).
//
// A notification goes to org.freedesktop.Notifications (its Notify method)
// on the given bus, asynchronously. When no notification service answers
// (none runs and none can be started), it goes to the tray icon's balloon
// (QSystemTrayIcon::showMessage) when there is one, else nowhere.
//
// Threads: the interface thread. The front end and the tray icon are not
// owned; the front end must outlive the notifier, the icon may go first.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include "foundation/Value.h"

namespace quorvel {

class FrontEnd;

class Notifier : public QObject {
  Q_OBJECT

 public:
  enum class Delivery { Service, Tray, Nowhere };
  Q_ENUM(Delivery)

  Notifier(FrontEnd& frontEnd, QSystemTrayIcon* fallback, const QDBusConnection& bus = QDBusConnection::sessionBus(),
           QObject* parent = nullptr);

  // Sends one notification; the outcome comes with `delivered`.
  void notify(const QString& summary, const QString& body);

 signals:
  void delivered(const QString& summary, const QString& body, quorvel::Notifier::Delivery how);

 private:
  void commandFinished(const QString& uuid, int command, bool cancelled, const Dictionary& results,
                       const QStringList& errorMessages);
  void backupRetrying(const QString& uuid, double seconds, unsigned attempt, unsigned maximum);
  void deliverToTray(const QString& summary, const QString& body);
  QString nameOf(const QString& uuid) const;

  FrontEnd& frontEnd_;
  QPointer<QSystemTrayIcon> fallback_;
  QDBusConnection bus_;
};

}  // namespace quorvel
