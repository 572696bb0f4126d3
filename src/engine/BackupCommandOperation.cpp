#include "engine/BackupCommandOperation.h"

#include <openssl/crypto.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

#include "engine/PhaseProgress.h"
#include "foundation/Date.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/Unicode.h"
#include "snapshot/PathOrder.h"
#include "foundation/Posix.h"

namespace quorvel {

namespace {

std::shared_ptr<BackupCommandOperation> CreateAbstractOperation(const std::shared_ptr<BackupController>&, int,
                                                                const Dictionary&) {
  throw InternalInconsistency("BackupCommandOperation is an abstract class");
}

const BackupOperationClass kBackupCommandOperationClass = {"BackupCommandOperation", nullptr,
                                                           &CreateAbstractOperation};

Array ArrayFromTexts(const std::vector<std::string>& paths) {
  Array array;
  array.reserve(paths.size());
  for (const auto& path : paths) array.emplace_back(path);
  return array;
}

std::vector<std::string> PathsFromValue(const Value& value) {
  std::vector<std::string> paths;
  for (const Value& element : value.asArray()) {
    if (element.isString()) paths.push_back(element.asString());
  }
  return paths;
}

// The path of one entry of a comparison's item lists: an item view, or a
// path text.
std::optional<std::string> PathOfItem(const Value& item) {
  if (item.isString()) return item.asString();
  if (auto directoryItem = item.object<DirectoryItem>()) return directoryItem->path();
  return std::nullopt;
}

}  // namespace

const BackupOperationClass& BackupCommandOperation::Class() { return kBackupCommandOperationClass; }

BackupCommandOperation::BackupCommandOperation(std::shared_ptr<BackupController> controller, int command,
                                               const Dictionary& arguments)
    : controller_(std::move(controller)), command_(command), arguments_(arguments) {}

BackupCommandOperation::~BackupCommandOperation() = default;

bool BackupCommandOperation::delegateResponds(BackupControllerDelegate::Callback callback) const {
  BackupControllerDelegate* delegate = controller_->delegate();
  return delegate != nullptr && delegate->respondsTo(callback);
}

// ---------------------------------------------------------------------------
// The frame

void BackupCommandOperation::main() {
  std::string sourceDirectory = StandardizePath(controller_->sourceDirectoryPath());
  std::shared_ptr<const Url> destinationURL = controller_->destinationURL();

  if (!controller_->commandDidStart(*this)) return;
  Date startDate = Date::now();
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    errorMessages_.clear();
    uniquePaths_.clear();
    for (auto& list : resultArrays_) list.clear();
  }

  bool success = true;
  bool mayRunPostExecutable = true;

  if (requiresSourceForCommand(command_)) {
    struct stat status;
    if (::stat(sourceDirectory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        ::access(sourceDirectory.c_str(), R_OK | X_OK) != 0) {
      logErrorMessage("Source directory \"%@\" is not accessible", sourceDirectory);
      success = false;
    }
  }
  if (success && requiresDestinationForCommand(command_) && !destinationURL) {
    logErrorMessage("Destination URL is not defined");
    success = false;
  }

  if (success) {
    const Value& preExecutable = arguments_.get(kPreExecutableArgument);
    if (preExecutable.isString() && !preExecutable.asString().empty()) {
      if (!runExecutableInPhase(kPhasePreExecutable, preExecutable.asString(), sourceDirectory, destinationURL)) {
        success = false;
        mayRunPostExecutable = false;
      }
    }
  }

  std::optional<Dictionary> result;
  if (success) {
    willBeginPhaseWithType(kPhaseMain, 0);
    try {
      result = performCommand(command_, arguments_, sourceDirectory, destinationURL);
    } catch (const std::exception& exception) {
      logErrorMessage("[Internal Error] An exception occured: %@", std::string(exception.what()));
      result.reset();
    } catch (...) {
      logErrorMessage("[Internal Error] An exception occured: %@", std::string("unknown exception"));
      result.reset();
    }
    didEndPhaseWithType(kPhaseMain, 0);
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      for (const auto& path : uniquePaths_) resultArrays_[kCreated].push_back(path);
      for (auto& list : resultArrays_) SortPaths(list);
    }
    if (!result) success = false;
  }

  if (mayRunPostExecutable) {
    const Value& postExecutable =
        arguments_.get(success ? kSuccessPostExecutableArgument : kFailurePostExecutableArgument);
    if (postExecutable.isString() && !postExecutable.asString().empty()) {
      runExecutableInPhase(kPhasePostExecutable, postExecutable.asString(), sourceDirectory, destinationURL);
    }
  }

  closeDestination();
  if (isCancelled()) logErrorMessage("[User Cancellation]");

