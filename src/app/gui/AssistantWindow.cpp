#include "app/gui/AssistantWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "FileTransferController/WebDAVTransferController.h"
#include "foundation/LocalizedString.h"
#include "model/Backup.h"
#include "model/DestinationType.h"
#include "model/DestinationURL.h"

namespace quorvel {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QString OptionHelp(int option) {
  return Q(LocalizedString(kAssistantStringTable, "ASSISTANT_OPTION_" + std::to_string(option)));
}

// The server kinds the server pane offers, with their destination types.
struct ServerKind {
  const char* name;
  int type;
  const char* hostHint;
};
constexpr ServerKind kServerKinds[] = {
    {"SFTP (SSH)", kDestinationTypeSFTP, "server or server:port"},
    {"WebDAV over HTTPS", kDestinationTypeSecureWebDAV, "server or server:port"},
    {"WebDAV over HTTP", kDestinationTypeWebDAV, "server or server:port"},
    {"FTP with TLS (FTPS)", kDestinationTypeFTPS, "server or server:port"},
    {"FTP", kDestinationTypeFTP, "server or server:port"},
    {"Amazon S3 or compatible", kDestinationTypeS3, "bucket.s3.amazonaws.com"},
    {"Windows share (SMB)", kDestinationTypeSMB, "server/share"},
    {"AFP share", kDestinationTypeAFP, "server/share"},
};

QLabel* Explanation(const QString& text) {
  auto* label = new QLabel(text);
  label->setWordWrap(true);
  return label;
}

QLineEdit* Field(const char* name, bool secret = false) {
  auto* field = new QLineEdit;
  field->setObjectName(name);
  if (secret) field->setEchoMode(QLineEdit::Password);
  return field;
}

QRadioButton* Radio(QButtonGroup* group, int id, const char* name, const QString& text) {
  auto* button = new QRadioButton(text);
  button->setObjectName(name);
  group->addButton(button, id);
  return button;
}

void CheckSilently(QButtonGroup* group, int id) {
  QSignalBlocker blocker(group);
  if (QAbstractButton* button = group->button(id)) button->setChecked(true);
}

}  // namespace

