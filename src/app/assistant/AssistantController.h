// AssistantController: the setup assistant's pane engine - creating,
// copying and re-creating backups, and the maintenance actions on an
// existing one - without any widgets. A front end shows the panes by name
// and forwards the user's actions; this class decides what is valid, what
// comes next and what finishing does to the application and the backup.
//
// Panes. The assistant keeps the panes shown so far on a stack, the current
// one last. A pane is a name ("start", "select", "more", "source", "name",
// "encryption", "segment", "destination", "mobileMe", "server", "browser",
// "password", "relocate", "prune", "verify", "reset", "delete") with
// optional hooks looked up under "<name>WillPush", "<name>WillShow",
// "<name>DidHide", "<name>DidPop", a validation "<name>Validate" and a rule
// "<name>NextPane". The front end shows the view "<name>View" and the title
// of the localized key "ASSISTANT_TITLE_<NAME>".
//
// Validation. A validation answers nothing (refused: the pane is marked
// invalid and the interface beeps), an empty text (valid) or the progress
// text of a validation that goes on in the background (validationString()).
// Background work - the segment-size scan, the account check, folder
// listings, the destination check - runs on the application's operation
// queue; its result comes back on the main thread. While it runs the window
// refuses to close and continuing is refused.
//
// Threads. Everything here is main-thread only. The application and the
// interface (both not owned) must outlive the assistant; results that arrive
// after the assistant is gone, or after it was reset, are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Observable.h"
#include "foundation/Value.h"

namespace quorvel {

class Backup;
class DestinationURL;
class OperationQueue;

// The application's string table of the assistant.
inline constexpr const char* kAssistantStringTable = "Assistant";

// The assistant's options, as the start and "more" panes offer them.
enum AssistantOption : int {
  kAssistantOptionNone = 0,
  kAssistantOptionNewBackup = 1,
  kAssistantOptionCopyBackup = 2,
  kAssistantOptionRecreateBackup = 3,
  kAssistantOptionDeleteBackup = 4,
  kAssistantOptionRelocateSource = 5,
  kAssistantOptionChangeDestination = 6,
  kAssistantOptionChangePassword = 7,
  kAssistantOptionPruneDestination = 8,
  kAssistantOptionVerifyBackup = 9,
  kAssistantOptionResetBackup = 10,
  // Opens the assistant without choosing anything.
  kAssistantOptionShowOnly = 11,
};

// The destination pane's choices.
enum AssistantDestinationChoice : int {
  kDestinationChoiceFolder = 0,      // a folder on this machine (or a mounted volume)
  kDestinationChoiceHostedDisk = 1,  // the hosted WebDAV disk service
  kDestinationChoiceServer = 2,      // a server of the kinds the server pane offers
};

// The application tabs the assistant selects when it is done.
inline constexpr int kApplicationFirstTab = 0;
inline constexpr int kApplicationHistoryTab = 2;

// An alert as the front end shows it; texts are localized already.
struct AssistantAlert {
  std::string title;
  std::string message;
  std::string defaultButton;
  std::string alternateButton;  // empty: a single button
  std::string note;             // extra detail (an error message), may be empty
  std::string suppressionKey;   // user default a "do not show again" box sets; empty: no box
};
// Which button closed an alert.
enum AssistantAlertAnswer : int { kAlertDefaultButton = 1, kAlertAlternateButton = 0 };

// What the application gives the assistant (the application controller
// implements it).
class AssistantApplication {
 public:
  virtual ~AssistantApplication() = default;
  virtual std::vector<std::shared_ptr<Backup>> allBackups() const = 0;
  virtual std::shared_ptr<Backup> selectedBackup() const = 0;
  // The list group a backup is shown in (its display name).
  virtual std::string groupNameForBackup(const Backup& backup) const = 0;
  // The queue every command and every background task of the assistant runs on.
  virtual OperationQueue& operationQueue() = 0;
  virtual void addBackup(const std::shared_ptr<Backup>& backup) = 0;
  virtual void removeBackup(const std::shared_ptr<Backup>& backup) = 0;
  // Deletes the stored settings and removes the backup.
  virtual void deleteBackup(const std::shared_ptr<Backup>& backup) = 0;
  virtual void performCommand(int command, const std::shared_ptr<Backup>& backup, const Dictionary& arguments) = 0;
  virtual void selectBackup(const std::shared_ptr<Backup>& backup) = 0;
  virtual void selectTab(int tab) = 0;
  virtual void showMainWindow() = 0;
  virtual void requestQueueCheck() = 0;
};

// What the window gives the assistant (the front end implements it).
class AssistantInterface {
 public:
  virtual ~AssistantInterface() = default;
  virtual void showWindow() = 0;
  // Closes the window when the assistant is done. The assistant then calls
  // windowWillClose itself; the front end calls windowShouldClose and
  // windowWillClose only for closes the user starts.
  virtual void closeWindow() = 0;
  virtual void showPane(const std::string& pane, const std::string& title) = 0;
  virtual void beep() = 0;
  // Shows an alert; `answer` is called once, on the main thread, with the
  // button and the state of the suppression box. It may be called before
  // showAlert returns.
  virtual void showAlert(const AssistantAlert& alert, std::function<void(int button, bool suppress)> answer) = 0;
};

// The segment size (MiB) suggested for files of these sizes (bytes, any
// order): twice the median or the top decile, whichever is larger, in MiB
// plus one; 1 and 2 stay, 3 to 127 are raised to the nearest power of two
// not below them, larger sizes become 128. Nothing when the median or
// the top decile is 0 (no files, or mostly empty ones).
std::optional<std::uint32_t> SuggestedSegmentSize(std::vector<std::uint64_t> sizes);
// The sizes of the regular files below a folder, links not followed;
// unreadable folders are skipped.
std::vector<std::uint64_t> FileSizesInFolder(const std::string& folder);

// A folder on a destination, judged by its entries (folder names end with
// "/"): in locate mode it must hold a backup's revision data, otherwise it
// must be empty but for hidden entries.
bool FolderHoldsBackup(const std::vector<std::string>& entries);
bool FolderIsEmptyButForHiddenEntries(const std::vector<std::string>& entries);

class AssistantController : public Observable {
 public:
  // One entry of the select pane.
  struct BackupEntry {
    std::string title;
    std::shared_ptr<Backup> backup;
    bool enabled = true;
  };

