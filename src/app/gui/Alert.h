// Alerts of the desktop application, worded by the string table
// "Localizable": an alert KEY has the entries KEY_TITLE, KEY_MESSAGE,
// KEY_DEFAULT_BUTTON and KEY_ALTERNATE_BUTTON, and may have KEY_OTHER_BUTTON
// (a third choice) and KEY_SUPPRESS (a "do not ask again" box).
//
// Object names, for tests and the accessibility tree: the box is
// "<key>Alert" in lower case ("quitAlert"), its buttons "defaultButton",
// "alternateButton" and "otherButton", the box "suppressBox".
//
// Threads: the interface thread.
#pragma once

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace quorvel {

// The text for key in "Localizable"; "%@" placeholders, in order, take `args`.
QString LocalizedText(const char* key, const QStringList& args = {});

// A modal alert; its parts are owned by the box.
class Alert : public QMessageBox {
 public:
  enum Choice { Default, Alternate, Other };

  Alert(const QString& key, QMessageBox::Icon icon, QWidget* parent = nullptr, const QStringList& messageArgs = {});

  // Shows the alert and waits for the answer (the alternate button when it
  // was closed otherwise).
  Choice ask();
  // Whether the "do not ask again" box is there and checked.
  bool suppressed() const { return suppress_ && suppress_->isChecked(); }

 private:
  QPushButton* defaultButton_;
  QPushButton* alternateButton_;
  QPushButton* otherButton_ = nullptr;
  QCheckBox* suppress_ = nullptr;
};

}  // namespace quorvel