AssistantWindow::AssistantWindow(AssistantApplication& application, QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Quorvel Varid Assistant"));
  setObjectName("assistantWindow");
  setModal(false);
  resize(640, 480);

  title_ = new QLabel;
  title_->setObjectName("title");
  QFont font = title_->font();
  font.setPointSizeF(font.pointSizeF() * 1.4);
  font.setBold(true);
  title_->setFont(font);
  title_->setWordWrap(true);

  stack_ = new QStackedWidget;
  addPage("start", buildStart());
  addPage("select", buildSelect());
  addPage("more", buildMore());
  addPage("source", buildSource());
  addPage("name", buildName());
  addPage("encryption", buildEncryption());
  addPage("segment", buildSegment());
  addPage("destination", buildDestination());
  addPage("mobileMe", buildHostedDisk());
  addPage("server", buildServer());
  addPage("browser", buildBrowser());
  addPage("password", buildPassword());
  addPage("relocate", buildRelocate());
  for (const char* pane : {"prune", "verify", "reset", "delete"}) addPage(pane, buildChoice(pane));

  busy_ = new QProgressBar;
  busy_->setRange(0, 0);
  busy_->setMaximumWidth(120);
  busy_->setTextVisible(false);
  validationText_ = new QLabel;
  validationText_->setObjectName("validationText");
  back_ = new QPushButton(tr("Go Back"));
  back_->setObjectName("back");
  continue_ = new QPushButton(tr("Continue"));
  continue_->setObjectName("continue");
  continue_->setDefault(true);
  cancel_ = new QPushButton(tr("Cancel"));
  cancel_->setObjectName("cancel");
  connect(back_, &QPushButton::clicked, this, [this] { controller_->previousPane(); });
  connect(continue_, &QPushButton::clicked, this, &AssistantWindow::continuePressed);
  connect(cancel_, &QPushButton::clicked, this, &AssistantWindow::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(busy_);
  buttons->addWidget(validationText_, 1);
  buttons->addWidget(cancel_);
  buttons->addWidget(back_);
  buttons->addWidget(continue_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title_);
  layout->addWidget(stack_, 1);
  layout->addLayout(buttons);

  // The controller talks to the window from its constructor on.
  controller_ = std::make_unique<AssistantController>(application, *this);
  for (const char* key : {"paneStack", "validationString", "invalid", "directoryContents", "lastPane", "firstPane",
                          "deletable", "currentOption", "destinationChoice", "customSegmentSize"}) {
    observers_.push_back(controller_->addObserver(key, 0, [this](const ObservedChange&) { scheduleRefresh(); }));
  }
  loadFields();
  refresh();
}

AssistantWindow::~AssistantWindow() {
  for (const ObserverToken& token : observers_) controller_->removeObserver(token);
  if (alert_) alert_->disconnect(this);
}

void AssistantWindow::addPage(const QString& pane, QWidget* page) {
  page->setObjectName(pane + "Pane");
  pages_[pane] = stack_->addWidget(page);
}

// ---------------------------------------------------------------------------
// Panes

QWidget* AssistantWindow::buildStart() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  options_ = new QButtonGroup(page);
  const QString texts[] = {tr("Create a new backup"), tr("Copy an existing backup"),
                           tr("Re-create a backup from its destination"), tr("Delete a backup"),
                           tr("Maintain an existing backup")};
  for (int option = 1; option <= 5; ++option) {
    layout->addWidget(Radio(options_, option, qPrintable(QString("option%1").arg(option)), texts[option - 1]));
  }
  optionHelp_ = Explanation({});
  layout->addSpacing(12);
  layout->addWidget(optionHelp_);
  layout->addStretch();
  connect(options_, &QButtonGroup::idClicked, this, [this](int option) {
    controller_->selectOption(option);
    refresh();
  });
  return page;
}

QWidget* AssistantWindow::buildSelect() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(Explanation(tr("Choose the backup:")));
  backupEntries_ = new QListWidget;
  backupEntries_->setObjectName("backupEntries");
  layout->addWidget(backupEntries_);
  connect(backupEntries_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) controller_->selectEntry(static_cast<std::size_t>(row));
  });
  return page;
}

QWidget* AssistantWindow::buildMore() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  moreOptions_ = new QButtonGroup(page);
  const QString texts[] = {tr("The source folder has moved"), tr("Move the backup to another destination"),
                           tr("Enter the encryption password again"), tr("Prune the destination"),
                           tr("Verify the backup"), tr("Reset the backup")};
  for (int option = 5; option <= 10; ++option) {
    QRadioButton* button = Radio(moreOptions_, option, qPrintable(QString("more%1").arg(option)), texts[option - 5]);
    button->setToolTip(OptionHelp(option));
    layout->addWidget(button);
  }
  layout->addStretch();
  connect(moreOptions_, &QButtonGroup::idClicked, this, [this](int option) {
    controller_->selectMore(option);
    refresh();
  });
  return page;
}

QWidget* AssistantWindow::buildSource() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(Explanation(tr("Choose the folder to back up. Everything in it is backed up, except what "
                                   "you leave out later in the backup's settings.")));
  auto* row = new QHBoxLayout;
  sourceFolder_ = Field("sourceFolder");
  auto* choose = new QPushButton(tr("Choose..."));
  connect(choose, &QPushButton::clicked, this, [this] { chooseFolder(sourceFolder_); });
  row->addWidget(sourceFolder_, 1);
  row->addWidget(choose);
  layout->addLayout(row);
  layout->addStretch();
  return page;
}

QWidget* AssistantWindow::buildName() {
  auto* page = new QWidget;
  auto* layout = new QFormLayout(page);
  backupName_ = Field("backupName");
  layout->addRow(tr("Name:"), backupName_);
  layout->addRow(Explanation(tr("The name is how the backup appears in the list and on the command line.")));
  return page;
}

