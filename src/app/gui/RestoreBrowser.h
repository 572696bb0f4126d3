// RestoreBrowser: the files of a backup's last successful run as a tree with
// check boxes, a destination folder, and the erase and skip-verification
// choices. "Restore All" asks for everything, "Restore Selected" for the
// checked items: a checked folder stands for everything in it, a partly
// checked one for its checked descendants. Folders are filled in when first
// opened, so that a tree of a million names opens at once.
//
// The browser only asks (restoreRequested); running the restore is the
// caller's. Object names: "filesTree", "destinationEdit", "chooseButton",
// "eraseCheck", "skipVerificationCheck", "restoreAllButton",
// "restoreSelectedButton".
#pragma once

#include <QDialog>
#include <QStringList>
#include <map>
#include <memory>

#include "model/ItemInfo.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace quorvel {

class RestoreBrowser : public QDialog {
  Q_OBJECT

 public:
  RestoreBrowser(const QString& backupName, std::shared_ptr<const ItemInfo> files, bool erase, bool skipVerification,
                 QWidget* parent = nullptr);

  // The checked items as paths relative to the backed-up folder ("docs",
  // "docs/a.txt"), each once, without the descendants of a checked folder.
  QStringList chosenPaths() const;
  // The item of a path relative to the backed-up folder, filling in folders
  // on the way; null when the backup holds no such item.
  QTreeWidgetItem* itemForPath(const QString& path);

 signals:
  // paths: empty for everything.
  void restoreRequested(const QStringList& paths, const QString& destination, bool erase, bool skipVerification);

 private:
  void fillIn(QTreeWidgetItem* item);
  QTreeWidgetItem* addItem(QTreeWidgetItem* parent, const ItemInfo& node, Qt::CheckState state);
  void collect(QTreeWidgetItem* item, const QString& prefix, QStringList* paths) const;
  void request(bool everything);
  void updateButtons();

  std::shared_ptr<const ItemInfo> files_;
  // The node each row shows; rows of folders not yet filled in are absent
  // from filled_.
  std::map<const QTreeWidgetItem*, const ItemInfo*> nodes_;
  std::map<const QTreeWidgetItem*, bool> filled_;
  QTreeWidget* tree_;
  QLineEdit* destination_;
  QCheckBox* erase_;
  QCheckBox* skipVerification_;
  QPushButton* restoreAll_;
  QPushButton* restoreSelected_;
};

}  // namespace quorvel
