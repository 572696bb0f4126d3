#include "app/AppController.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/cli/NetworkRetryPolicy.h"
#include "FileTransferController/FileTransferController.h"
#include "FileTransferController/WebDAVTransferController.h"
#include "engine/BackupInfoOperation.h"
#include "engine/BackupCommandOperation.h"
#include "foundation/Format.h"
#include "foundation/LocalizedString.h"
#include "foundation/UserDefaults.h"
#include "model/Backup.h"
#include "snapshot/DirectoryScanner.h"
#include "model/platform/KeepAwake.h"
#include "model/platform/NetworkConfiguration.h"

namespace quorvel {

namespace {

constexpr const char* kStrings = "Localizable";
// The argument with which deleting a backup at its destination also removes
// it from the program.
constexpr const char* kDeleteBackupArgument = "deleteBackup";

double MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

bool IsCheck(int command) { return command == BackupCommandCheckSource || command == BackupCommandCheckDestination; }

std::string CommandName(int command) { return BackupController::nameForCommand(command).value_or("command"); }

// The settings file's identity and time, to tell whether another process
// wrote it since it was read.
std::string SettingsStamp(const Backup& backup) {
  struct stat status {};
  const std::string file = backup.path() + "/" + kBackupSettingsFileName;
  if (::stat(file.c_str(), &status) != 0) return "";
  return std::to_string(status.st_ino) + ":" + std::to_string(status.st_size) + ":" +
         std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

std::string LocalTimeText(std::time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

struct AppController::Slot {
  std::shared_ptr<Backup> backup;
  std::unique_ptr<ScheduledBackup> schedule;
  std::string settingsStamp;
  int command = 0;
  bool cancelling = false;  // by the user (or the quit)
  bool gaveUp = false;      // the retry policy ended the command: a failure
  bool suspended = false;
  std::optional<ProcessLock> backupLock;
  std::optional<ProcessLock> destinationLock;
  std::unique_ptr<NetworkRetryPolicy> retryPolicy;
  std::shared_ptr<Timer> retryTimer;
  double retryAt = 0;           // monotonic; 0: no retry pending
  bool waitingForAnswer = false;  // policy 0: the user answers
  CommandProgress progress;
  std::vector<std::string> errorMessages;
  std::deque<std::string> log;
  std::string waitingReason;
  bool reloadWhenIdle = false;
  bool removeWhenIdle = false;
};

// ---------------------------------------------------------------------------
// Process and defaults

void AppController::registerDefaults(UserDefaults& defaults) {
  defaults.registerDefaults(Dictionary{
      {"launchAtLogin", false},
      {"showWindowOnLaunch", true},
      {"quitOnWindowClose", false},
      {"eraseRestoreTarget", false},
      {"skipRestoredFilesVerification", false},
      {"allowLowLevelPathExclusion", false},
      {"retryAfterNetworkError", static_cast<std::int64_t>(1)},
      {"maximumNetworkRetries", static_cast<std::int64_t>(NetworkRetryPolicy::kDefaultMaximumRetries)},
      {"maximumDownloadSpeed", static_cast<std::int64_t>(0)},
      {"maximumUploadSpeed", static_cast<std::int64_t>(0)},
      {"reportHiddenItems", false},
      {"customRestore", false},
      {"suppressAlert_LaunchAtLogin", false},
      {"suppressAlert_Quit", false},
      {"suppressAlert_Privileges", false},
  });
}

void AppController::lowerProcessPriority() {
  if (::setpriority(PRIO_PROCESS, 0, 20) != 0) {
    std::fprintf(stderr, "setpriority() failed with error \"%s\"\n", std::strerror(errno));
  }
  // IOPRIO_WHO_PROCESS, this process, class IOPRIO_CLASS_IDLE (3) in the
  // class bits above bit 13.
  if (::syscall(SYS_ioprio_set, 1, 0, 3 << 13) != 0) {
    std::fprintf(stderr, "ioprio_set() failed with error \"%s\"\n", std::strerror(errno));
  }
}

AppController::AppController(Options options)
    : options_(std::move(options)), operationQueue_(std::make_shared<OperationQueue>()) {}

AppController::~AppController() {
  for (auto& slot : slots_) {
    slot->schedule.reset();
    if (slot->retryTimer) slot->retryTimer->invalidate();
    slot->backup->setDelegate(nullptr);
  }
}

// ---------------------------------------------------------------------------
// The list of backups

void AppController::applicationDidFinishLaunching() {
  applySpeedLimits();
  std::optional<std::vector<std::shared_ptr<Backup>>> backups = Backup::loadAllBackupsFromDisk();
  if (!backups) return;
  for (const std::shared_ptr<Backup>& backup : *backups) addBackup(backup);
  for (auto& slot : slots_) {
    if (slot->backup->scheduleOnLaunch() && readiness(*slot) != BackupQueue::kNotThisTime) {
      enqueueBackup(*slot->backup);
    }
  }
}

void AppController::addBackup(const std::shared_ptr<Backup>& backup) {
  if (!backup || slotOf(backup->uuid())) return;
  auto slot = std::make_unique<Slot>();
  slot->backup = backup;
  slot->settingsStamp = SettingsStamp(*backup);
  backup->setDelegate(this);
  Backup* raw = backup.get();
  slot->schedule = std::make_unique<ScheduledBackup>(*backup, *this, options_.clock, options_.connectionDelay,
                                                     [this, raw] { return isPerformingBackup(*raw); });
  slot->schedule->updateReachability();
  slot->schedule->updateScheduleDate();
  slots_.push_back(std::move(slot));
  if (observer_) observer_->backupDidChange(backup->uuid());
}

void AppController::removeBackup(const std::string& uuid) {
  Slot* slot = slotOf(uuid);
  if (!slot) return;
  dequeueBackup(*slot->backup);
  if (slot->command != 0) {
    slot->removeWhenIdle = true;
    cancel(*slot->backup);
    return;
  }
  slot->schedule.reset();
  slot->backup->setDelegate(nullptr);
  std::erase_if(slots_, [&](const std::unique_ptr<Slot>& each) { return each.get() == slot; });
  if (observer_) observer_->backupDidChange(uuid);
}

void AppController::replaceBackup(Slot& slot, const std::shared_ptr<Backup>& backup) {
  const bool wasQueued = isQueued(*slot.backup);
  slot.schedule.reset();
  slot.backup->setDelegate(nullptr);
  slot.backup = backup;
  slot.settingsStamp = SettingsStamp(*backup);
  backup->setDelegate(this);
  Backup* raw = backup.get();
  slot.schedule = std::make_unique<ScheduledBackup>(*backup, *this, options_.clock, options_.connectionDelay,
                                                    [this, raw] { return isPerformingBackup(*raw); });
  slot.schedule->updateReachability();
  slot.schedule->updateScheduleDate();
  // A backup that no longer runs by itself leaves the queue.
  if (wasQueued && !backup->nextScheduleDate() && !backup->scheduleOnLaunch() && !backup->scheduleOnConnection()) {
    dequeueBackup(*backup);
  }
}

void AppController::reloadDefaults() {
  UserDefaults::standard().synchronize();
  applySpeedLimits();
}

void AppController::applySpeedLimits() {
  UserDefaults& defaults = UserDefaults::standard();
  FileTransferController::setGlobalMaximumUploadSpeed(
      static_cast<std::uint32_t>(std::max<std::int64_t>(0, defaults.integerForKey("maximumUploadSpeed")) * 1024));
  FileTransferController::setGlobalMaximumDownloadSpeed(
      static_cast<std::uint32_t>(std::max<std::int64_t>(0, defaults.integerForKey("maximumDownloadSpeed")) * 1024));
}

void AppController::reloadBackups() {
  std::optional<std::vector<std::shared_ptr<Backup>>> stored = Backup::loadAllBackupsFromDisk();
  if (!stored) return;
  std::vector<std::string> gone;
  for (const auto& slot : slots_) {
    const bool kept = std::any_of(stored->begin(), stored->end(),
                                  [&](const std::shared_ptr<Backup>& b) { return b->uuid() == slot->backup->uuid(); });
    if (!kept) gone.push_back(slot->backup->uuid());
  }
  for (const std::string& uuid : gone) removeBackup(uuid);
  for (const std::shared_ptr<Backup>& backup : *stored) {
    Slot* slot = slotOf(backup->uuid());
    if (!slot) {
      addBackup(backup);
      continue;
    }
    if (SettingsStamp(*backup) == slot->settingsStamp) continue;
    if (slot->command != 0) {
      slot->reloadWhenIdle = true;
      continue;
    }
    replaceBackup(*slot, backup);
    appendLog(*slot, "settings read again");
    changed(*slot);
  }
}

std::string AppController::CategoryFromBackup(const Backup& backup) {
  std::shared_ptr<const Url> url = backup.destinationURLWithoutPassword();
  const std::string host = url ? url->host() : "";
  if (host.empty() || host == "localhost") return LocalizedString(kStrings, "GROUP_LOCAL");
  const HostedDiskService hosted = HostedDiskService::configured();
  if (hosted.exists() && host == hosted.host) return LocalizedString(kStrings, "GROUP_HOSTED_DISK");
  std::string domain = UserDefaults::standard().stringForKey("S3ServiceDomain");
  if (domain.empty()) domain = "amazonaws.com";
  if (host == domain || host.ends_with("." + domain)) return LocalizedString(kStrings, "GROUP_S3");
  return host;
}

bool AppController::CompareBackupNames(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t endA = i, endB = j;
      while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
      while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
      std::string numberA = a.substr(i, endA - i), numberB = b.substr(j, endB - j);
      numberA.erase(0, std::min(numberA.find_first_not_of('0'), numberA.size() - 1));
      numberB.erase(0, std::min(numberB.find_first_not_of('0'), numberB.size() - 1));
      if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
      if (numberA != numberB) return numberA < numberB;
      i = endA;
      j = endB;
      continue;
    }
    const int x = std::tolower(static_cast<unsigned char>(a[i])), y = std::tolower(static_cast<unsigned char>(b[j]));
    if (x != y) return x < y;
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::map<std::string, std::vector<std::shared_ptr<Backup>>> AppController::backupLists() const {
  std::map<std::string, std::vector<std::shared_ptr<Backup>>> lists;
  for (const auto& slot : slots_) {
    std::string key = CategoryFromBackup(*slot->backup);
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    lists[key].push_back(slot->backup);
  }
  for (auto& [key, list] : lists) {
    std::sort(list.begin(), list.end(), [](const std::shared_ptr<Backup>& a, const std::shared_ptr<Backup>& b) {
      return CompareBackupNames(a->name(), b->name());
    });
  }
  return lists;
}

std::vector<std::shared_ptr<Backup>> AppController::allBackups() const {
  std::vector<std::shared_ptr<Backup>> all;
  for (const auto& [key, list] : backupLists()) all.insert(all.end(), list.begin(), list.end());
  return all;
}

std::shared_ptr<Backup> AppController::backupWithUUID(const std::string& uuid) const {
  const Slot* slot = slotOf(uuid);
  return slot ? slot->backup : nullptr;
}

std::shared_ptr<Backup> AppController::backupNamed(const std::string& name) const {
  for (const auto& slot : slots_) {
    if (slot->backup->name() == name) return slot->backup;
  }
  return nullptr;
}

AppController::Slot* AppController::slotOf(const std::string& uuid) {
  for (auto& slot : slots_) {
    if (slot->backup->uuid() == uuid) return slot.get();
  }
  return nullptr;
}

const AppController::Slot* AppController::slotOf(const std::string& uuid) const {
  return const_cast<AppController*>(this)->slotOf(uuid);
}

AppController::Slot* AppController::slotOf(const BackupController& controller) {
  for (auto& slot : slots_) {
    if (slot->backup.get() == &controller) return slot.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The queue

void AppController::backupDidSchedule(Backup& backup) { enqueueBackup(backup); }

void AppController::backupDidConnect(Backup& backup) {
  if (isQueued(backup)) setNeedsQueueCheck();
}

void AppController::enqueueBackup(Backup& backup) {
  if (backupQueue_.enqueue(backup.uuid())) {
    if (Slot* slot = slotOf(backup.uuid())) {
      appendLog(*slot, "queued");
      changed(*slot);
    }
  }
  setNeedsQueueCheck();
}

void AppController::dequeueBackup(Backup& backup) {
  if (!backupQueue_.dequeue(backup.uuid())) return;
  if (Slot* slot = slotOf(backup.uuid())) {
    slot->waitingReason.clear();
    changed(*slot);
  }
}

bool AppController::isQueued(const Backup& backup) const { return backupQueue_.contains(backup.uuid()); }

void AppController::setNeedsQueueCheck() {
  if (queueCheckPending_) return;
  queueCheckPending_ = true;
  RunLoop::main().perform([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) checkQueue();
  });
}

void AppController::checkQueue() {
  queueCheckPending_ = false;
  if (terminating_) return;
  const bool performing = std::any_of(slots_.begin(), slots_.end(), [](const std::unique_ptr<Slot>& slot) {
    return slot->command == BackupCommandPerformBackup;
  });
  std::vector<std::string> before = backupQueue_.entries();
  std::optional<std::string> next = backupQueue_.check(performing, [this](const std::string& uuid) {
    Slot* slot = slotOf(uuid);
    return slot ? readiness(*slot) : BackupQueue::kNotThisTime;
  });
  for (const std::string& uuid : before) {
    Slot* slot = slotOf(uuid);
    if (!slot || backupQueue_.contains(uuid)) continue;
    slot->waitingReason.clear();
    if (uuid != next) appendLog(*slot, "scheduled run skipped: the schedule conditions say not now");
    changed(*slot);
  }
  if (!next) return;
  Slot* slot = slotOf(*next);
  if (!slot) return;
  if (std::optional<std::string> refusal = performCommand(*slot->backup, BackupCommandPerformBackup, Dictionary())) {
    appendLog(*slot, "could not start: " + *refusal);
  }
}

BackupQueue::Readiness AppController::readiness(Slot& slot) {
  Backup& backup = *slot.backup;
  std::string reason;
  if (backup.hasEncryptionPassword() && !backup.encryptionPassword()) {
    reason = "the encryption password is missing from the credential store (give it with: quorvel set " +
             backup.name() + " password-env VARIABLE)";
  } else if (!slot.schedule->isHostReachable()) {
    reason = "the destination's server cannot be reached";
  } else {
    ProcessLock::Refusal refusal;
    if (!ProcessLock::acquire(ProcessLock::pathForBackup(backup.uuid()), &refusal) && refusal.error.empty()) {
      reason = "the backup is in use by process " + std::to_string(refusal.holder);
    }
  }
  if (!reason.empty()) {
    if (reason != slot.waitingReason) {
      slot.waitingReason = reason;
      appendLog(slot, "waiting: " + reason);
      changed(slot);
    }
    return BackupQueue::kWait;
  }
  slot.waitingReason.clear();
  const int answer =
      backup.canBackupNow(now(), NetworkConfiguration::sharedNetworkConfiguration(), ReadSystemPowerState());
  return static_cast<BackupQueue::Readiness>(answer);
}

// ---------------------------------------------------------------------------
// Running commands

std::optional<std::string> AppController::lockForCommand(Slot& slot, int command) {
  ProcessLock::Refusal refusal;
  slot.backupLock = ProcessLock::acquire(ProcessLock::pathForBackup(slot.backup->uuid()), &refusal);
  if (!slot.backupLock && refusal.error.empty()) {
    return "the backup \"" + slot.backup->name() + "\" is in use by process " + std::to_string(refusal.holder);
  }
  std::shared_ptr<const Url> destination = slot.backup->destinationURLWithoutPassword();
  if (command == BackupCommandCheckSource || !destination) return std::nullopt;
  slot.destinationLock = ProcessLock::acquire(ProcessLock::pathForDestination(*destination), &refusal);
  if (!slot.destinationLock && refusal.error.empty()) {
    slot.backupLock.reset();
    return "the destination of \"" + slot.backup->name() + "\" is in use by process " +
           std::to_string(refusal.holder);
  }
  return std::nullopt;
}

Dictionary AppController::argumentsForCommand(Backup& backup, int command, const Dictionary& given) {
  Dictionary arguments = given;
  if (!arguments.contains(kReportHiddenItemsArgument)) {
    arguments.set(kReportHiddenItemsArgument, UserDefaults::standard().boolForKey("reportHiddenItems"));
  }
  if (command == BackupCommandPerformBackup) arguments.set(kScannerUserInfoArgument, backup.scannerUserInfo());
  return arguments;
}

PredicatePtr AppController::exclusionPredicateForScan(Slot& slot) {
  Backup& backup = *slot.backup;
  std::vector<std::string> paths = backup.exclusionPaths();
  // A local destination inside the source would be backed up into itself,
  // growing with every run: it is left out.
  std::shared_ptr<const Url> destination = backup.destinationURLWithoutPassword();
  if (destination && destination->isFileURL()) {
    std::error_code error;
    const std::filesystem::path source = std::filesystem::weakly_canonical(backup.sourceDirectoryPath(), error);
    const std::filesystem::path target = std::filesystem::weakly_canonical(destination->path(), error);
    const std::filesystem::path relative = target.lexically_relative(source);
    if (!error && !relative.empty() && *relative.begin() != ".." && relative != ".") {
      paths.push_back(relative.string());
      appendLog(slot, "the destination is inside the source: \"" + relative.string() + "\" is left out");
    }
  }
  return DirectoryScanner::exclusionPredicateWithPaths(paths, {});
}

std::optional<std::string> AppController::performCommand(Backup& backup, int command, const Dictionary& given) {
  Slot* slot = slotOf(backup.uuid());
  if (!slot) return "the backup is not known to the scheduler";
  if (terminating_) return "the scheduler is quitting";
  if (slot->command != 0) return "the backup runs " + CommandName(slot->command) + " already";
  dequeueBackup(backup);
  const bool needsPassword = command == BackupCommandTestBackup || command == BackupCommandPerformBackup ||
                             command == BackupCommandRestoreBackup;
  if (needsPassword && backup.hasEncryptionPassword() && !backup.encryptionPassword()) {
    return Format(LocalizedString(kStrings, "BACKUP_MISSING_MESSAGE"), {Value(backup.name())});
  }
  if (std::optional<std::string> refusal = lockForCommand(*slot, command)) return refusal;
  if (SettingsStamp(*slot->backup) != slot->settingsStamp) {
    // Another process changed the settings (under the lock now held): the
    // command runs with them, and the results are saved onto them.
    if (std::shared_ptr<Backup> stored = Backup::loadFromFolder(slot->backup->path())) {
      replaceBackup(*slot, stored);
      appendLog(*slot, "settings read again");
    }
  }
  return startCommand(*slot, command, given);
}

std::optional<std::string> AppController::startCommand(Slot& slotRef, int command, const Dictionary& given) {
  Slot* slot = &slotRef;
  Backup& backup = *slot->backup;

  std::shared_ptr<const Url> destination = backup.destinationURLWithoutPassword();
  if (command == BackupCommandPerformBackup && destination && destination->isFileURL()) {
    // A missing destination folder is made, but only inside a folder that
    // exists: a drive that is not mounted must not turn into a folder on
    // the system disk.
    const std::filesystem::path folder = destination->path();
    std::error_code error;
    if (!std::filesystem::exists(folder, error) && std::filesystem::is_directory(folder.parent_path(), error)) {
      std::filesystem::create_directory(folder, error);
      std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    }
  }
  const bool scans = command == BackupCommandCheckSource || command == BackupCommandTestBackup ||
                     command == BackupCommandPerformBackup;
  backup.setExclusionPredicate(scans ? exclusionPredicateForScan(*slot) : nullptr);
  backup.saveToDiskIfNecessary();
  slot->cancelling = false;
  slot->gaveUp = false;
  slot->suspended = false;
  slot->errorMessages.clear();
  slot->command = command;
  backup.scheduleCommand(command, argumentsForCommand(backup, command, given), *operationQueue_);
  return std::nullopt;
}

bool AppController::suspend(Backup& backup) {
  Slot* slot = slotOf(backup.uuid());
  if (!slot || slot->command == 0 || slot->suspended) return false;
  backup.suspend();
  return true;
}

bool AppController::resume(Backup& backup) {
  Slot* slot = slotOf(backup.uuid());
  if (!slot || slot->command == 0 || !slot->suspended || backup.isWaitingForReply()) return false;
  backup.resume();
  return true;
}

bool AppController::cancel(Backup& backup) {
  Slot* slot = slotOf(backup.uuid());
  if (!slot || slot->command == 0) return false;
  slot->cancelling = true;
  if (slot->retryTimer) slot->retryTimer->invalidate();
  slot->retryTimer.reset();
  slot->retryAt = 0;
  slot->waitingForAnswer = false;
  backup.cancel();
  changed(*slot);
  return true;
}

bool AppController::retry(Backup& backup) {
  Slot* slot = slotOf(backup.uuid());
  if (!slot || slot->command == 0 || (!slot->waitingForAnswer && !slot->retryTimer)) return false;
  retryBackup(*slot);
  return true;
}

void AppController::retryBackup(Slot& slot) {
  if (slot.retryTimer) slot.retryTimer->invalidate();
  slot.retryTimer.reset();
  slot.retryAt = 0;
  slot.waitingForAnswer = false;
  appendLog(slot, "retrying after a network error");
  slot.backup->replyToShouldRetryAfterNetworkError(true);
  changed(slot);
}

void AppController::didWakeUp() {
  for (auto& slot : slots_) slot->schedule->didWakeUp();
}

bool AppController::isRunningCommands() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const std::unique_ptr<Slot>& slot) { return slot->command != 0; });
}

bool AppController::isPerformingBackup(const Backup& backup) const {
  const Slot* slot = slotOf(backup.uuid());
  return slot && slot->command == BackupCommandPerformBackup;
}

void AppController::terminate(std::function<void()> done) {
  terminating_ = true;
  terminationDone_ = std::move(done);
  waitingForTermination_ = 0;
  for (auto& slot : slots_) {
    if (slot->command == 0) continue;
    ++waitingForTermination_;
    cancel(*slot->backup);
  }
  if (waitingForTermination_ == 0) {
    for (auto& slot : slots_) slot->backup->saveToDiskIfNecessary();
    if (terminationDone_) std::exchange(terminationDone_, nullptr)();
  }
}

// ---------------------------------------------------------------------------
// Engine callbacks

void AppController::backupControllerWillStartCommand(BackupController& controller, int command) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  disableSleep();
  slot->command = command;
  if (!IsCheck(command)) {
    const std::int64_t retries = UserDefaults::standard().integerForKey("maximumNetworkRetries");
    slot->retryPolicy =
        std::make_unique<NetworkRetryPolicy>(static_cast<unsigned>(std::max<std::int64_t>(0, retries)), MonotonicNow);
    slot->retryAt = 0;
    slot->progress = CommandProgress();
  }
  changed(*slot);
}

void AppController::backupControllerDidStartCommand(BackupController& controller, int command) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  appendLog(*slot, CommandName(command) + " started");
  changed(*slot);
}