QWidget* AssistantWindow::buildEncryption() {
  auto* page = new QWidget;
  auto* layout = new QFormLayout(page);
  encrypt_ = new QCheckBox(tr("Encrypt the backup"));
  encrypt_->setObjectName("encrypt");
  encrypt_->setChecked(true);
  encryptionPassword_ = Field("encryptionPassword", true);
  encryptionConfirmation_ = Field("encryptionConfirmation", true);
  encryptionProblem_ = new QLabel;
  encryptionProblem_->setObjectName("encryptionProblem");
  layout->addRow(encrypt_);
  layout->addRow(tr("Password:"), encryptionPassword_);
  layout->addRow(tr("Again:"), encryptionConfirmation_);
  layout->addRow(encryptionProblem_);
  layout->addRow(Explanation(tr("Without the password nobody can read the backup - you neither. Keep it "
                                "somewhere safe: restoring on another computer asks for it.")));
  connect(encrypt_, &QCheckBox::toggled, this, [this](bool on) {
    encryptionPassword_->setEnabled(on);
    encryptionConfirmation_->setEnabled(on);
  });
  return page;
}

QWidget* AssistantWindow::buildSegment() {
  auto* page = new QWidget;
  auto* layout = new QFormLayout(page);
  layout->addRow(Explanation(tr("Large files are stored in segments, so that a change sends only the segments "
                                "that changed. When you continue, a size is suggested from the sizes of your "
                                "files; or choose one yourself.")));
  customSegment_ = new QCheckBox(tr("Use this size:"));
  customSegment_->setObjectName("customSegment");
  segmentSize_ = new QSpinBox;
  segmentSize_->setObjectName("segmentSize");
  segmentSize_->setRange(1, 128);
  segmentSize_->setSuffix(tr(" MB"));
  layout->addRow(customSegment_, segmentSize_);
  return page;
}

QWidget* AssistantWindow::buildDestination() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  destinationChoices_ = new QButtonGroup(page);
  layout->addWidget(Radio(destinationChoices_, kDestinationChoiceFolder, "destinationFolder",
                          tr("A folder on this computer, a disk or a mounted share")));
  auto* row = new QHBoxLayout;
  destinationPath_ = Field("destinationPath");
  auto* choose = new QPushButton(tr("Choose..."));
  connect(choose, &QPushButton::clicked, this, [this] {
    CheckSilently(destinationChoices_, kDestinationChoiceFolder);
    controller_->setDestinationChoice(kDestinationChoiceFolder);
    chooseFolder(destinationPath_);
  });
  row->addSpacing(24);
  row->addWidget(destinationPath_, 1);
  row->addWidget(choose);
  layout->addLayout(row);
  layout->addWidget(Radio(destinationChoices_, kDestinationChoiceHostedDisk, "destinationHostedDisk",
                          tr("My hosted disk")));
  layout->addWidget(Radio(destinationChoices_, kDestinationChoiceServer, "destinationServer",
                          tr("A server: SFTP, WebDAV, FTP, S3 or a network share")));
  layout->addStretch();
  connect(destinationChoices_, &QButtonGroup::idClicked, this, [this](int choice) {
    controller_->setDestinationChoice(choice);
    refresh();
  });
  connect(destinationPath_, &QLineEdit::textEdited, this, [this] {
    CheckSilently(destinationChoices_, kDestinationChoiceFolder);
    controller_->setDestinationChoice(kDestinationChoiceFolder);
  });
  return page;
}

QWidget* AssistantWindow::buildHostedDisk() {
  auto* page = new QWidget;
  auto* layout = new QFormLayout(page);
  hostedLogin_ = Field("hostedLogin");
  hostedPassword_ = Field("hostedPassword", true);
  layout->addRow(tr("Member name:"), hostedLogin_);
  layout->addRow(tr("Password:"), hostedPassword_);
  return page;
}

