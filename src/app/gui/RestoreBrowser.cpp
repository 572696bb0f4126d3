#include "app/gui/RestoreBrowser.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quorvel {

RestoreBrowser::RestoreBrowser(const QString& backupName, std::shared_ptr<const ItemInfo> files, bool erase,
                               bool skipVerification, QWidget* parent)
    : QDialog(parent), files_(std::move(files)) {
  setWindowTitle(tr("Restore \"%1\"").arg(backupName));
  setObjectName("restoreBrowser");

  tree_ = new QTreeWidget;
  tree_->setObjectName("filesTree");
  tree_->setHeaderLabels({tr("Name")});
  tree_->setUniformRowHeights(true);
  tree_->header()->setStretchLastSection(true);
  if (files_) {
    const QSignalBlocker blocker(tree_);
    for (const auto& child : files_->children()) addItem(nullptr, *child, Qt::Unchecked);
  }
  tree_->sortItems(0, Qt::AscendingOrder);
  connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { fillIn(item); });
  connect(tree_, &QTreeWidget::itemChanged, this, [this] { updateButtons(); });

  destination_ = new QLineEdit;
  destination_->setObjectName("destinationEdit");
  destination_->setPlaceholderText(tr("Folder to restore into"));
  connect(destination_, &QLineEdit::textChanged, this, [this] { updateButtons(); });
  auto* choose = new QPushButton(tr("Choose..."));
  choose->setObjectName("chooseButton");
  connect(choose, &QPushButton::clicked, this, [this] {
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Restore into"), destination_->text());
    if (!folder.isEmpty()) destination_->setText(folder);
  });

  erase_ = new QCheckBox(tr("Erase the folder's contents first"));
  erase_->setObjectName("eraseCheck");
  erase_->setChecked(erase);
  skipVerification_ = new QCheckBox(tr("Skip checking the restored files against their digests"));
  skipVerification_->setObjectName("skipVerificationCheck");
  skipVerification_->setChecked(skipVerification);

  restoreAll_ = new QPushButton(tr("Restore All"));
  restoreAll_->setObjectName("restoreAllButton");
  restoreSelected_ = new QPushButton(tr("Restore Selected"));
  restoreSelected_->setObjectName("restoreSelectedButton");
  restoreSelected_->setDefault(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel);
  buttons->addButton(restoreAll_, QDialogButtonBox::ActionRole);
  buttons->addButton(restoreSelected_, QDialogButtonBox::AcceptRole);
  connect(restoreAll_, &QPushButton::clicked, this, [this] { request(true); });
  connect(restoreSelected_, &QPushButton::clicked, this, [this] { request(false); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* into = new QHBoxLayout;
  into->addWidget(new QLabel(tr("Restore into:")));
  into->addWidget(destination_, 1);
  into->addWidget(choose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(tr("Check the files and folders to restore:")));
  layout->addWidget(tree_, 1);
  layout->addLayout(into);
  layout->addWidget(erase_);
  layout->addWidget(skipVerification_);
  layout->addWidget(buttons);
  resize(560, 520);
  updateButtons();
}

QTreeWidgetItem* RestoreBrowser::addItem(QTreeWidgetItem* parent, const ItemInfo& node, Qt::CheckState state) {
  auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree_);
  item->setText(0, QString::fromStdString(node.name()));
  item->setIcon(0, style()->standardIcon(node.isLeaf() ? QStyle::SP_FileIcon : QStyle::SP_DirIcon));
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
  if (!node.isLeaf()) {
    flags |= Qt::ItemIsAutoTristate;
    if (node.count() > 0) item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  }
  item->setFlags(flags);
  item->setCheckState(0, state);
  nodes_[item] = &node;
  return item;
}

void RestoreBrowser::fillIn(QTreeWidgetItem* item) {
  auto node = nodes_.find(item);
  if (node == nodes_.end() || node->second->isLeaf() || filled_[item]) return;
  filled_[item] = true;
  const Qt::CheckState state = item->checkState(0) == Qt::Checked ? Qt::Checked : Qt::Unchecked;
  const QSignalBlocker blocker(tree_);
  for (const auto& child : node->second->children()) addItem(item, *child, state);
  item->sortChildren(0, Qt::AscendingOrder);
}

QTreeWidgetItem* RestoreBrowser::itemForPath(const QString& path) {
  QTreeWidgetItem* found = nullptr;
  for (const QString& name : path.split('/', Qt::SkipEmptyParts)) {
    if (found) fillIn(found);
    const int count = found ? found->childCount() : tree_->topLevelItemCount();
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < count && !next; ++i) {
      QTreeWidgetItem* candidate = found ? found->child(i) : tree_->topLevelItem(i);
      if (candidate->text(0) == name) next = candidate;
    }
    if (!next) return nullptr;
    found = next;
  }
  return found;
}

void RestoreBrowser::collect(QTreeWidgetItem* item, const QString& prefix, QStringList* paths) const {
  const QString path = prefix.isEmpty() ? item->text(0) : prefix + "/" + item->text(0);
  switch (item->checkState(0)) {
    case Qt::Checked:
      paths->append(path);
      break;
    case Qt::PartiallyChecked:
      for (int i = 0; i < item->childCount(); ++i) collect(item->child(i), path, paths);
      break;
    case Qt::Unchecked:
      break;
  }
}

QStringList RestoreBrowser::chosenPaths() const {
  QStringList paths;
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) collect(tree_->topLevelItem(i), QString(), &paths);
  return paths;
}

void RestoreBrowser::updateButtons() {
  const bool haveFolder = !destination_->text().trimmed().isEmpty();
  restoreAll_->setEnabled(haveFolder && files_);
  restoreSelected_->setEnabled(haveFolder && !chosenPaths().isEmpty());
}

void RestoreBrowser::request(bool everything) {
  const QString destination = QDir::cleanPath(destination_->text().trimmed());
  if (!QFileInfo(destination).isDir()) {
    QMessageBox::warning(this, windowTitle(), tr("\"%1\" is not a folder.").arg(destination));
    return;
  }
  emit restoreRequested(everything ? QStringList() : chosenPaths(), destination, erase_->isChecked(),
                        skipVerification_->isChecked());
  accept();
}

}  // namespace quorvel