void AppController::backupControllerDidNotStartCommand(BackupController& controller, int command) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  appendLog(*slot, CommandName(command) + " did not start");
  if (observer_) observer_->backupDidFinishCommand(slot->backup->uuid(), command, nullptr, true, slot->errorMessages);
  didFinishCommand(*slot);
}

void AppController::backupControllerDidFinishCommand(BackupController& controller, int command,
                                                     const Dictionary* results, const Dictionary& arguments) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  std::shared_ptr<Backup> backup = slot->backup;
  // A command the retry policy ended failed; only the user cancels.
  const bool cancelled = slot->cancelling || (backup->isCancelled() && !slot->gaveUp);
  const bool success = results && results->get(kSuccessResult).asBool();
  if (results && command >= BackupCommandPruneDestination) backup->processResults(*results, command, cancelled);
  appendLog(*slot, CommandName(command) + (cancelled ? " cancelled" : success ? " finished" : " failed"));
  if (observer_) observer_->backupDidFinishCommand(backup->uuid(), command, results, cancelled, slot->errorMessages);
  if (slot->suspended) {
    // Finishing while suspended: the suspension's release is balanced here.
    disableSleep();
    slot->suspended = false;
  }
  slot->settingsStamp = SettingsStamp(*backup);
  if (command == BackupCommandPerformBackup || command == BackupCommandDeleteBackup) {
    slot->schedule->updateScheduleDate();
  }
  const bool deleteBackup =
      success && command == BackupCommandDeleteBackup && arguments.get(kDeleteBackupArgument).asBool();
  if (deleteBackup) {
    backup->deleteFromDisk();
    slot->removeWhenIdle = true;
  }
  didFinishCommand(*slot);
}