QWidget* AssistantWindow::buildServer() {
  auto* page = new QWidget;
  auto* layout = new QFormLayout(page);
  serverKind_ = new QComboBox;
  serverKind_->setObjectName("serverKind");
  for (const ServerKind& kind : kServerKinds) serverKind_->addItem(tr(kind.name), kind.type);
  serverHost_ = Field("serverHost");
  serverPath_ = Field("serverPath");
  serverPath_->setPlaceholderText(tr("/ (the folder to start from)"));
  serverLogin_ = Field("serverLogin");
  serverPassword_ = Field("serverPassword", true);
  layout->addRow(tr("Kind:"), serverKind_);
  layout->addRow(tr("Server:"), serverHost_);
  layout->addRow(tr("Folder:"), serverPath_);
  layout->addRow(tr("User name:"), serverLogin_);
  layout->addRow(tr("Password:"), serverPassword_);
  layout->addRow(Explanation(tr("For S3 the user name is the access key and the password the secret key.")));
  connect(serverKind_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index >= 0) serverHost_->setPlaceholderText(tr(kServerKinds[index].hostHint));
  });
  serverHost_->setPlaceholderText(tr(kServerKinds[0].hostHint));
  return page;
}

QWidget* AssistantWindow::buildBrowser() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  browserPath_ = new QComboBox;
  browserPath_->setObjectName("browserPath");
  browserEntries_ = new QListWidget;
  browserEntries_->setObjectName("browserEntries");
  newFolderName_ = Field("newFolderName");
  newFolderName_->setPlaceholderText(tr("New folder name"));
  createFolder_ = new QPushButton(tr("Create Folder"));
  createFolder_->setObjectName("createFolder");
  deleteFolder_ = new QPushButton(tr("Delete Folder..."));
  deleteFolder_->setObjectName("deleteFolder");
  auto* row = new QHBoxLayout;
  row->addWidget(newFolderName_, 1);
  row->addWidget(createFolder_);
  row->addWidget(deleteFolder_);
  layout->addWidget(browserPath_);
  layout->addWidget(browserEntries_, 1);
  layout->addLayout(row);
  layout->addWidget(Explanation(tr("Open the folder the backup should go to (double-click), or create one.")));

  connect(browserPath_, &QComboBox::activated, this,
          [this](int index) { controller_->loadPathComponent(static_cast<std::size_t>(index)); });
  connect(browserEntries_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    if (item->flags() & Qt::ItemIsEnabled) controller_->loadDirectory(item->text().toStdString());
  });
  connect(browserEntries_, &QListWidget::currentRowChanged, this, [this](int row) {
    controller_->selectDirectoryRow(row < 0 ? std::nullopt : std::optional<std::size_t>(row));
    refresh();
  });
  connect(createFolder_, &QPushButton::clicked, this, [this] {
    const QString name = newFolderName_->text().trimmed();
    if (name.isEmpty() || name.contains('/')) {
      beep();
      return;
    }
    controller_->setDirectoryName(name.toStdString());
    controller_->createDirectory();
    newFolderName_->clear();
  });
  connect(deleteFolder_, &QPushButton::clicked, this, [this] { controller_->deleteDirectory(); });
  return page;
}

QWidget* AssistantWindow::buildPassword() {
  auto* page = new QWidget;
  auto* layout = new QFormLayout(page);
  password_ = Field("password", true);
  layout->addRow(tr("Encryption password:"), password_);
  layout->addRow(Explanation(tr("The password is checked against the backup at its destination.")));
  return page;
}

QWidget* AssistantWindow::buildRelocate() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(Explanation(tr("Choose where the backup's source folder is now.")));
  auto* row = new QHBoxLayout;
  relocationFolder_ = Field("relocationFolder");
  auto* choose = new QPushButton(tr("Choose..."));
  connect(choose, &QPushButton::clicked, this, [this] { chooseFolder(relocationFolder_); });
  row->addWidget(relocationFolder_, 1);
  row->addWidget(choose);
  layout->addLayout(row);
  layout->addStretch();
  return page;
}