  Date endDate = Date::now();
  Dictionary results = result ? std::move(*result) : Dictionary();
  results.set(kSuccessResult, success);
  results.set(kStartDateResult, startDate);
  results.set(kDurationResult, endDate.timeIntervalSinceDate(startDate));
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!errorMessages_.empty()) results.set(kErrorMessagesResult, ArrayFromTexts(errorMessages_));
    const std::pair<const char*, PathList> lists[] = {
        {kSkippedPathsResult, kSkipped}, {kExcludedPathsResult, kExcluded}, {kChangedPathsResult, kChanged},
        {kCopiedPathsResult, kCopied},   {kCreatedPathsResult, kCreated},   {kDeletedPathsResult, kDeleted},
    };
    for (const auto& [key, list] : lists) {
      if (!resultArrays_[list].empty()) results.set(key, ArrayFromTexts(resultArrays_[list]));
    }
    errorMessages_.clear();
    uniquePaths_.clear();
    for (auto& list : resultArrays_) list.clear();
  }
  // Handing over the results may let the process end at once: leave no
  // per-thread OpenSSL state on this worker (the queue would free it only
  // after this returns).
  OPENSSL_thread_stop();
  controller_->commandDidFinish(*this, std::move(results));
}

bool BackupCommandOperation::runExecutableInPhase(const std::string& phase, const std::string& executablePath,
                                                  const std::string& sourceDirectory,
                                                  const std::shared_ptr<const Url>& destinationURL) {
  willBeginPhaseWithType(phase, 0);
  bool succeeded = false;
  try {
    succeeded = runExecutable(executablePath, sourceDirectory, destinationURL);
  } catch (const std::exception& exception) {
    logErrorMessage("[Internal Error] An exception occured: %@", std::string(exception.what()));
  }
  didEndPhaseWithType(phase, 0);
  return succeeded;
}

// ---------------------------------------------------------------------------
// Helper steps

void BackupCommandOperation::scheduleOperation(std::shared_ptr<Operation> operation) {
  controller_->scheduleOperation(std::move(operation));
}

void BackupCommandOperation::waitUntilAllOperationsAreDone() {
  controller_->willStartHelperOperations();
  controller_->waitUntilAllOperationsAreDone();
  controller_->didFinishHelperOperations();
}

void BackupCommandOperation::willStartHelperOperations() { controller_->willStartHelperOperations(); }

void BackupCommandOperation::willBeginHelperOperation(Operation& operation) {
  controller_->willBeginHelperOperation(operation);
}

void BackupCommandOperation::didEndHelperOperation(Operation& operation) {
  controller_->didEndHelperOperation(operation);
}

// ---------------------------------------------------------------------------
// Phases

void BackupCommandOperation::willBeginPhaseWithType(const std::string& type, std::uint32_t identifier) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    phaseCache_[identifier] = 0;
  }
  if (delegateResponds(BackupControllerDelegate::Callback::WillBeginPhase)) {
    controller_->postWillBeginPhase(*this, type, identifier);
  }
}

void BackupCommandOperation::didEndPhaseWithType(const std::string& type, std::uint32_t identifier) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    phaseCache_.erase(identifier);
  }
  if (delegateResponds(BackupControllerDelegate::Callback::DidEndPhase)) {
    controller_->postDidEndPhase(*this, type, identifier);
  }
}

void BackupCommandOperation::didUpdatePhaseWithType(const std::string& type, std::uint32_t identifier,
                                                    std::uint32_t currentValue, std::uint32_t maxValue) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto entry = phaseCache_.find(identifier);
    std::uint32_t last = entry == phaseCache_.end() ? 0 : entry->second;
    if (!PhaseUpdatePasses(type, currentValue, maxValue, last)) return;
    phaseCache_[identifier] = currentValue;
  }
  if (delegateResponds(BackupControllerDelegate::Callback::DidUpdatePhase)) {
    controller_->postDidUpdatePhase(*this, type, identifier, currentValue, maxValue,
                                    Date::now().timeIntervalSinceReferenceDate());
  }
}

// ---------------------------------------------------------------------------
// Network-error questions

bool BackupCommandOperation::shouldRetryAfterNetworkError() {
  if (!delegateResponds(BackupControllerDelegate::Callback::ShouldRetryAfterNetworkError)) return false;
  std::unique_lock<std::mutex> lock(retryMutex_);
  replied_ = false;
  controller_->postShouldRetryAfterNetworkError(*this);
  retryCondition_.wait(lock, [this] { return replied_; });
  return shouldRetry_;
}

void BackupCommandOperation::replyToShouldRetryAfterNetworkError(bool shouldRetry) {
  std::lock_guard<std::mutex> lock(retryMutex_);
  shouldRetry_ = shouldRetry;
  replied_ = true;
  retryCondition_.notify_all();
}

// ---------------------------------------------------------------------------
// Messages

void BackupCommandOperation::appendErrorMessage(std::string message) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    errorMessages_.push_back(message);
  }
  if (delegateResponds(BackupControllerDelegate::Callback::DidGetErrorMessage)) {
    controller_->postErrorMessage(*this, std::move(message));
  }
}

std::vector<std::string> BackupCommandOperation::errorMessages() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return errorMessages_;
}

// ---------------------------------------------------------------------------
// Local deletion