void AppController::didFinishCommand(Slot& slot) {
  slot.command = 0;
  slot.cancelling = false;
  slot.gaveUp = false;
  slot.waitingForAnswer = false;
  if (slot.retryTimer) slot.retryTimer->invalidate();
  slot.retryTimer.reset();
  slot.retryAt = 0;
  slot.backupLock.reset();
  slot.destinationLock.reset();
  const std::string uuid = slot.backup->uuid();
  const bool remove = slot.removeWhenIdle, reload = slot.reloadWhenIdle;
  slot.reloadWhenIdle = false;
  changed(slot);
  if (remove) removeBackup(uuid);
  if (terminating_) {
    if (waitingForTermination_ > 0 && --waitingForTermination_ == 0) {
      for (auto& each : slots_) each->backup->saveToDiskIfNecessary();
      enableSleep();
      if (terminationDone_) std::exchange(terminationDone_, nullptr)();
      return;
    }
  } else {
    if (reload) reloadBackups();
    setNeedsQueueCheck();
  }
  enableSleep();
}

void AppController::backupControllerDidGetErrorMessage(BackupController& controller, const std::string& message) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  slot->errorMessages.push_back(message);
  appendLog(*slot, message);
  if (observer_) observer_->backupDidPostMessage(slot->backup->uuid(), message);
}