QWidget* AssistantWindow::buildChoice(const QString& pane) {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* group = new QButtonGroup(page);
  QStringList texts;
  if (pane == "prune") {
    texts = {tr("Leave the destination as it is"), tr("Remove the files no revision needs")};
  } else if (pane == "verify") {
    texts = {tr("Do not verify now"), tr("Verify every stored file now")};
  } else if (pane == "reset") {
    texts = {tr("Leave the backup as it is"), tr("Forget the history, keep the destination"),
             tr("Delete the backup's data at the destination and start afresh")};
  } else {
    texts = {tr("Keep the backup"), tr("Delete the backup from this computer, keep its data at the destination"),
             tr("Delete the backup and its data at the destination")};
  }
  for (int choice = 0; choice < texts.size(); ++choice) {
    layout->addWidget(Radio(group, choice, qPrintable(QString("choice%1").arg(choice)), texts[choice]));
  }
  layout->addStretch();
  connect(group, &QButtonGroup::idClicked, this, [this](int choice) {
    controller_->setChoice(choice);
    refresh();
  });
  choices_[pane] = group;
  return page;
}

void AssistantWindow::chooseFolder(QLineEdit* field) {
  const QString chosen = QFileDialog::getExistingDirectory(this, tr("Choose a Folder"), field->text());
  if (!chosen.isEmpty()) field->setText(chosen);
}

// ---------------------------------------------------------------------------
// The controller's state on screen

void AssistantWindow::loadFields() {
  const std::shared_ptr<Backup>& backup = controller_->backup();
  DestinationURL* destination = controller_->destinationURL();
  if (pane_ == "source") {
    sourceFolder_->setText(backup ? Q(backup->sourceDirectoryPath()) : QString());
  } else if (pane_ == "name") {
    backupName_->setText(backup ? Q(backup->name()) : QString());
    backupName_->selectAll();
  } else if (pane_ == "encryption") {
    encryptionProblem_->clear();
  } else if (pane_ == "segment") {
    customSegment_->setChecked(controller_->customSegmentSize());
    if (backup) segmentSize_->setValue(static_cast<int>(backup->maximumSegmentSize()));
  } else if (pane_ == "destination") {
    if (destination && destination->type() == kDestinationTypeFolder) destinationPath_->setText(Q(destination->path()));
  } else if (pane_ == "mobileMe" && destination) {
    hostedLogin_->setText(Q(destination->login()));
    hostedPassword_->setText(Q(destination->password()));
  } else if (pane_ == "server" && destination) {
    const int index = serverKind_->findData(destination->type());
    if (index >= 0) serverKind_->setCurrentIndex(index);
    serverHost_->setText(Q(destination->host()));
    serverPath_->setText(Q(destination->path()));
    serverLogin_->setText(Q(destination->login()));
    serverPassword_->setText(Q(destination->password()));
  } else if (pane_ == "password") {
    password_->setText(Q(controller_->password()));
  } else if (pane_ == "relocate") {
    relocationFolder_->setText(Q(controller_->relocationFolder().value_or(backup ? backup->sourceDirectoryPath() : "")));
  } else if (pane_ == "select") {
    QSignalBlocker blocker(backupEntries_);
    backupEntries_->clear();
    for (const AssistantController::BackupEntry& entry : controller_->backupEntries()) {
      auto* item = new QListWidgetItem(Q(entry.title), backupEntries_);
      if (!entry.enabled) item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
    }
    if (auto selected = controller_->selectedEntry()) backupEntries_->setCurrentRow(static_cast<int>(*selected));
  }
}

void AssistantWindow::scheduleRefresh() {
  if (refreshPending_) return;
  refreshPending_ = true;
  QTimer::singleShot(0, this, [this] {
    refreshPending_ = false;
    refresh();
  });
}