  AssistantController(AssistantApplication& application, AssistantInterface& interface);
  ~AssistantController() override;
  AssistantController(const AssistantController&) = delete;
  AssistantController& operator=(const AssistantController&) = delete;

  // The process's assistant, made on first use with the application and
  // interface given then (later calls ignore them); isLoaded tells whether
  // it exists.
  static AssistantController& sharedAssistantController(AssistantApplication& application,
                                                        AssistantInterface& interface);
  static bool isLoaded();

  // Resets, chooses `option` (unless 0 or kAssistantOptionShowOnly) and goes
  // as far as the option, the backup and the synchronous validations allow;
  // then shows the window.
  void showAtOption(int option, const std::shared_ptr<Backup>& backup);
  void show();
  bool isVisible() const { return visible_; }

  // ---- State -------------------------------------------------------------------
  int currentOption() const { return option_; }
  const std::shared_ptr<Backup>& backup() const { return backup_; }
  DestinationURL* destinationURL() const { return destinationURL_.get(); }
  const std::vector<std::string>& paneStack() const { return paneStack_; }
  std::string currentPane() const { return paneStack_.empty() ? std::string() : paneStack_.back(); }
  bool isFirstPane() const { return firstPane_; }
  bool isLastPane() const { return lastPane_; }
  bool isInvalid() const { return invalid_; }
  const std::optional<std::string>& validationString() const { return validationString_; }
  bool locateMode() const;

  // ---- Actions -----------------------------------------------------------------
  // Start pane: the option (1 to 4, or 5 for the maintenance actions).
  void selectOption(int option);
  // More pane: options 5 to 10; 9 only when the backup has last results.
  void selectMore(int option);
  bool isMoreOptionEnabled(int option) const;
  void nextPane();
  void previousPane();

  // Select pane.
  const std::vector<BackupEntry>& backupEntries() const { return backupEntries_; }
  std::optional<std::size_t> selectedEntry() const { return selectedEntry_; }
  void selectEntry(std::optional<std::size_t> index);

  // Source pane: sets the backup's source when the folder is acceptable.
  // A folder outside the home folder chosen by a user without
  // administrator rights asks first (unless the user suppressed the
  // question); the answer comes later then. False when refused at once.
  bool chooseSourceFolder(const std::string& path);

  // Segment pane: a size the user typed (MiB); no suggestion is made then.
  bool customSegmentSize() const { return customSize_; }
  void setCustomSegmentSize(std::uint32_t mebibytes);

  // Destination pane.
  int destinationChoice() const { return destinationChoice_; }
  void setDestinationChoice(int choice);
  // The folder choice: the folder on this machine the backup goes to (or,
  // in locate mode, is found in). Refused folders show the matching alert.
  bool chooseLocalDestinationFolder(const std::string& path);