void AppController::backupControllerWillBeginPhaseWithType(BackupController& controller, const std::string& type,
                                                           std::uint32_t identifier) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  slot->progress.willBeginPhase(type, identifier, MonotonicNow());
  if (observer_) observer_->backupPhase(slot->backup->uuid(), AppControllerObserver::PhaseEvent::Begin, type, identifier, 0, 0);
}

void AppController::backupControllerDidEndPhaseWithType(BackupController& controller, const std::string& type,
                                                        std::uint32_t identifier) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  slot->progress.didEndPhase(type, identifier);
  if (observer_) observer_->backupPhase(slot->backup->uuid(), AppControllerObserver::PhaseEvent::End, type, identifier, 0, 0);
}

void AppController::backupControllerDidUpdatePhaseWithType(BackupController& controller, const std::string& type,
                                                           std::uint32_t identifier, std::uint32_t currentValue,
                                                           std::uint32_t maxValue, double) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  slot->progress.didUpdatePhase(type, identifier, currentValue, maxValue, MonotonicNow());
  if (observer_) {
    observer_->backupPhase(slot->backup->uuid(), AppControllerObserver::PhaseEvent::Update, type, identifier,
                           currentValue, maxValue);
  }
}

void AppController::backupControllerDidSuspend(BackupController& controller) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  slot->suspended = true;
  slot->progress.pause(MonotonicNow());
  enableSleep();
  changed(*slot);
}

