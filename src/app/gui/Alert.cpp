#include "app/gui/Alert.h"

#include <optional>

#include "foundation/LocalizedString.h"

namespace quorvel {

namespace {

constexpr const char* kStrings = "Localizable";

std::optional<QString> Lookup(const QString& key) {
  std::optional<std::string> text = LookupLocalizedString(kStrings, key.toStdString());
  if (!text) return std::nullopt;
  return QString::fromStdString(*text);
}

}  // namespace

QString LocalizedText(const char* key, const QStringList& args) {
  QString text = QString::fromStdString(LocalizedString(kStrings, key));
  for (const QString& arg : args) {
    const qsizetype at = text.indexOf("%@");
    if (at < 0) break;
    text.replace(at, 2, arg);
  }
  return text;
}

Alert::Alert(const QString& key, QMessageBox::Icon icon, QWidget* parent, const QStringList& messageArgs)
    : QMessageBox(parent) {
  setObjectName(key.toLower() + "Alert");
  setIcon(icon);
  setWindowTitle(tr("Quorvel Varid"));
  setText(LocalizedText((key + "_TITLE").toUtf8().constData()));
  setInformativeText(LocalizedText((key + "_MESSAGE").toUtf8().constData(), messageArgs));
  defaultButton_ = addButton(LocalizedText((key + "_DEFAULT_BUTTON").toUtf8().constData()), QMessageBox::AcceptRole);
  defaultButton_->setObjectName("defaultButton");
  if (std::optional<QString> other = Lookup(key + "_OTHER_BUTTON")) {
    otherButton_ = addButton(*other, QMessageBox::DestructiveRole);
    otherButton_->setObjectName("otherButton");
  }
  alternateButton_ = addButton(LocalizedText((key + "_ALTERNATE_BUTTON").toUtf8().constData()), QMessageBox::RejectRole);
  alternateButton_->setObjectName("alternateButton");
  if (std::optional<QString> suppress = Lookup(key + "_SUPPRESS")) {
    suppress_ = new QCheckBox(*suppress);
    suppress_->setObjectName("suppressBox");
    setCheckBox(suppress_);
  }
  setDefaultButton(defaultButton_);
  setEscapeButton(alternateButton_);
}

Alert::Choice Alert::ask() {
  exec();
  if (clickedButton() == defaultButton_) return Default;
  if (otherButton_ && clickedButton() == otherButton_) return Other;
  return Alternate;
}

}  // namespace quorvel