void AssistantWindow::refresh() {
  const bool validating = controller_->validationString().has_value();
  busy_->setVisible(validating);
  validationText_->setText(validating ? Q(*controller_->validationString()) : QString());
  back_->setEnabled(!validating && !controller_->isFirstPane());
  continue_->setEnabled(!validating);
  continue_->setText(controller_->isLastPane() ? tr("Done") : tr("Continue"));
  stack_->setEnabled(!validating);

  const int option = controller_->currentOption();
  CheckSilently(options_, option >= 5 ? 5 : option);
  optionHelp_->setText(option > 0 && option <= 4 ? OptionHelp(option) : OptionHelp(5));
  for (int more = 5; more <= 10; ++more) moreOptions_->button(more)->setEnabled(controller_->isMoreOptionEnabled(more));
  CheckSilently(moreOptions_, option);
  CheckSilently(destinationChoices_, controller_->destinationChoice());
  destinationChoices_->button(kDestinationChoiceHostedDisk)->setEnabled(HostedDiskService::configured().exists());
  for (auto& [pane, group] : choices_) {
    for (QAbstractButton* button : group->buttons()) button->setEnabled(controller_->isChoiceEnabled(group->id(button)));
    CheckSilently(group, controller_->choice());
  }
  if (pane_ == "browser") refreshBrowser();
}

void AssistantWindow::refreshBrowser() {
  {
    QSignalBlocker blocker(browserPath_);
    browserPath_->clear();
    // Each entry is the path down to one component, the folder shown last.
    QString path;
    for (const std::string& component : controller_->pathComponents()) {
      path = path.isEmpty() ? Q(component) : path + " / " + Q(component);
      browserPath_->addItem(path);
    }
    browserPath_->setCurrentIndex(browserPath_->count() - 1);
  }
  const auto& contents = controller_->directoryContents();
  QStringList shown;
  for (int row = 0; row < browserEntries_->count(); ++row) shown << browserEntries_->item(row)->text();
  QStringList entries;
  if (contents) {
    for (const std::string& entry : *contents) entries << Q(entry);
  }
  if (entries != shown) {
    QSignalBlocker blocker(browserEntries_);
    browserEntries_->clear();
    for (const QString& entry : entries) {
      auto* item = new QListWidgetItem(entry, browserEntries_);
      // Only folders can be opened or chosen; files are shown greyed.
      if (!entry.endsWith('/')) item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
    }
  }
  deleteFolder_->setEnabled(controller_->isDeletable());
  createFolder_->setEnabled(contents.has_value());
}

// ---------------------------------------------------------------------------
// Continuing

bool AssistantWindow::commitFields() {
  const std::shared_ptr<Backup>& backup = controller_->backup();
  DestinationURL* destination = controller_->destinationURL();
  if (pane_ == "source") {
    const std::string path = sourceFolder_->text().trimmed().toStdString();
    if (backup && backup->sourceDirectoryPath() == path) return true;
    // The controller may ask first (a folder outside the home folder): then
    // the folder is taken, or not, when the question is answered.
    return controller_->chooseSourceFolder(path) && backup && backup->sourceDirectoryPath() == path;
  }
  if (pane_ == "name") {
    if (backup) backup->setName(backupName_->text().trimmed().toStdString());
    return true;
  }
  if (pane_ == "encryption") {
    if (!backup) return false;
    if (!encrypt_->isChecked()) {
      backup->setEncryptionPassword(std::nullopt);
      return true;
    }
    if (encryptionPassword_->text().isEmpty()) {
      encryptionProblem_->setText(tr("Enter a password, or turn encryption off."));
      return false;
    }
    if (encryptionPassword_->text() != encryptionConfirmation_->text()) {
      encryptionProblem_->setText(tr("The two passwords differ."));
      return false;
    }
    encryptionProblem_->clear();
    backup->setEncryptionPassword(encryptionPassword_->text().toStdString());
    return true;
  }
  if (pane_ == "segment") {
    if (customSegment_->isChecked()) controller_->setCustomSegmentSize(static_cast<std::uint32_t>(segmentSize_->value()));
    return true;
  }
  if (pane_ == "destination") {
    controller_->setDestinationChoice(destinationChoices_->checkedId());
    if (controller_->destinationChoice() != kDestinationChoiceFolder) return true;
    return controller_->chooseLocalDestinationFolder(destinationPath_->text().trimmed().toStdString());
  }
  if (pane_ == "mobileMe" && destination) {
    destination->setLogin(hostedLogin_->text().trimmed().toStdString());
    destination->setPassword(hostedPassword_->text().toStdString());
    return true;
  }
  if (pane_ == "server" && destination) {
    const int type = serverKind_->currentData().toInt();
    if (destination->type() != type) destination->setType(type);
    destination->setHost(serverHost_->text().trimmed().toStdString());
    destination->setPath(serverPath_->text().trimmed().toStdString());
    destination->setLogin(serverLogin_->text().trimmed().toStdString());
    destination->setPassword(serverPassword_->text().toStdString());
    return true;
  }
  if (pane_ == "password") {
    controller_->setPassword(password_->text().toStdString());
    return true;
  }
  if (pane_ == "relocate") {
    const std::string path = relocationFolder_->text().trimmed().toStdString();
    if (controller_->relocationFolder() == path) return true;
    return controller_->chooseRelocationFolder(path) && controller_->relocationFolder() == path;
  }
  return true;
}