void AppController::backupControllerDidResume(BackupController& controller) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  disableSleep();
  slot->suspended = false;
  slot->progress.unpause(MonotonicNow());
  changed(*slot);
}

void AppController::backupControllerShouldRetryAfterNetworkError(BackupController& controller) {
  Slot* slot = slotOf(controller);
  if (!slot) return;
  const std::int64_t policy = UserDefaults::standard().integerForKey("retryAfterNetworkError");
  if (policy < 0 || slot->cancelling || terminating_) {
    slot->gaveUp = !slot->cancelling && !terminating_;
    appendLog(*slot, "network error: not retrying");
    controller.replyToShouldRetryAfterNetworkError(false);
    return;
  }
  if (policy == 0) {
    slot->waitingForAnswer = true;
    appendLog(*slot, "network error: waiting for the user to retry or cancel");
    if (observer_) observer_->backupWillRetry(slot->backup->uuid(), -1, 0, 0);
    changed(*slot);
    return;
  }
  if (!slot->retryPolicy) slot->retryPolicy = std::make_unique<NetworkRetryPolicy>(0, MonotonicNow);
  std::optional<double> delay = slot->retryPolicy->delayAfterFailure();
  if (!delay) {
    slot->gaveUp = true;
    appendLog(*slot, "network error: giving up after " + std::to_string(slot->retryPolicy->maximumRetries()) +
                         " retries in a row");
    controller.replyToShouldRetryAfterNetworkError(false);
    return;
  }
  slot->retryAt = MonotonicNow() + *delay;
  appendLog(*slot, Format("network error: retrying in %.0f s", {Value(*delay)}));
  if (observer_) {
    observer_->backupWillRetry(slot->backup->uuid(), *delay, slot->retryPolicy->retriesInStreak(),
                               slot->retryPolicy->maximumRetries());
  }
  const std::string uuid = slot->backup->uuid();
  slot->retryTimer = Timer::withTimeInterval(*delay, false, [this, uuid](Timer&) {
    if (Slot* waiting = slotOf(uuid)) retryBackup(*waiting);
  });
  RunLoop::main().addTimer(slot->retryTimer, kRunLoopCommonModes);
  changed(*slot);
}

