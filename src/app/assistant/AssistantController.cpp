#include "app/assistant/AssistantController.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "engine/BackupController.h"
#include "foundation/Format.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/LocalizedString.h"
#include "foundation/OperationQueue.h"
#include "foundation/RunLoop.h"
#include "foundation/Unicode.h"
#include "foundation/UserDefaults.h"
#include "FileTransferController/FileTransferController.h"
#include "model/Backup.h"
#include "model/DestinationType.h"
#include "model/DestinationURL.h"

namespace quorvel {

namespace {

constexpr const char* kSuppressPrivilegesAlertKey = "suppressAlert_Privileges";
constexpr const char* kRevisionPrefix = "Revision_";
// The segment size a backup without one starts the segment pane with (MiB).
constexpr std::uint32_t kInitialSegmentSize = 10;

std::string Localized(const std::string& key) { return LocalizedString(kAssistantStringTable, key); }

bool CaseInsensitiveLess(const std::string& a, const std::string& b) {
  const std::u16string left = Utf16FromUtf8(a);
  const std::u16string right = Utf16FromUtf8(b);
  UErrorCode status = U_ZERO_ERROR;
  const int order = u_strCaseCompare(left.data(), static_cast<int32_t>(left.size()), right.data(),
                                     static_cast<int32_t>(right.size()), U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return a < b;
  return order < 0;
}

std::string Uppercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The entries of a local folder as the browser shows them (folders with
// "/"), or nothing when it cannot be read.
std::optional<std::vector<std::string>> LocalFolderEntries(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (!directory) return std::nullopt;
  std::vector<std::string> entries;
  while (dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back(IsDirectory(path + "/" + name) ? name + "/" : name);
  }
  closedir(directory);
  return entries;
}

std::string HomeFolder() {
  if (const char* home = getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid())) return entry->pw_dir;
  return "/";
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
  const std::string base = std::filesystem::path(folder).lexically_normal().string();
  const std::string item = std::filesystem::path(path).lexically_normal().string();
  if (base == "/") return true;
  const std::string prefix = base.ends_with('/') ? base : base + "/";
  return item == base || item.starts_with(prefix) || item + "/" == prefix;
}

// Administrators are the members of the groups that may use sudo (or of
// "admin"); asked once per process.
bool IsAdministrator() {
  static const bool administrator = [] {
    if (geteuid() == 0) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    if (!groups.empty()) groups.resize(static_cast<std::size_t>(std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    groups.push_back(getegid());
    for (const char* name : {"sudo", "wheel", "admin"}) {
      if (const group* entry = getgrnam(name)) {
        if (std::find(groups.begin(), groups.end(), entry->gr_gid) != groups.end()) return true;
      }
    }
    return false;
  }();
  return administrator;
}

std::string LastPathComponentWithoutExtension(const std::string& path) {
  std::filesystem::path item(path);
  while (!item.empty() && item.filename().empty() && item != item.root_path()) item = item.parent_path();
  std::string name = item.filename().string();
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

std::string JoinPath(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) path += "/" + component;
  return path;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) components.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return components;
}

AssistantController* sharedInstance = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Folder rules and the segment-size suggestion

std::optional<std::uint32_t> SuggestedSegmentSize(std::vector<std::uint64_t> sizes) {
  std::sort(sizes.begin(), sizes.end());
  const std::size_t count = sizes.size();
  std::uint64_t median = 0;
  std::uint64_t topDecile = 0;
  if (count == 1) {
    median = topDecile = sizes[0];
  } else if (count > 1) {
    median = count % 2 ? sizes[count / 2] : (sizes[count / 2 - 1] + sizes[count / 2]) / 2;
    const std::size_t decile = 9 * count / 10;
    topDecile = count % 10 ? sizes[decile] : (sizes[decile - 1] + sizes[decile]) / 2;
  }
  if (median == 0 || topDecile == 0) return std::nullopt;
  const std::uint64_t largest = std::max(topDecile, 2 * median);
  const std::uint64_t mebibytes = (largest >> 20) + 1;
  if (mebibytes <= 2) return static_cast<std::uint32_t>(mebibytes);
  if (mebibytes > 127) return 128;
  std::uint32_t power = 4;
  while (power < mebibytes) power <<= 1;
  return power;
}

std::vector<std::uint64_t> FileSizesInFolder(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::uint64_t> sizes;
  std::error_code error;
  fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    struct stat info {};
    if (lstat(walk->path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      sizes.push_back(static_cast<std::uint64_t>(info.st_size));
    }
  }
  return sizes;
}

bool FolderHoldsBackup(const std::vector<std::string>& entries) {
  return std::any_of(entries.begin(), entries.end(),
                     [](const std::string& entry) { return entry.starts_with(kRevisionPrefix); });
}

bool FolderIsEmptyButForHiddenEntries(const std::vector<std::string>& entries) {
  return std::all_of(entries.begin(), entries.end(), [](const std::string& entry) { return entry.starts_with('.'); });
}

// ---------------------------------------------------------------------------
// Life

AssistantController::AssistantController(AssistantApplication& application, AssistantInterface& interface)
    : application_(application), interface_(interface), self_(std::make_shared<AssistantController*>(this)) {
  definePanes();
  reset();
}

AssistantController::~AssistantController() {
  *self_ = nullptr;
  if (sharedInstance == this) sharedInstance = nullptr;
}

AssistantController& AssistantController::sharedAssistantController(AssistantApplication& application,
                                                                   AssistantInterface& interface) {
  if (!sharedInstance) sharedInstance = new AssistantController(application, interface);
  return *sharedInstance;
}

bool AssistantController::isLoaded() { return sharedInstance != nullptr; }

void AssistantController::showAtOption(int option, const std::shared_ptr<Backup>& backup) {
  reset();
  if (option != kAssistantOptionNone && option != kAssistantOptionShowOnly) {
    requestedBackup_ = backup;
    selectOption(option);
    nextPane();
    if (currentPane() == "select" && backup) {
      auto found = std::find_if(backupEntries_.begin(), backupEntries_.end(),
                                [&](const BackupEntry& entry) { return entry.backup == backup; });
      if (found != backupEntries_.end()) {
        selectEntry(static_cast<std::size_t>(found - backupEntries_.begin()));
        nextPane();
      }
    }
    if (currentPane() == "more") {
      selectMore(option);
      nextPane();
    }
  }
  show();
}

void AssistantController::show() {
  visible_ = true;
  interface_.showWindow();
}

// ---------------------------------------------------------------------------
// The panes and their rules

void AssistantController::definePanes() {
  const auto forNewBackup = [this](const char* pane) -> NextPaneRule {
    return [this, pane]() -> std::optional<std::string> {
      if (option_ == kAssistantOptionNewBackup || option_ == kAssistantOptionCopyBackup) return std::string(pane);
      return std::nullopt;
    };
  };
  const auto choosesDestination = [this] {
    return option_ == kAssistantOptionNewBackup || option_ == kAssistantOptionCopyBackup ||
           option_ == kAssistantOptionRecreateBackup || option_ == kAssistantOptionChangeDestination;
  };

  // start
  hooks_["startWillPush"] = [this] { selectOption(kAssistantOptionNewBackup); };
  hooks_["startDidPop"] = [this] {
    backup_.reset();
    // The description may be calling back into the assistant right now
    // (a check that finished the assistant): let go of it afterwards.
    if (destinationURL_) {
      PerformOnMainThread([released = std::shared_ptr<DestinationURL>(std::move(destinationURL_))] {});
    }
    setAndAnnounce("currentOption", option_, static_cast<int>(kAssistantOptionNone));
    customSize_ = false;
  };
  validations_["startValidate"] = [this] { return validateStart(); };
  nextPaneRules_["startNextPane"] = [this]() -> std::optional<std::string> {
    if (option_ == kAssistantOptionNewBackup) return "source";
    if (option_ == kAssistantOptionRecreateBackup) return "destination";
    return "select";
  };

  // select
  hooks_["selectWillShow"] = [this] { listBackups(); };
  hooks_["selectDidHide"] = [this] {
    backupEntries_.clear();
    selectedEntry_.reset();
  };
  validations_["selectValidate"] = [this] { return validateSelect(); };
  nextPaneRules_["selectNextPane"] = [this]() -> std::optional<std::string> {
    if (option_ == kAssistantOptionCopyBackup) return "source";
    if (option_ == kAssistantOptionDeleteBackup) return "delete";
    return "more";
  };

  // more
  hooks_["moreWillShow"] = [this] {
    if (option_ < kAssistantOptionRelocateSource) {
      setAndAnnounce("currentOption", option_, static_cast<int>(kAssistantOptionRelocateSource));
    }
  };
  nextPaneRules_["moreNextPane"] = [this]() -> std::optional<std::string> {
    switch (option_) {
      case kAssistantOptionRelocateSource: return "relocate";
      case kAssistantOptionChangeDestination: return "destination";
      case kAssistantOptionChangePassword: return "password";
      case kAssistantOptionPruneDestination: return "prune";
      case kAssistantOptionVerifyBackup: return "verify";
      case kAssistantOptionResetBackup: return "reset";
      default: return std::nullopt;
    }
  };

  // source, name, encryption, segment
  validations_["sourceValidate"] = [this]() -> std::optional<std::string> {
    if (!backup_ || backup_->sourceDirectoryPath().empty()) return std::nullopt;
    return std::string();
  };
  nextPaneRules_["sourceNextPane"] = forNewBackup("name");
  hooks_["nameWillPush"] = [this] {
    if (backup_ && backup_->name().empty()) {
      backup_->setName(LastPathComponentWithoutExtension(backup_->sourceDirectoryPath()));
    }
  };
  validations_["nameValidate"] = [this]() -> std::optional<std::string> {
    if (!backup_ || backup_->name().empty()) return std::nullopt;
    return std::string();
  };
  nextPaneRules_["nameNextPane"] = forNewBackup("encryption");
  nextPaneRules_["encryptionNextPane"] = forNewBackup("segment");
  hooks_["segmentWillPush"] = [this] {
    if (backup_ && backup_->maximumSegmentSize() == 0) backup_->setMaximumSegmentSize(kInitialSegmentSize);
    setAndAnnounce("customSegmentSize", customSize_, false);
  };
  validations_["segmentValidate"] = [this] { return validateSegment(); };
  nextPaneRules_["segmentNextPane"] = forNewBackup("destination");

  // destination, mobileMe, server, browser
  hooks_["destinationWillPush"] = [this] {
    int choice = kDestinationChoiceServer;
    if (destinationURL_ && destinationURL_->type() == kDestinationTypeHostedDisk) {
      choice = kDestinationChoiceHostedDisk;
    } else if (destinationURL_ && destinationURL_->type() == kDestinationTypeFolder && destinationURL_->url()) {
      choice = kDestinationChoiceFolder;
    }
    setDestinationChoice(choice);
  };
  validations_["destinationValidate"] = [this] { return validateDestination(); };
  nextPaneRules_["destinationNextPane"] = [this, choosesDestination]() -> std::optional<std::string> {
    if (!choosesDestination()) return std::nullopt;
    if (destinationChoice_ == kDestinationChoiceFolder) {
      if (option_ == kAssistantOptionRecreateBackup) return "password";
      return std::nullopt;
    }
    // The validation has made the type 7 exactly for this choice.
    if (destinationChoice_ == kDestinationChoiceHostedDisk) return "mobileMe";
    return "server";
  };
  hooks_["mobileMeWillShow"] = [this] {
    if (destinationURL_) destinationURL_->setPath("");
  };
  validations_["mobileMeValidate"] = [this]() -> std::optional<std::string> {
    if (!destinationURL_) return std::nullopt;
    const std::string login = destinationURL_->login();
    if (const std::size_t at = login.find('@'); at != std::string::npos) destinationURL_->setLogin(login.substr(0, at));
    return validateAccount();
  };
  validations_["serverValidate"] = [this] { return validateAccount(); };
  const NextPaneRule toBrowser = [this, choosesDestination]() -> std::optional<std::string> {
    if (choosesDestination()) return "browser";
    return std::nullopt;
  };
  nextPaneRules_["mobileMeNextPane"] = toBrowser;
  nextPaneRules_["serverNextPane"] = toBrowser;
  hooks_["browserWillPush"] = [this] { loadFolder(); };
  validations_["browserValidate"] = [this] { return validateBrowser(); };
  nextPaneRules_["browserNextPane"] = [this]() -> std::optional<std::string> {
    if (option_ == kAssistantOptionRecreateBackup) return "password";
    return std::nullopt;
  };

  // password, relocate, and the panes of a single choice
  validations_["passwordValidate"] = [this] { return validatePassword(); };
  hooks_["relocateWillPush"] = [this] { relocationFolder_.reset(); };
  validations_["relocateValidate"] = [this]() -> std::optional<std::string> {
    if (!relocationFolder_) return std::nullopt;
    return std::string();
  };
  for (const char* pane : {"prune", "verify", "reset", "delete"}) {
    hooks_[std::string(pane) + "WillPush"] = [this] { choice_ = 0; };
  }
}

void AssistantController::callHook(const std::string& name) {
  auto hook = hooks_.find(name);
  if (hook != hooks_.end()) hook->second();
}

void AssistantController::pushPane(const std::string& pane) {
  callHook(pane + "WillPush");
  const std::string previous = currentPane();
  willChangeValueForKey("paneStack");
  paneStack_.push_back(pane);
  didChangeValueForKey("paneStack");
  didChangePane();
  if (!previous.empty()) callHook(previous + "DidHide");
}

void AssistantController::popPane() {
  if (paneStack_.empty()) return;
  const std::string top = paneStack_.back();
  callHook(top + "DidPop");
  callHook(top + "DidHide");
  willChangeValueForKey("paneStack");
  paneStack_.pop_back();
  didChangeValueForKey("paneStack");
  if (!paneStack_.empty()) didChangePane();
}

void AssistantController::didChangePane() {
  const std::string pane = currentPane();
  callHook(pane + "WillShow");
  interface_.showPane(pane, paneTitle(pane));
  setAndAnnounce("firstPane", firstPane_, paneStack_.size() == 1);
  updateLastPane();
}

void AssistantController::updateLastPane() { setAndAnnounce("lastPane", lastPane_, !nextPaneName().has_value()); }

std::optional<std::string> AssistantController::nextPaneName() const {
  auto rule = nextPaneRules_.find(currentPane() + "NextPane");
  if (rule == nextPaneRules_.end()) return std::nullopt;
  return rule->second();
}

std::string AssistantController::paneTitle(const std::string& pane) const {
  std::string subject;
  if (backup_ && !backup_->name().empty()) {
    subject = backup_->name();
  } else if (destinationURL_) {
    if (std::optional<Url> url = destinationURL_->url()) {
      std::optional<Url> shown = url->URLByDeletingUserAndPassword();
      subject = (shown ? *shown : *url).absoluteString();
    }
  }
  return Format(Localized("ASSISTANT_TITLE_" + Uppercase(pane)), subject);
}

void AssistantController::reset() {
  ++session_;
  while (!paneStack_.empty()) popPane();
  setAndAnnounce("validationString", validationString_, std::optional<std::string>());
  setAndAnnounce("invalid", invalid_, false);
  directoryContents_.reset();
  directoryName_.reset();
  selectedRow_.reset();
  deletable_ = false;
  requestedBackup_.reset();
  password_.clear();
  relocationFolder_.reset();
  choice_ = 0;
  destinationChoice_ = kDestinationChoiceServer;
  pushPane("start");
}

void AssistantController::selectOption(int option) {
  if (option < kAssistantOptionNone || option > kAssistantOptionResetBackup) return;
  setAndAnnounce("currentOption", option_, option);
  updateLastPane();
}

void AssistantController::selectMore(int option) {
  if (!isMoreOptionEnabled(option)) return;
  setAndAnnounce("currentOption", option_, option);
  updateLastPane();
}

bool AssistantController::isMoreOptionEnabled(int option) const {
  if (option < kAssistantOptionRelocateSource || option > kAssistantOptionResetBackup) return false;
  if (option == kAssistantOptionVerifyBackup) return backup_ && backup_->lastBackupResults().has_value();
  return true;
}

bool AssistantController::locateMode() const {
  if (option_ == kAssistantOptionRecreateBackup) return true;
  return option_ == kAssistantOptionChangeDestination && backup_ && backup_->lastBackupResults().has_value();
}

void AssistantController::nextPane() {
  if (validationString_) {
    interface_.beep();
    return;
  }
  auto validation = validations_.find(currentPane() + "Validate");
  if (validation != validations_.end()) {
    std::optional<std::string> outcome = validation->second();
    if (!outcome) {
      setAndAnnounce("invalid", invalid_, true);
      interface_.beep();
      return;
    }
    if (!outcome->empty()) {
      setAndAnnounce("validationString", validationString_, outcome);
      return;
    }
  }
  setAndAnnounce("invalid", invalid_, false);
  moveOn();
}

void AssistantController::moveOn() {
  if (lastPane_) {
    finish();
    return;
  }
  std::optional<std::string> next = nextPaneName();
  if (!next) throw InternalInconsistency("Undefined next pane");
  pushPane(*next);
}

void AssistantController::previousPane() {
  if (validationString_ || paneStack_.size() < 2) return;
  setAndAnnounce("invalid", invalid_, false);
  popPane();
}

void AssistantController::didFinishValidating(bool success) {
  setAndAnnounce("validationString", validationString_, std::optional<std::string>());
  setAndAnnounce("invalid", invalid_, !success);
  if (success) {
    moveOn();
  } else {
    interface_.beep();
  }
}

bool AssistantController::windowShouldClose() {
  if (validationString_) {
    interface_.beep();
    return false;
  }
  return true;
}

void AssistantController::windowWillClose() {
  visible_ = false;
  reset();
  application_.requestQueueCheck();
}

void AssistantController::closeAssistant() {
  interface_.closeWindow();
  windowWillClose();
}

Value AssistantController::valueForKey(const std::string& key) const {
  if (key == "currentOption") return option_;
  if (key == "validationString") return validationString_ ? Value(*validationString_) : Value();
  if (key == "invalid") return invalid_;
  if (key == "firstPane") return firstPane_;
  if (key == "lastPane") return lastPane_;
  if (key == "customSegmentSize") return customSize_;
  if (key == "locateMode") return locateMode();
  if (key == "deletable") return deletable_;
  if (key == "paneStack") {
    Array panes;
    for (const std::string& pane : paneStack_) panes.push_back(pane);
    return panes;
  }
  return Observable::valueForKey(key);
}

// ---------------------------------------------------------------------------
// Background work

std::function<void(std::function<void(AssistantController&)>)> AssistantController::mainThreadPoster() {
  std::weak_ptr<AssistantController*> self = self_;
  const std::uint64_t session = session_;
  return [self, session](std::function<void(AssistantController&)> work) {
    PerformOnMainThread([self, session, work = std::move(work)] {
      std::shared_ptr<AssistantController*> alive = self.lock();
      if (alive && *alive && (*alive)->session_ == session) work(**alive);
    });
  };
}

DestinationURL::ResultCallback AssistantController::resultHandler(
    std::function<void(AssistantController&, const std::optional<Value>&)> handler) {
  std::weak_ptr<AssistantController*> self = self_;
  const std::uint64_t session = session_;
  return [self, session, handler = std::move(handler)](DestinationURL&, const std::optional<Value>& result,
                                                       const Value&) {
    std::shared_ptr<AssistantController*> alive = self.lock();
    if (alive && *alive && (*alive)->session_ == session) handler(**alive, result);
  };
}

std::optional<std::string> AssistantController::startBackground(const char* textKey,
                                                                 const std::function<bool()>& start) {
  if (validationString_ || !start()) return std::nullopt;
  setAndAnnounce("validationString", validationString_, std::optional<std::string>(Localized(textKey)));
  return validationString_;
}

void AssistantController::endBackground() {
  setAndAnnounce("validationString", validationString_, std::optional<std::string>());
}

// ---------------------------------------------------------------------------
// Validations

std::optional<std::string> AssistantController::validateStart() {
  switch (option_) {
    case kAssistantOptionNewBackup:
      if (!backup_) backup_ = Backup::create();
      if (!backup_) return std::nullopt;
      if (std::shared_ptr<const Url> url = backup_->destinationURL()) {
        destinationURL_ = std::make_unique<DestinationURL>(*url);
      } else {
        destinationURL_ = std::make_unique<DestinationURL>();
      }
      return std::string();
    case kAssistantOptionRecreateBackup:
      if (!destinationURL_) destinationURL_ = std::make_unique<DestinationURL>();
      return std::string();
    case kAssistantOptionNone:
      return std::nullopt;
    default:
      // The others start from a backup the select pane gives.
      return std::string();
  }
}

void AssistantController::listBackups() {
  backupEntries_.clear();
  selectedEntry_.reset();
  for (const std::shared_ptr<Backup>& backup : application_.allBackups()) {
    BackupEntry entry;
    entry.title = Format(Localized("BACKUP_ITEM"), application_.groupNameForBackup(*backup), backup->name());
    entry.backup = backup;
    entry.enabled = !backup->isRunning();
    backupEntries_.push_back(std::move(entry));
  }
  std::stable_sort(backupEntries_.begin(), backupEntries_.end(),
                   [](const BackupEntry& a, const BackupEntry& b) { return CaseInsensitiveLess(a.title, b.title); });
  std::shared_ptr<Backup> preselected = requestedBackup_ ? requestedBackup_ : application_.selectedBackup();
  for (std::size_t index = 0; index < backupEntries_.size(); ++index) {
    if (preselected && backupEntries_[index].backup == preselected) selectedEntry_ = index;
  }
}

void AssistantController::selectEntry(std::optional<std::size_t> index) {
  if (index && *index >= backupEntries_.size()) return;
  selectedEntry_ = index;
}

std::optional<std::string> AssistantController::validateSelect() {
  if (!selectedEntry_ || !backupEntries_[*selectedEntry_].enabled) return std::nullopt;
  const std::shared_ptr<Backup>& chosen = backupEntries_[*selectedEntry_].backup;
  backup_ = option_ == kAssistantOptionCopyBackup ? Backup::initWithBackup(*chosen) : chosen;
  if (!backup_) return std::nullopt;
  if (std::shared_ptr<const Url> url = backup_->destinationURL()) {
    destinationURL_ = std::make_unique<DestinationURL>(*url);
  } else {
    destinationURL_ = std::make_unique<DestinationURL>();
  }
  if (option_ == kAssistantOptionCopyBackup) backup_->setDestinationURL(std::shared_ptr<const Url>());
  return std::string();
}

bool AssistantController::chooseSourceFolder(const std::string& path) {
  if (!backup_ || !IsDirectory(path)) return false;
  if (IsInsideFolder(path, HomeFolder()) || IsAdministrator() ||
      UserDefaults::standard().boolForKey(kSuppressPrivilegesAlertKey)) {
    backup_->setSourceDirectoryPath(path);
    return true;
  }
  // The backup may miss what the user cannot read: ask first.
  std::weak_ptr<AssistantController*> self = self_;
  const std::uint64_t session = session_;
  AssistantAlert alert{Localized("INVALID_TITLE"), Format(Localized("INVALID_MESSAGE"), path),
                       Localized("INVALID_DEFAULT_BUTTON"), Localized("INVALID_ALTERNATE_BUTTON"), {},
                       kSuppressPrivilegesAlertKey};
  interface_.showAlert(alert, [self, session, path](int button, bool suppress) {
    if (suppress) UserDefaults::standard().setBool(true, kSuppressPrivilegesAlertKey);
    std::shared_ptr<AssistantController*> alive = self.lock();
    if (!alive || !*alive || (*alive)->session_ != session || !(*alive)->backup_) return;
    if (button == kAlertAlternateButton) (*alive)->backup_->setSourceDirectoryPath(path);
  });
  return false;
}

void AssistantController::setCustomSegmentSize(std::uint32_t mebibytes) {
  if (!backup_) return;
  backup_->setMaximumSegmentSize(Backup::validateMaximumSegmentSize(mebibytes));
  setAndAnnounce("customSegmentSize", customSize_, true);
}

std::optional<std::string> AssistantController::validateSegment() {
  if (customSize_) return std::string();
  if (!backup_ || backup_->sourceDirectoryPath().empty()) return std::nullopt;
  const std::string source = backup_->sourceDirectoryPath();
  auto post = mainThreadPoster();
  application_.operationQueue().addOperationWithBlock([source, post] {
    const std::optional<std::uint32_t> suggestion = SuggestedSegmentSize(FileSizesInFolder(source));
    post([suggestion](AssistantController& controller) {
      if (suggestion && controller.backup_) controller.backup_->setMaximumSegmentSize(*suggestion);
      controller.didFinishValidating(suggestion.has_value() && controller.backup_);
    });
  });
  return Localized("ASSISTANT_VALIDATING_SCANNING");
}

void AssistantController::setDestinationChoice(int choice) {
  if (choice < kDestinationChoiceFolder || choice > kDestinationChoiceServer) return;
  setAndAnnounce("destinationChoice", destinationChoice_, choice);
  updateLastPane();
}

bool AssistantController::folderIsAcceptable(const std::vector<std::string>& entries, bool showAlert) {
  const bool locate = locateMode();
  if (locate ? FolderHoldsBackup(entries) : FolderIsEmptyButForHiddenEntries(entries)) return true;
  if (showAlert) showAlertForKey(locate ? "CONTENT_INVALID" : "CONTENT_BUSY");
  return false;
}

bool AssistantController::chooseLocalDestinationFolder(const std::string& path) {
  if (!destinationURL_ || path.empty() || path.front() != '/') return false;
  std::optional<std::vector<std::string>> entries = LocalFolderEntries(path);
  if (!entries) {
    showAlertForKey("CONTENT_ERROR");
    return false;
  }
  if (!folderIsAcceptable(*entries, true)) return false;
  destinationURL_->setType(kDestinationTypeFolder);
  destinationURL_->setHost("");
  destinationURL_->setPath(std::filesystem::path(path).lexically_normal().string());
  setDestinationChoice(kDestinationChoiceFolder);
  return true;
}

std::optional<std::string> AssistantController::validateDestination() {
  if (!destinationURL_) return std::nullopt;
  switch (destinationChoice_) {
    case kDestinationChoiceHostedDisk:
      destinationURL_->setType(kDestinationTypeHostedDisk);
      break;
    case kDestinationChoiceServer:
      if (destinationURL_->type() == kDestinationTypeFolder || destinationURL_->type() == kDestinationTypeHostedDisk) {
        destinationURL_->setType(kDestinationTypeFTP);
      }
      break;
    case kDestinationChoiceFolder: {
      // The folder is looked at again: it may have changed since it was chosen.
      if (destinationURL_->type() != kDestinationTypeFolder || !destinationURL_->url()) return std::nullopt;
      std::optional<std::vector<std::string>> entries = LocalFolderEntries(destinationURL_->path());
      if (!entries) {
        showAlertForKey("CONTENT_ERROR");
        return std::nullopt;
      }
      if (!folderIsAcceptable(*entries, true)) return std::nullopt;
      break;
    }
  }
  updateLastPane();
  return std::string();
}

std::optional<std::string> AssistantController::validateAccount() {
  if (!destinationURL_) return std::nullopt;
  const bool started = destinationURL_->contentsOfDirectory(
      "", application_.operationQueue(),
      resultHandler([](AssistantController& controller, const std::optional<Value>& listing) {
        controller.didFinishValidating(listing.has_value());
        if (!listing) controller.showAlertForKey("ACCOUNT_INVALID");
      }));
  if (!started) return std::nullopt;
  return Localized("ASSISTANT_VALIDATING_ACCOUNT");
}

// ---------------------------------------------------------------------------
// Folder browser

std::vector<std::string> AssistantController::pathComponents() const {
  std::vector<std::string> components = {Localized("ASSISTANT_CONTENT_ROOT")};
  if (destinationURL_) {
    for (const std::string& component : SplitPath(destinationURL_->path())) components.push_back(component);
  }
  return components;
}

void AssistantController::loadFolder() {
  setAndAnnounce("directoryContents", directoryContents_, std::optional<std::vector<std::string>>());
  selectDirectoryRow(std::nullopt);
  if (!destinationURL_) return;
  const bool started = startBackground("ASSISTANT_VALIDATING_CONTENT", [&] {
    return destinationURL_->contentsOfDirectory(
        "", application_.operationQueue(),
        resultHandler([](AssistantController& controller, const std::optional<Value>& listing) {
          controller.didLoadFolder(listing);
        }));
  }).has_value();
  if (!started) showAlertForKey("CONTENT_ERROR");
}

void AssistantController::didLoadFolder(const std::optional<Value>& listing) {
  endBackground();
  if (!listing || !listing->isDictionary()) {
    showAlertForKey("CONTENT_ERROR");
    return;
  }
  std::vector<std::string> entries;
  for (const auto& [name, attributes] : listing->asDictionary()) {
    const bool isFolder = attributes.isDictionary() &&
                          attributes.asDictionary().get(kFileType).asString() == kFileTypeDirectory;
    entries.push_back(isFolder ? name + "/" : name);
  }
  std::stable_sort(entries.begin(), entries.end(), CaseInsensitiveLess);
  setAndAnnounce("directoryContents", directoryContents_, std::optional<std::vector<std::string>>(entries));
}

void AssistantController::loadDirectory(const std::string& entry) {
  if (validationString_ || !destinationURL_ || !entry.ends_with('/') || entry.size() < 2) return;
  std::vector<std::string> components = SplitPath(destinationURL_->path());
  components.push_back(entry.substr(0, entry.size() - 1));
  destinationURL_->setPath(JoinPath(components));
  loadFolder();
}

void AssistantController::loadPathComponent(std::size_t index) {
  if (validationString_ || !destinationURL_) return;
  std::vector<std::string> components = SplitPath(destinationURL_->path());
  if (index > components.size()) return;
  components.resize(index);
  destinationURL_->setPath(JoinPath(components));
  loadFolder();
}

bool AssistantController::selectDirectoryRow(std::optional<std::size_t> row) {
  if (row && (!directoryContents_ || *row >= directoryContents_->size() || !(*directoryContents_)[*row].ends_with('/'))) {
    return false;
  }
  selectedRow_ = row;
  setAndAnnounce("deletable", deletable_, row.has_value());
  return true;
}

void AssistantController::createDirectory() {
  if (!destinationURL_ || !directoryName_ || directoryName_->empty() ||
      directoryName_->find('/') != std::string::npos) {
    interface_.beep();
    return;
  }
  const std::string name = *directoryName_;
  const bool started = startBackground("ASSISTANT_VALIDATING_CREATING", [&] {
    return destinationURL_->createDirectory(
        name, application_.operationQueue(),
        resultHandler([](AssistantController& controller, const std::optional<Value>& result) {
          controller.endBackground();
          if (!result) {
            controller.showAlertForKey("CONTENT_ERROR");
            return;
          }
          controller.directoryName_.reset();
          controller.loadFolder();
        }));
  }).has_value();
  if (!started) showAlertForKey("CONTENT_ERROR");
}

void AssistantController::deleteDirectory() {
  if (!destinationURL_ || !deletable_ || !selectedRow_ || validationString_) return;
  const std::string entry = (*directoryContents_)[*selectedRow_];
  const std::string name = entry.substr(0, entry.size() - 1);
  std::weak_ptr<AssistantController*> self = self_;
  const std::uint64_t session = session_;
  AssistantAlert alert{Localized("CONTENT_DELETE_TITLE"), Format(Localized("CONTENT_DELETE_MESSAGE"), name),
                       Localized("CONTENT_DELETE_DEFAULT_BUTTON"), Localized("CONTENT_DELETE_ALTERNATE_BUTTON"), {}, {}};
  interface_.showAlert(alert, [self, session, name](int button, bool) {
    std::shared_ptr<AssistantController*> alive = self.lock();
    if (button != kAlertDefaultButton || !alive || !*alive || (*alive)->session_ != session) return;
    AssistantController& controller = **alive;
    if (!controller.destinationURL_) return;
    const bool started = controller.startBackground("ASSISTANT_VALIDATING_DELETING", [&] {
      return controller.destinationURL_->deleteDirectory(
          name, controller.application_.operationQueue(),
          controller.resultHandler([](AssistantController& controller, const std::optional<Value>& result) {
            controller.endBackground();
            if (!result) {
              controller.showAlertForKey("CONTENT_ERROR");
              return;
            }
            controller.loadFolder();
          }));
    }).has_value();
    if (!started) controller.showAlertForKey("CONTENT_ERROR");
  });
}

std::optional<std::string> AssistantController::validateBrowser() {
  if (!directoryContents_) return std::nullopt;
  if (!folderIsAcceptable(*directoryContents_, true)) return std::nullopt;
  return std::string();
}

void AssistantController::showAlertForKey(const std::string& prefix, const std::string& note,
                                          std::function<void(int, bool)> answer) {
  AssistantAlert alert{Localized(prefix + "_TITLE"), Localized(prefix + "_MESSAGE"),
                       Localized(prefix + "_DEFAULT_BUTTON"), {}, note, {}};
  interface_.showAlert(alert, answer ? std::move(answer) : [](int, bool) {});
}

// ---------------------------------------------------------------------------
// Password

std::optional<std::string> AssistantController::validatePassword() {
  if (!destinationURL_) return std::nullopt;
  if (option_ != kAssistantOptionRecreateBackup && !(backup_ && backup_->lastBackupResults())) {
    if (password_.empty()) return std::nullopt;
    return std::string();
  }
  destinationURL_->setEncryptionPassword(password_.empty() ? std::nullopt : std::optional<std::string>(password_));
  const bool started = destinationURL_->checkBackupDestination(
      application_.operationQueue(),
      resultHandler([](AssistantController& controller, const std::optional<Value>& results) {
        controller.didCheckDestination(results);
      }));
  if (!started) return std::nullopt;
  return Localized("ASSISTANT_VALIDATING_PASSWORD");
}

void AssistantController::didCheckDestination(const std::optional<Value>& results) {
  const Dictionary* dictionary = results && results->isDictionary() ? &results->asDictionary() : nullptr;
  const bool success = dictionary && dictionary->get("success").isBool() && dictionary->get("success").asBool();
  std::string lastError;
  if (dictionary) {
    const Value& messages = dictionary->get("errorMessages");
    if (messages.isArray() && !messages.asArray().empty() && messages.asArray().back().isString()) {
      lastError = messages.asArray().back().asString();
    }
  }

  if (option_ == kAssistantOptionRecreateBackup) {
    std::shared_ptr<Backup> found;
    std::optional<Url> url = destinationURL_ ? destinationURL_->url() : std::nullopt;
    if (success && url) {
      found = Backup::initWithDestinationResults(
          *dictionary, password_.empty() ? std::nullopt : std::optional<std::string>(password_), *url);
    }
    if (!found) {
      didFinishValidating(false);
      showAlertForKey("PASSWORD_INVALID", lastError);
      return;
    }
    for (const std::shared_ptr<Backup>& existing : application_.allBackups()) {
      if (existing->uuid() != found->uuid()) continue;
      // The application holds this backup already: nothing to re-create.
      endBackground();
      setAndAnnounce("invalid", invalid_, true);
      std::weak_ptr<AssistantController*> self = self_;
      const std::uint64_t session = session_;
      showAlertForKey("BACKUP_DUPLICATE", {}, [self, session](int, bool) {
        std::shared_ptr<AssistantController*> alive = self.lock();
        if (alive && *alive && (*alive)->session_ == session) (*alive)->closeAssistant();
      });
      return;
    }
    backup_ = found;
    didFinishValidating(true);
    return;
  }

  didFinishValidating(success);
  if (!success) showAlertForKey("PASSWORD_INVALID", lastError);
}

// ---------------------------------------------------------------------------
// Relocation and the single-choice panes

bool AssistantController::chooseRelocationFolder(const std::string& path) {
  if (!IsDirectory(path)) return false;
  relocationFolder_ = std::filesystem::path(path).lexically_normal().string();
  return true;
}

void AssistantController::setChoice(int choice) {
  if (isChoiceEnabled(choice)) choice_ = choice;
}

bool AssistantController::isChoiceEnabled(int choice) const {
  if (choice == 0 || choice == 1) return true;
  const std::string pane = currentPane();
  return choice == 2 && (pane == "reset" || pane == "delete") && backup_ && backup_->lastBackupResults();
}

// ---------------------------------------------------------------------------
// Finishing

void AssistantController::finish() {
  const std::shared_ptr<Backup> backup = backup_;
  if (!backup) throw InternalInconsistency("Finishing without a backup");
  std::optional<Url> destination = destinationURL_ ? destinationURL_->url() : std::nullopt;
  bool selects = true;
  int tab = kApplicationFirstTab;

  switch (option_) {
    case kAssistantOptionNewBackup:
    case kAssistantOptionCopyBackup:
      if (!destination) {
        setAndAnnounce("invalid", invalid_, true);
        interface_.beep();
        return;
      }
      backup->setDestinationURL(*destination);
      application_.addBackup(backup);
      break;
    case kAssistantOptionRecreateBackup:
      application_.addBackup(backup);
      break;
    case kAssistantOptionDeleteBackup:
      if (choice_ == 1) {
        application_.deleteBackup(backup);
        selects = false;
      } else if (choice_ == 2) {
        Dictionary arguments;
        arguments.set("deleteBackup", true);
        application_.performCommand(BackupCommandDeleteBackup, backup, arguments);
      } else {
        selects = false;
      }
      break;
    case kAssistantOptionRelocateSource:
      if (relocationFolder_) backup->setSourceDirectoryPath(*relocationFolder_);
      break;
    case kAssistantOptionChangeDestination:
      if (!destination) {
        setAndAnnounce("invalid", invalid_, true);
        interface_.beep();
        return;
      }
      application_.removeBackup(backup);
      backup->setDestinationURL(*destination);
      application_.addBackup(backup);
      break;
    case kAssistantOptionChangePassword:
      backup->setEncryptionPassword(password_);
      break;
    case kAssistantOptionPruneDestination:
    case kAssistantOptionVerifyBackup:
      if (choice_ == 1) {
        application_.performCommand(
            option_ == kAssistantOptionPruneDestination ? BackupCommandPruneDestination : BackupCommandVerifyBackup,
            backup, Dictionary());
      } else {
        selects = false;
      }
      break;
    case kAssistantOptionResetBackup:
      if (choice_ == 1) {
        backup->resetPreviousResults(true);
        backup->saveToDiskIfNecessary();
        tab = kApplicationHistoryTab;
      } else if (choice_ == 2) {
        application_.performCommand(BackupCommandDeleteBackup, backup, Dictionary());
      } else {
        selects = false;
      }
      break;
    default:
      throw InternalInconsistency("Finishing without an option");
  }

  if (selects) {
    application_.selectBackup(backup);
    application_.selectTab(tab);
  }
  closeAssistant();
  application_.showMainWindow();
}

}  // namespace quorvel