void AssistantWindow::continuePressed() {
  if (controller_->validationString()) return;
  if (!commitFields()) {
    beep();
    return;
  }
  controller_->nextPane();
  refresh();
}

// ---------------------------------------------------------------------------
// AssistantInterface

void AssistantWindow::showWindow() {
  show();
  raise();
  activateWindow();
}

void AssistantWindow::closeWindow() {
  closing_ = true;
  hide();
  closing_ = false;
  if (alert_) alert_->close();
  emit closed();
}

void AssistantWindow::showPane(const std::string& pane, const std::string& title) {
  pane_ = Q(pane);
  title_->setText(Q(title));
  auto page = pages_.find(pane_);
  if (page != pages_.end()) stack_->setCurrentIndex(page->second);
  // The controller's constructor shows its first pane before it is ours.
  if (!controller_) return;
  loadFields();
  refresh();
}

void AssistantWindow::beep() { QApplication::beep(); }

void AssistantWindow::showAlert(const AssistantAlert& alert, std::function<void(int button, bool suppress)> answer) {
  if (alert_) alert_->close();
  auto* box = new QMessageBox(isVisible() ? this : nullptr);
  box->setObjectName("assistantAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setIcon(QMessageBox::Warning);
  box->setText(Q(alert.title));
  box->setInformativeText(Q(alert.message));
  if (!alert.note.empty()) box->setDetailedText(Q(alert.note));
  QPushButton* defaultButton = box->addButton(Q(alert.defaultButton), QMessageBox::AcceptRole);
  defaultButton->setObjectName("defaultButton");
  box->setDefaultButton(defaultButton);
  if (!alert.alternateButton.empty()) {
    box->addButton(Q(alert.alternateButton), QMessageBox::RejectRole)->setObjectName("alternateButton");
  }
  if (!alert.suppressionKey.empty()) box->setCheckBox(new QCheckBox(tr("Do not show this message again")));
  // Answered once: by a button, or as the alternate (or only) button when
  // the box is closed otherwise.
  auto answered = std::make_shared<bool>(false);
  connect(box, &QMessageBox::finished, this, [this, box, defaultButton, answer, answered] {
    if (*answered) return;
    *answered = true;
    if (alert_ == box) alert_.clear();
    const bool suppress = box->checkBox() && box->checkBox()->isChecked();
    const bool isDefault = box->clickedButton() == defaultButton ||
                           (box->clickedButton() == nullptr && box->buttons().size() == 1);
    answer(isDefault ? kAlertDefaultButton : kAlertAlternateButton, suppress);
    refresh();
  });
  alert_ = box;
  box->open();
}

// ---------------------------------------------------------------------------
// Closing

void AssistantWindow::closeEvent(QCloseEvent* event) {
  if (closing_ || !isVisible()) {
    event->accept();
    return;
  }
  if (!controller_->windowShouldClose()) {
    event->ignore();
    return;
  }
  event->accept();
  controller_->windowWillClose();
  emit closed();
}

void AssistantWindow::reject() { close(); }

}  // namespace quorvel