// ---------------------------------------------------------------------------
// State for front ends

AppController::Status AppController::status(const Backup& backup) const {
  Status status;
  const Slot* slot = slotOf(backup.uuid());
  if (!slot) return status;
  status.nextScheduleDate = backup.nextScheduleDate();
  status.command = slot->command;
  status.waitingReason = slot->waitingReason;
  const double monotonic = MonotonicNow();
  const Value name(backup.name());
  if (slot->command == 0) {
    status.state = isQueued(backup) ? (slot->waitingReason.empty() ? "queued" : "waiting") : "idle";
    return status;
  }
  status.stepsDone = slot->progress.mainCurrent();
  status.stepsPlanned = slot->progress.mainMax();
  status.speed = slot->progress.speed(monotonic);
  status.secondsLeft = slot->progress.secondsLeft(monotonic);
  if (slot->retryAt > 0 || slot->waitingForAnswer) {
    status.state = "retrying";
    if (slot->retryAt > 0) {
      status.retryIn = std::max(0.0, slot->retryAt - monotonic);
      status.progressLine = Format(LocalizedString(kStrings, "BACKUP_RETRY"),
                                   {name, Value(CommandProgress::ApproximateDuration(*status.retryIn))});
    } else {
      status.progressLine = Format(LocalizedString(kStrings, "BACKUP_WAITING"), {name});
    }
  } else if (slot->suspended) {
    status.state = "suspended";
    status.progressLine = Format(LocalizedString(kStrings, "BACKUP_SUSPENDED"), {name});
  } else {
    status.state = "running";
    if (slot->cancelling) {
      status.progressLine = Format(LocalizedString(kStrings, "BACKUP_ABORTED"), {name});
    } else if (status.secondsLeft) {
      status.progressLine = Format(LocalizedString(kStrings, "BACKUP_PROGRESS_WITH_DURATION"),
                                   {Value(CommandName(slot->command)),
                                    Value(CommandProgress::ApproximateDuration(*status.secondsLeft))});
    } else {
      status.progressLine = Format(LocalizedString(kStrings, "BACKUP_PROGRESS"), {name});
    }
  }
  return status;
}

std::vector<std::string> AppController::log(const std::string& uuid) const {
  const Slot* slot = slotOf(uuid);
  return slot ? std::vector<std::string>(slot->log.begin(), slot->log.end()) : std::vector<std::string>();
}

void AppController::appendLog(Slot& slot, const std::string& line) {
  slot.log.push_back(LocalTimeText(static_cast<std::time_t>(now().timeIntervalSince1970())) + " " + line);
  if (options_.logToStandardError) {
    std::fprintf(stderr, "quorvel: %s: %s\n", EscapeControlCharacters(slot.backup->name()).c_str(),
                 EscapeControlCharacters(line).c_str());
  }
  while (slot.log.size() > kLogLength) slot.log.pop_front();
}

void AppController::changed(const Slot& slot) {
  if (observer_) observer_->backupDidChange(slot.backup->uuid());
}

void AppController::disableSleep() {
  if (sleepDisabled_++ == 0 && options_.keepAwake) options_.keepAwake->request();
}

void AppController::enableSleep() {
  if (sleepDisabled_ == 0) return;
  if (--sleepDisabled_ == 0 && options_.keepAwake) options_.keepAwake->release();
}

}  // namespace quorvel