bool BackupCommandOperation::deleteFileAtPath(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  int error = errno;
  logErrorMessage("Failed deleting file \"%@\" (%s)", path, ErrnoText(error));
  return false;
}

bool BackupCommandOperation::deleteDirectoryAtPath(const std::string& path) {
  if (::rmdir(path.c_str()) == 0 || errno == ENOENT) return true;
  int error = errno;
  logErrorMessage("Failed deleting directory \"%@\" (%s)", path, ErrnoText(error));
  return false;
}

// ---------------------------------------------------------------------------
// Result paths

void BackupCommandOperation::addPath(PathList list, const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  resultArrays_[list].push_back(path);
}

std::vector<std::string> BackupCommandOperation::paths(PathList list) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return resultArrays_[list];
}

void BackupCommandOperation::addCopiedPath(const std::string& path) { addPath(kCopied, path); }
std::vector<std::string> BackupCommandOperation::copiedPaths() const { return paths(kCopied); }
void BackupCommandOperation::addSkippedPath(const std::string& path) { addPath(kSkipped, path); }
std::vector<std::string> BackupCommandOperation::skippedPaths() const { return paths(kSkipped); }
void BackupCommandOperation::addExcludedPath(const std::string& path) { addPath(kExcluded, path); }
std::vector<std::string> BackupCommandOperation::excludedPaths() const { return paths(kExcluded); }
void BackupCommandOperation::addDeletedPath(const std::string& path) { addPath(kDeleted, path); }
std::vector<std::string> BackupCommandOperation::deletedPaths() const { return paths(kDeleted); }
std::vector<std::string> BackupCommandOperation::changedPaths() const { return paths(kChanged); }

void BackupCommandOperation::addUniqueCreatedPath(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  uniquePaths_.insert(path);
}

void BackupCommandOperation::removeUniqueCreatedPath(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  uniquePaths_.erase(path);
}

void BackupCommandOperation::resetUniqueCreatedPaths() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  uniquePaths_.clear();
}

std::vector<std::string> BackupCommandOperation::uniqueCreatedPaths() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return std::vector<std::string>(uniquePaths_.begin(), uniquePaths_.end());
}

void BackupCommandOperation::addPathsFromDirectoryScannerResults(const Dictionary& results) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& path : PathsFromValue(results.get("excludedPaths"))) resultArrays_[kExcluded].push_back(std::move(path));
  for (auto& path : PathsFromValue(results.get("errorPaths"))) resultArrays_[kSkipped].push_back(std::move(path));
  for (const char* key : {"removedItems", "modifiedItems.data", "modifiedItems.metadata", "addedItems"}) {
    for (const Value& item : results.get(key).asArray()) {
      if (auto path = PathOfItem(item)) resultArrays_[kChanged].push_back(std::move(*path));
    }
  }
}

std::string NewUUIDText() {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got > 0) filled += static_cast<std::size_t>(got);
    else if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "getrandom");
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

void BackupCommandOperation::updateDirectoryScannerUserInfo(DirectoryScanner& scanner) {
  Array excluded, changed, copied, skipped, messages;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    excluded = ArrayFromTexts(resultArrays_[kExcluded]);
    changed = ArrayFromTexts(resultArrays_[kChanged]);
    copied = ArrayFromTexts(resultArrays_[kCopied]);
    skipped = ArrayFromTexts(resultArrays_[kSkipped]);
    messages = ArrayFromTexts(errorMessages_);
  }
  scanner.setUserInfo(Value(std::move(excluded)), "backup.excludedPaths");
  scanner.setUserInfo(Value(std::move(changed)), "backup.changedPaths");
  scanner.setUserInfo(Value(std::move(copied)), "backup.copiedPaths");
  scanner.setUserInfo(Value(std::move(skipped)), "backup.skippedPaths");
  scanner.setUserInfo(Value(std::move(messages)), "backup.errorMessages");
  Array dates = scanner.userInfoForKey("backup.dates").asArray();
  dates.emplace_back(Date::now());
  scanner.setUserInfo(Value(std::move(dates)), "backup.dates");
  for (const auto& [key, value] : arguments_.get(kScannerUserInfoArgument).asDictionary()) {
    scanner.setUserInfo(value, key);
  }
  if (!scanner.userInfoForKey(kBackupUUIDInfo).isString()) scanner.setUserInfo(Value(NewUUIDText()), kBackupUUIDInfo);
}

// ---------------------------------------------------------------------------
// Delegates of scanners and tools

bool BackupCommandOperation::shouldAbortScanning(DirectoryScanner&) { return isCancelled(); }

bool BackupCommandOperation::shouldAbortTask(Task&) { return isCancelled(); }

// ---------------------------------------------------------------------------
// Paths

void SortPaths(std::vector<std::string>& paths) {
  std::vector<std::pair<std::u16string, std::string>> keyed;
  keyed.reserve(paths.size());
  for (auto& path : paths) keyed.emplace_back(Utf16FromUtf8(path), std::move(path));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) paths[i] = std::move(keyed[i].second);
}

}  // namespace quorvel
