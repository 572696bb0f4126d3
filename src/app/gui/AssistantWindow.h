// AssistantWindow: the setup assistant's window - one page per pane of the
// AssistantController, which decides everything (what is valid, what comes
// next, what finishing does). The window shows the pane the controller
// names, hands the user's input to it before asking for the next pane, and
// shows the controller's alerts and the progress text of its background
// checks, during which it refuses to close.
//
// Input is handed over when the user continues: the fields of a pane are
// read into the controller (name, password, folders, server) and only if
// the controller accepts them does it move on. A refused folder shows the
// controller's alert and leaves the pane as it is.
//
// Widgets reached by tests and screenshots carry object names: "title",
// "back", "continue", "cancel", "validationText"; per pane the option
// buttons "option1".."option5" (start), "more5".."more10", "backupEntries"
// (select), "sourceFolder", "backupName", "encrypt", "encryptionPassword",
// "encryptionConfirmation", "segmentSize", "customSegment",
// "destinationFolder", "destinationHostedDisk", "destinationServer",
// "destinationPath", "hostedLogin", "hostedPassword", "serverKind",
// "serverHost", "serverPath", "serverLogin", "serverPassword", "browserPath",
// "browserEntries", "newFolderName", "createFolder", "deleteFolder",
// "password", "relocationFolder", "choice0".."choice2".
//
// Threads: the interface thread. The controller's background results reach
// it through the process's main run loop, which a RunLoopBridge must serve.
// The application (not owned) must outlive the window.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <map>
#include <memory>

#include "app/assistant/AssistantController.h"
#include "foundation/Observable.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QStackedWidget;

namespace quorvel {

class AssistantWindow : public QDialog, public AssistantInterface {
  Q_OBJECT

 public:
  explicit AssistantWindow(AssistantApplication& application, QWidget* parent = nullptr);
  ~AssistantWindow() override;

  AssistantController& controller() { return *controller_; }
  // The alert waiting for an answer, null when none.
  QMessageBox* alert() const { return alert_.data(); }
  // The pane shown ("start", "source" ...).
  QString pane() const { return pane_; }

  // AssistantInterface.
  void showWindow() override;
  void closeWindow() override;
  void showPane(const std::string& pane, const std::string& title) override;
  void beep() override;
  void showAlert(const AssistantAlert& alert, std::function<void(int button, bool suppress)> answer) override;

 signals:
  // The window closed (done or given up): the application may forget what
  // it read for the assistant.
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  QWidget* buildStart();
  QWidget* buildSelect();
  QWidget* buildMore();
  QWidget* buildSource();
  QWidget* buildName();
  QWidget* buildEncryption();
  QWidget* buildSegment();
  QWidget* buildDestination();
  QWidget* buildHostedDisk();
  QWidget* buildServer();
  QWidget* buildBrowser();
  QWidget* buildPassword();
  QWidget* buildRelocate();
  QWidget* buildChoice(const QString& pane);
  void addPage(const QString& pane, QWidget* page);

  // Fills the shown pane's fields from the controller (when it is shown).
  void loadFields();
  // Enables, checks and lists what the controller's state says; called
  // whenever the controller announces a change.
  void refresh();
  void scheduleRefresh();
  void refreshBrowser();
  // Hands the shown pane's fields to the controller; false when it refused
  // them (it has said why).
  bool commitFields();
  void continuePressed();
  void chooseFolder(QLineEdit* field);

  std::unique_ptr<AssistantController> controller_;
  std::vector<ObserverToken> observers_;
  bool refreshPending_ = false;
  bool closing_ = false;
  QString pane_;
  std::map<QString, int> pages_;

  QLabel* title_;
  QStackedWidget* stack_;
  QProgressBar* busy_;
  QLabel* validationText_;
  QPushButton* back_;
  QPushButton* continue_;
  QPushButton* cancel_;
  QPointer<QMessageBox> alert_;

  QButtonGroup* options_;
  QLabel* optionHelp_;
  QListWidget* backupEntries_;
  QButtonGroup* moreOptions_;
  QLineEdit* sourceFolder_;
  QLineEdit* backupName_;
  QCheckBox* encrypt_;
  QLineEdit* encryptionPassword_;
  QLineEdit* encryptionConfirmation_;
  QLabel* encryptionProblem_;
  QSpinBox* segmentSize_;
  QCheckBox* customSegment_;
  QButtonGroup* destinationChoices_;
  QLineEdit* destinationPath_;
  QLineEdit* hostedLogin_;
  QLineEdit* hostedPassword_;
  QComboBox* serverKind_;
  QLineEdit* serverHost_;
  QLineEdit* serverPath_;
  QLineEdit* serverLogin_;
  QLineEdit* serverPassword_;
  QComboBox* browserPath_;
  QListWidget* browserEntries_;
  QLineEdit* newFolderName_;
  QPushButton* createFolder_;
  QPushButton* deleteFolder_;
  QLineEdit* password_;
  QLineEdit* relocationFolder_;
  std::map<QString, QButtonGroup*> choices_;
};

}  // namespace quorvel