  // Browser pane.
  const std::optional<std::vector<std::string>>& directoryContents() const { return directoryContents_; }
  // The path display: the localized root, then the path's components.
  std::vector<std::string> pathComponents() const;
  void loadDirectory(const std::string& entry);
  // Goes to the ancestor shown at this index of pathComponents().
  void loadPathComponent(std::size_t index);
  bool isDeletable() const { return deletable_; }
  // Selects a row of directoryContents(); only folder rows can be selected.
  bool selectDirectoryRow(std::optional<std::size_t> row);
  const std::optional<std::string>& directoryName() const { return directoryName_; }
  void setDirectoryName(const std::optional<std::string>& name) { directoryName_ = name; }
  void createDirectory();
  void deleteDirectory();

  // Password pane: the encryption password entered.
  const std::string& password() const { return password_; }
  void setPassword(const std::string& password) { password_ = password; }

  // Relocate pane.
  const std::optional<std::string>& relocationFolder() const { return relocationFolder_; }
  bool chooseRelocationFolder(const std::string& path);

  // Prune, verify, reset and delete panes: 0 does nothing.
  int choice() const { return choice_; }
  void setChoice(int choice);
  bool isChoiceEnabled(int choice) const;

  // ---- Window --------------------------------------------------------------------
  // Refuses (with a beep) while a background validation runs.
  bool windowShouldClose();
  // The window closes: reset, and let the application look at its queue.
  void windowWillClose();

  // The end of a background validation.
  void didFinishValidating(bool success);

  Value valueForKey(const std::string& key) const override;

 private:
  using Hook = std::function<void()>;
  using Validation = std::function<std::optional<std::string>()>;
  using NextPaneRule = std::function<std::optional<std::string>()>;

  void definePanes();
  void callHook(const std::string& name);
  void pushPane(const std::string& pane);
  void popPane();
  void didChangePane();
  void updateLastPane();
  std::optional<std::string> nextPaneName() const;
  void reset();
  void moveOn();
  void finish();
  void closeAssistant();
  std::string paneTitle(const std::string& pane) const;

  // Background work: `start` answers whether it started; the result comes
  // through the callback given to it only while the assistant lives and
  // has not been reset since.
  std::function<void(std::function<void(AssistantController&)>)> mainThreadPoster();
  std::optional<std::string> startBackground(const char* textKey, const std::function<bool()>& start);
  // A destination callback that reaches `handler` only under the same conditions.
  std::function<void(DestinationURL&, const std::optional<Value>&, const Value&)> resultHandler(
      std::function<void(AssistantController&, const std::optional<Value>&)> handler);
  void endBackground();

  // Validations and their ends.
  std::optional<std::string> validateStart();
  std::optional<std::string> validateSelect();
  std::optional<std::string> validateSegment();
  std::optional<std::string> validateDestination();
  std::optional<std::string> validateAccount();
  std::optional<std::string> validateBrowser();
  std::optional<std::string> validatePassword();
  void didCheckDestination(const std::optional<Value>& results);
  void listBackups();

  // Browser.
  void loadFolder();
  void didLoadFolder(const std::optional<Value>& listing);
  void showAlertForKey(const std::string& prefix, const std::string& note = {},
                       std::function<void(int, bool)> answer = nullptr);
  bool folderIsAcceptable(const std::vector<std::string>& entries, bool showAlert);

  AssistantApplication& application_;
  AssistantInterface& interface_;

  std::map<std::string, Hook> hooks_;
  std::map<std::string, Validation> validations_;
  std::map<std::string, NextPaneRule> nextPaneRules_;

  int option_ = kAssistantOptionNone;
  std::shared_ptr<Backup> backup_;
  std::unique_ptr<DestinationURL> destinationURL_;
  bool firstPane_ = false;
  bool lastPane_ = false;
  bool invalid_ = false;
  bool deletable_ = false;
  bool customSize_ = false;
  bool visible_ = false;
  std::optional<std::string> validationString_;
  std::vector<std::string> paneStack_;
  std::optional<std::vector<std::string>> directoryContents_;
  std::optional<std::string> directoryName_;
  std::optional<std::size_t> selectedRow_;
  std::vector<BackupEntry> backupEntries_;
  std::optional<std::size_t> selectedEntry_;
  std::shared_ptr<Backup> requestedBackup_;
  int destinationChoice_ = kDestinationChoiceServer;
  std::string password_;
  std::optional<std::string> relocationFolder_;
  int choice_ = 0;
  // Changes with every reset, so that late results of an earlier session
  // are dropped.
  std::uint64_t session_ = 0;
  std::shared_ptr<AssistantController*> self_;
};

}  // namespace quorvel
