#include "app/gui/Notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "app/CommandProgress.h"
#include "app/gui/Alert.h"
#include "app/gui/FrontEnd.h"
#include "engine/BackupController.h"

namespace quorvel {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

}  // namespace

Notifier::Notifier(FrontEnd& frontEnd, QSystemTrayIcon* fallback, const QDBusConnection& bus, QObject* parent)
    : QObject(parent), frontEnd_(frontEnd), fallback_(fallback), bus_(bus) {
  connect(&frontEnd_, &FrontEnd::commandFinished, this, &Notifier::commandFinished);
  connect(&frontEnd_, &FrontEnd::backupRetrying, this, &Notifier::backupRetrying);
}

QString Notifier::nameOf(const QString& uuid) const {
  const ListedBackup* backup = frontEnd_.backup(uuid);
  return backup ? backup->name : uuid;
}

void Notifier::commandFinished(const QString& uuid, int command, bool cancelled, const Dictionary& results,
                               const QStringList& errorMessages) {
  if (cancelled || !results.find("success") || results.get("success").asBool()) return;
  QString body = LocalizedText(
      "NOTIFY_FAILED_MESSAGE", {QString::fromStdString(BackupController::nameForCommand(command).value_or("?"))});
  if (!errorMessages.isEmpty()) body += "\n" + errorMessages.first();
  notify(LocalizedText("NOTIFY_FAILED_TITLE", {nameOf(uuid)}), body);
}

void Notifier::backupRetrying(const QString& uuid, double seconds, unsigned attempt, unsigned maximum) {
  const QString body =
      seconds < 0 ? LocalizedText("NOTIFY_QUESTION_MESSAGE")
                  : LocalizedText("NOTIFY_RETRY_MESSAGE",
                                  {QString::fromStdString(CommandProgress::ApproximateDuration(seconds)),
                                   QString::number(attempt), QString::number(maximum)});
  notify(LocalizedText("NOTIFY_RETRY_TITLE", {nameOf(uuid)}), body);
}

void Notifier::notify(const QString& summary, const QString& body) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  // (-1: the service's own).
  call << QStringLiteral("Quorvel Varid") << quint32(0) << QStringLiteral("quorvel") << summary << body
       << QStringList() << QVariantMap() << qint32(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, summary, body](QDBusPendingCallWatcher* done) {
    done->deleteLater();
    if (done->isError()) {
      deliverToTray(summary, body);
      return;
    }
    emit delivered(summary, body, Delivery::Service);
  });
}

void Notifier::deliverToTray(const QString& summary, const QString& body) {
  if (!fallback_ || !fallback_->isVisible()) {
    emit delivered(summary, body, Delivery::Nowhere);
    return;
  }
  fallback_->showMessage(summary, body, QSystemTrayIcon::Warning);
  emit delivered(summary, body, Delivery::Tray);
}

}  // namespace quorvel
